#!/usr/bin/env bash
# Checks the Windows build's Tarsio.dll as a soft-phone sees it:
#   - it is a DLL for the build's architecture (PE32 for i386 from the i686 toolchain, PE32+ for
#     x86-64 from the x86_64 one);
#   - its export table holds exactly the four entry points, under the names of terminal/Tarsio.def
#     (32-bit) or terminal/Tarsio64.def (64-bit), none by ordinal only;
#   - it imports system DLLs only: none of MinGW's runtime DLLs (libgcc, libstdc++, winpthread);
#   - the import libraries link: a host compiled for Microsoft's ABI (clang) links with Tarsio.lib
#     (lld-link), a MinGW host with libTarsio.dll.a, each importing its entry points from
#     Tarsio.dll. Nothing is run: tests/platform/win32/DllLoadCheck.cpp loads the DLL under Wine.
#
# Usage: bash tests/windows/check_dll_exports.sh BUILD_DIR   (build-windows/i686 or x86_64)
set -euo pipefail
build="${1:?usage: check_dll_exports.sh BUILD_DIR}"
source_dir="$(cd "$(dirname "$0")/../.." && pwd)"
dll="$build/Tarsio.dll"
failed=0
fail() {
  echo "FAILED: $*"
  failed=1
}

[ -f "$dll" ] || { echo "FAILED: $dll not found (build the tarsio target)"; exit 1; }
# The build's own binutils: /usr/bin/i686-w64-mingw32-objdump gives /usr/bin/i686-w64-mingw32.
objdump="$(sed -n 's/^CMAKE_OBJDUMP:FILEPATH=//p' "$build/CMakeCache.txt")"
prefix="${objdump%-objdump}"
case "$(basename "$prefix")" in
  i686-*)
    format=pei-i386 magic='010b[[:space:]]+\(PE32\)' msvc_target=i686-pc-windows-msvc machine=x86
    member_names=('?Que_falta_compilar_el_tarsio_dll@SI_puedes_leer_esto_es@@QAEXXZ'
      '??4SI_puedes_leer_esto_es@@QAEAAV0@ABV0@@Z')
    ;;
  x86_64-*)
    format=pei-x86-64 magic='020b[[:space:]]+\(PE32\+\)' msvc_target=x86_64-pc-windows-msvc machine=x64
    member_names=('?Que_falta_compilar_el_tarsio_dll@SI_puedes_leer_esto_es@@QEAAXXZ'
      '??4SI_puedes_leer_esto_es@@QEAAAEAV0@AEBV0@@Z')
    ;;
  *) echo "FAILED: $build is not a mingw-w64 build (CMAKE_OBJDUMP: '$objdump')"; exit 1 ;;
esac
expected_exports="$(printf '%s\n' GetRTPInterface GetRTPInterfaceEx TarsioVersion "${member_names[@]}" |
  LC_ALL=C sort)"
# The system DLLs an engine of this kind may use: the kernel, the C runtime every MinGW program
# uses (msvcrt.dll), sockets (WS2_32; WSOCK32 is the old name), IP Helper (interface names of IPv6
# scope ids), the registry (ADVAPI32), and the sound devices (WINMM, MSACM32). Window functions
# (USER32, GDI32) are not needed by a media engine and are not allowed.
allowed_imports='^(KERNEL32|ADVAPI32|WINMM|MSACM32|WSOCK32|WS2_32|IPHLPAPI|msvcrt)\.dll$'

table="$("$objdump" -p "$dll")"
"$objdump" -f "$dll" | grep -q "file format $format\$" || fail "$dll is not $format"
grep -qE "^Magic[[:space:]]+$magic\$" <<<"$table" || fail "$dll has not the optional header of $format"
# The file header's characteristics, one flag a line under "Characteristics".
grep -qE '^[[:space:]]+DLL$' <<<"$table" || fail "$dll is not marked as a DLL"

# Export table: the names of the name pointer table, and the number of addresses (an export by
# ordinal only has an address and no name).
exports="$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] //p' \
  <<<"$table" | LC_ALL=C sort)"
addresses="$(sed -n 's/^[[:space:]]*Export Address Table[[:space:]]*\([0-9a-fA-F]*\)$/\1/p' \
  <<<"$table" | head -n 1)"
echo "exports of $dll:"
sed 's/^/  /' <<<"$exports"
if [ "$exports" != "$expected_exports" ]; then
  fail "the export table is not the expected one; missing or unexpected:"
  { diff <(echo "$expected_exports") <(echo "$exports") || true; } | sed -n 's/^[<>]/  &/p'
fi
[ "$((16#${addresses:-0}))" -eq 5 ] || fail "the export address table has $((16#${addresses:-0})) entries, not 5"

# Import table.
imports="$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$table")"
echo "imports of $dll:"
sed 's/^/  /' <<<"$imports"
[ -n "$imports" ] || fail "no import table found"
while read -r name; do
  [ -n "$name" ] || continue
  grep -qiE "$allowed_imports" <<<"$name" || fail "imports $name, which is not a system DLL allowed here"
done <<<"$imports"

# The entry points a program imports from Tarsio.dll, sorted.
imported_from_tarsio() {
  "$objdump" -p "$1" | awk '
    /^[[:space:]]*DLL Name:/ { inside = ($3 == "Tarsio.dll"); next }
    inside && /^[[:space:]]*$/ { inside = 0 }
    inside && !/vma:/ { print $NF }' | LC_ALL=C sort
}

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# A host built for Microsoft's ABI, from the public headers: clang targeting MSVC, linked by
# lld-link with Tarsio.lib. Without the Microsoft SDK there is no C++ library, so <cstdint> is
# replaced by the three types the headers use (the same types as Microsoft's). No C runtime is
# linked: the program only has to link, never runs.
[ -f "$build/Tarsio.lib" ] || fail "$build/Tarsio.lib not found (llvm-dlltool missing at configure time?)"
if [ -f "$build/Tarsio.lib" ] && command -v clang++ >/dev/null && command -v lld-link >/dev/null; then
  mkdir -p "$work/msvc-include"
  printf '%s\n' '#pragma once' 'typedef int int32_t;' 'typedef unsigned int uint32_t;' \
    'typedef unsigned short uint16_t;' 'typedef long long int64_t;' \
    'typedef unsigned long long uint64_t;' >"$work/msvc-include/cstdint"
  cat >"$work/msvc_host.cpp" <<'EOF'
#include "tarsio/Tarsio.h"
extern "C" int HostEntry() {
  tarsio::RTPInterface* term = GetRTPInterface(nullptr);
  if (GetRTPInterfaceEx(term) == nullptr) return 0;
  SI_puedes_leer_esto_es a, b;
  a = b;
  a.Que_falta_compilar_el_tarsio_dll();
  delete term;
  return TarsioVersion() != nullptr;
}
EOF
  if clang++ --target="$msvc_target" -std=c++20 -nostdinc -isystem "$work/msvc-include" \
      -I "$source_dir/include" -c "$work/msvc_host.cpp" -o "$work/msvc_host.obj" &&
    lld-link /nologo /nodefaultlib /entry:HostEntry /subsystem:console /machine:$machine \
      /out:"$work/msvc_host.exe" "$work/msvc_host.obj" "$build/Tarsio.lib"; then
    got="$(imported_from_tarsio "$work/msvc_host.exe")"
    [ "$got" = "$expected_exports" ] ||
      fail "the Microsoft-ABI host imports from Tarsio.dll: $(echo $got)"
    echo "Microsoft-ABI host linked with Tarsio.lib"
  else
    fail "a Microsoft-ABI host does not link with Tarsio.lib"
  fi
elif [ -f "$build/Tarsio.lib" ]; then
  echo "skipped: the Microsoft-ABI host link (needs clang++ and lld-link)"
fi

# A MinGW host, linked with libTarsio.dll.a: only the C entry points mean anything to it.
gxx="$prefix-g++-posix"
command -v "$gxx" >/dev/null || gxx="$prefix-g++"
cat >"$work/mingw_host.cpp" <<'EOF'
#include "tarsio/Tarsio.h"
int main() {
  tarsio::RTPInterface* term = GetRTPInterface(nullptr);
  tarsio::DestroyTerminal(term);
  return TarsioVersion() == nullptr;
}
EOF
if [ ! -f "$build/libTarsio.dll.a" ]; then
  fail "$build/libTarsio.dll.a not found"
elif "$gxx" -std=c++20 -I "$source_dir/include" "$work/mingw_host.cpp" "$build/libTarsio.dll.a" \
    -o "$work/mingw_host.exe"; then
  got="$(imported_from_tarsio "$work/mingw_host.exe")"
  [ "$got" = "$(printf '%s\n' GetRTPInterface TarsioVersion)" ] ||
    fail "the MinGW host imports from Tarsio.dll: $(echo $got)"
  echo "MinGW host linked with libTarsio.dll.a"
else
  fail "a MinGW host does not link with libTarsio.dll.a"
fi

if [ "$failed" -ne 0 ]; then
  echo "check_dll_exports: FAILED"
  exit 1
fi
echo "check_dll_exports: ok"
