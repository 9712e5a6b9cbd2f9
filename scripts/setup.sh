#!/usr/bin/env bash
# Installs the Debian packages Tarsio needs to build, test and run. Idempotent: when everything is
# already installed it only checks (well under a second) and installs nothing.
#
# Usage (as root on Debian 12): bash scripts/setup.sh
set -euo pipefail

PACKAGES=(
  # toolchain and build
  g++ cmake ninja-build pkg-config clang libclang-rt-14-dev clang-format ccache
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # GStreamer as the far end of the interoperation tests (tests/tools/GStreamerInteropTest.cpp):
  # gst-launch-1.0, its RTP, SRTP and DTMF elements, and the headers for the gst_dtmf_peer helper
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
  libgstreamer1.0-dev
  # libraries the engine and the host use
  libasound2-dev libsoxr-dev libcli11-dev libspandsp-dev libsrtp2-dev
  # a private, paced sound server for the ALSA tests, and ALSA's tools and plugins
  pulseaudio pulseaudio-utils libasound2-plugins alsa-utils
  # a locale with a decimal comma, so the number-parser test can show it ignores the locale
  locales
  # the Windows cross build (scripts/build.sh windows) and Wine to run its tests: GoogleTest's
  # sources for the cross compiler, 64-bit Wine, and 32-bit Wine from the i386 architecture
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix googletest wine wine64 wine32:i386
  # llvm-dlltool writes the DLL's import library in Microsoft's format (Tarsio.lib)
  llvm
)

# Generates de_DE.UTF-8 unless some locale with a decimal comma is already there.
ensure_comma_locale() {
  if locale -a 2>/dev/null | grep -qiE '^(de_DE|fr_FR)\.utf-?8$'; then return 0; fi
  if [ "$(id -u)" -eq 0 ] && command -v localedef >/dev/null; then
    localedef -i de_DE -c -f UTF-8 de_DE.UTF-8 ||
      echo "setup: could not generate de_DE.UTF-8; the locale test will say skipped" >&2
  fi
}

# 32-bit Wine comes from Debian's i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  if [ "$(id -u)" -eq 0 ]; then
    dpkg --add-architecture i386
  else
    sudo dpkg --add-architecture i386
  fi
fi

missing=()
for pkg in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#PACKAGES[@]} packages are installed"
  ensure_comma_locale
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
# A failing index (one unreachable mirror) must not stop the install when the packages
# themselves can still be fetched; the install below decides.
$SUDO apt-get update || echo "setup: apt-get update reported errors; trying the install anyway" >&2
if ! $SUDO apt-get install -y --no-install-recommends "${missing[@]}"; then
  # The i386 and amd64 builds of a shared library must have the same version; where the mirror's
  # updates suite has moved one of them on, the release suite has a matching pair.
  echo "setup: install failed; retrying from the release suite (bookworm)" >&2
  $SUDO apt-get install -y --no-install-recommends -t bookworm --allow-downgrades "${missing[@]}"
fi
ensure_comma_locale
echo "setup: done"
