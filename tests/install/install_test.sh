#!/usr/bin/env bash
# Installs the library from a build folder into a temporary prefix, then builds and runs a small
# host against it twice: once with find_package(Tarsio), once with pkg-config.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir="$(dirname "$(find "$prefix" -name 'libtarsio.so' | head -n 1)")"

# Only the C entry points and the two compatibility symbols may be exported.
exported="$(nm -D --defined-only "$libdir/libtarsio.so" | awk '{print $3}' | c++filt)"
echo "$exported" | grep -qx 'GetRTPInterface' || { echo "GetRTPInterface not exported"; exit 1; }
echo "$exported" | grep -q 'SI_puedes_leer_esto_es::Que_falta_compilar_el_tarsio_dll()' ||
  { echo "compatibility symbol missing"; exit 1; }
if echo "$exported" | grep -q 'tarsio::'; then
  echo "internal symbols leak from libtarsio.so:"; echo "$exported" | grep 'tarsio::' | head; exit 1
fi

# find_package
cmake -S "$here" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
LD_LIBRARY_PATH="$libdir" TARSIO_REGISTRY="$work/registry.reg" TARSIO_AUDIO=null \
  "$work/cmake-build/host" | grep -q "estadisticas RTP"

# pkg-config
export PKG_CONFIG_PATH="$libdir/pkgconfig"
c++ -std=c++20 "$here/host.cpp" -o "$work/host-pc" $(pkg-config --cflags --libs tarsio)
LD_LIBRARY_PATH="$libdir" TARSIO_REGISTRY="$work/registry.reg" TARSIO_AUDIO=null \
  "$work/host-pc" | grep -q "estadisticas RTP"
echo "install test: find_package and pkg-config hosts built and ran"
