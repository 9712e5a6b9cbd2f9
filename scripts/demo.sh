#!/usr/bin/env bash
# Installs what is missing, builds Tarsio and runs the main job: a demo call on built-in
# defaults (see README).
#
# Usage (as root on Debian 12): bash scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh release >/dev/null
exec ./build/tools/tarsio-demo "$@"
