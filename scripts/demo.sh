#!/usr/bin/env bash
# Installs what is missing, builds Tarsio and runs the main job: `tarsio loopback` on its
# built-in defaults. One media terminal calls itself over UDP on 127.0.0.1; the file sound
# backend plays the speech sample data/speech-8k.wav into the microphone and records the
# loudspeaker into $TMPDIR/tarsio-loopback.wav (/tmp/tarsio-loopback.wav by default). At the end
# it prints the statistics report, the measured mouth-to-ear delay and what to listen to.
#
# Usage (as root on Debian 12): bash scripts/demo.sh [loopback options, e.g. --codec pcma]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh release >/dev/null
exec ./build/tools/tarsio loopback "$@"
