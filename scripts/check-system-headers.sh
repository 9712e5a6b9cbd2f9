#!/usr/bin/env bash
# Checks the platform seam: no engine source outside platform/ (and the command-line host in
# tools/) includes an operating-system or third-party system header. Prints each offending line
# and fails if there is one.
#
# Usage: bash scripts/check-system-headers.sh
set -euo pipefail
cd "$(dirname "$0")/.."

pattern='^[[:space:]]*#[[:space:]]*include[[:space:]]*<(sys/|unistd\.h|pthread\.h|sched\.h|signal\.h|fcntl\.h|poll\.h|dlfcn\.h|execinfo\.h|netinet/|arpa/|netdb\.h|net/|ifaddrs\.h|alsa/|pulse/|soxr\.h|spandsp|srtp2/|windows\.h|winsock|ws2|mswsock\.h|mmsystem\.h|mmreg\.h|msacm\.h|process\.h|io\.h|direct\.h|synchapi\.h|processthreadsapi\.h)'
if grep -rnE "$pattern" framework rtp jitter dsp devices terminal include; then
  echo "check-system-headers: the lines above include a system header above the platform layer" >&2
  exit 1
fi
echo "check-system-headers: no system header above platform/"
