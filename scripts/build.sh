#!/usr/bin/env bash
# Configures and builds one flavour of Tarsio with CMake and Ninja.
#
# Usage: bash scripts/build.sh [release|asan|tsan|clang|fuzz] [targets...]   (default: every target)
#   release  build/          optimised with debug info, tests and benchmarks (default)
#   asan     build-asan/     AddressSanitizer + UndefinedBehaviorSanitizer, tests only
#   tsan     build-tsan/     ThreadSanitizer, tests only
#   clang    build-clang/    clang with -Wthread-safety -Werror: checks the lock annotations
#   fuzz     build-fuzz/     clang + libFuzzer targets only
#   windows  build-windows/  Windows cross build with mingw-w64: build-windows/i686 (the 32-bit
#                            target) and build-windows/x86_64 (run by the tests where the machine
#                            cannot execute 32-bit code); the engine libraries and the portable
#                            test programs
set -euo pipefail
cd "$(dirname "$0")/.."

flavour="${1:-release}"
shift || true
jobs="$(nproc)"

case "$flavour" in
  release) dir=build; args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan) dir=build-asan; args=(-DCMAKE_BUILD_TYPE=Debug -DTARSIO_SANITIZE=address -DTARSIO_BENCH=OFF) ;;
  tsan) dir=build-tsan; args=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 -DTARSIO_SANITIZE=thread -DTARSIO_BENCH=OFF) ;;
  clang)
    dir=build-clang
    export CC=clang CXX=clang++
    args=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O0 -DTARSIO_BENCH=OFF)
    ;;
  fuzz)
    dir=build-fuzz
    export CC=clang CXX=clang++
    args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARSIO_FUZZ=ON -DTARSIO_TESTS=OFF -DTARSIO_BENCH=OFF)
    ;;
  windows)
    for arch in i686 x86_64; do
      bash "$0" "windows-$arch" "$@"
    done
    exit 0
    ;;
  windows-i686 | windows-x86_64)
    arch="${flavour#windows-}"
    dir="build-windows/$arch"
    args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-$arch.cmake"
      -DTARSIO_BENCH=OFF)
    ;;
  *) echo "usage: $0 [release|asan|tsan|clang|fuzz|windows]" >&2; exit 2 ;;
esac

# ccache, when present, makes rebuilds of unchanged files instant; paths are taken relative to the
# checkout so that another clone of the same sources hits the same cache entries.
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
  args+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$dir" -G Ninja -DTARSIO_WERROR=ON "${args[@]}" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$dir" -j "$jobs" "${targets[@]}"
echo "build: $flavour build in $dir/"
