#!/usr/bin/env bash
# Installs what is missing, builds Tarsio three ways and runs the tests:
#   1. optimised build: every test
#   2. AddressSanitizer + UndefinedBehaviorSanitizer: every test
#   3. ThreadSanitizer: the threaded tests (everything but the pure numeric DSP tests)
#   4. clang with -Wthread-safety -Werror: the library and the host compile with their lock
#      annotations checked (nothing to run)
#   5. Windows cross build (mingw-w64, i686 and x86_64): the engine libraries, a check that every
#      header compiles after <windows.h>, and the portable test programs (framework, DSP, jitter
#      buffers, RTP packets, the Win32 back ends) run under Wine. They run as 32-bit programs under
#      32-bit Wine; a machine that cannot execute 32-bit code (its kernel refuses i386 programs)
#      runs the 64-bit build's programs under 64-bit Wine instead and says so.
# Before building, scripts/check-system-headers.sh checks that no system header is included above
# the platform layer.
# Each build also replays the fuzz targets' saved inputs (fuzz/corpus) through their entry points.
# A private PulseAudio daemon (scripts/pulse-test-server.sh) gives the ALSA tests and, through
# Wine, the Windows sound check a paced sound device; if it cannot start, those tests report
# "skipped" with the reason.
#
# Usage (as root on Debian 12): bash scripts/test.sh
# Environment: TARSIO_TEST_QUICK=1 runs only the optimised build.
#              TARSIO_TEST_FUZZ=SECONDS also builds the libFuzzer targets with clang and lets each
#              explore new inputs for that many seconds (not part of CI: the outcome is not
#              repeatable, and the clang build of the whole engine costs minutes).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs="$(nproc)"
ctest_args=(--output-on-failure -j "$jobs" --timeout 300)
summary="$(mktemp)"
# Runs ctest in a build folder and keeps its closing count for the final summary.
run_ctest() {
  local dir="$1"; shift
  (cd "$dir" && ctest "${ctest_args[@]}" "$@") | tee "$summary.out"
  grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$summary.out" | tail -n 1 >> "$summary"
}

# The test executables (one per source folder that has tests), for the sanitizer builds.
test_targets() {
  for d in tests/*/; do
    d="$(basename "$d")"
    case "$d" in support|install) continue ;; esac
    ls "tests/$d"/*.cpp >/dev/null 2>&1 && printf 'tarsio_%s_tests ' "$d"
  done
  for f in fuzz/*_fuzzer.cpp; do
    printf '%s_replay ' "$(basename "$f" _fuzzer.cpp)"
  done
}

pulse_dir=""
cleanup() {
  if [ -n "$pulse_dir" ]; then bash scripts/pulse-test-server.sh stop "$pulse_dir" >/dev/null 2>&1 || true; fi
}
trap cleanup EXIT
# The ALSA tests find the daemon through this file, the Windows tests by the PULSE_SERVER it
# names; nothing else sees the daemon.
pulse_dir="$(mktemp -d /tmp/tarsio-pulse-XXXXXX)"
if bash scripts/pulse-test-server.sh start "$pulse_dir"; then
  export TARSIO_PULSE_ENV="$pulse_dir/env.sh"
else
  echo "test: the private PulseAudio daemon did not start; the ALSA tests will say skipped" >&2
  export TARSIO_PULSE_ENV="$pulse_dir/missing-env.sh"
fi

bash scripts/check-system-headers.sh

echo "=== optimised build ==="
bash scripts/build.sh release
run_ctest build

if [ "${TARSIO_TEST_QUICK:-0}" != "1" ]; then
  echo "=== AddressSanitizer + UndefinedBehaviorSanitizer ==="
  bash scripts/build.sh asan $(test_targets)
  run_ctest build-asan

  echo "=== ThreadSanitizer ==="
  bash scripts/build.sh tsan $(test_targets | tr ' ' '\n' | grep -v '_dsp_tests$' | tr '\n' ' ')
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
    run_ctest build-tsan

  echo "=== clang thread-safety analysis ==="
  bash scripts/build.sh clang tarsio tarsio-host

  echo "=== Windows cross build ==="
  bash scripts/build.sh windows
  # 32-bit Wine needs a kernel that runs i386 programs; its loader is one.
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    windows_dir=build-windows/i686
  else
    echo "test: this machine cannot execute 32-bit programs (Wine's i386 loader fails:" \
      "$(/usr/lib/wine/wine --version 2>&1 | head -n 1)); running the 64-bit Windows build" >&2
    windows_dir=build-windows/x86_64
    # What needs no 32-bit execution is still checked of the 32-bit DLL: its PE32 format, export
    # and import tables, and the two import libraries linking a Microsoft-ABI and a MinGW host.
    bash tests/windows/check_dll_exports.sh build-windows/i686
  fi
  # A fresh prefix is made once, before the tests share it.
  rm -rf "$windows_dir/wine-prefix"
  arch=win64
  loader=/usr/lib/wine/wine64
  if [ "$windows_dir" = build-windows/i686 ]; then arch=win32; loader=/usr/lib/wine/wine; fi
  WINEPREFIX="$PWD/$windows_dir/wine-prefix" WINEARCH="$arch" WINEDEBUG=-all DISPLAY= \
    "$loader" wineboot --init >/dev/null 2>&1 || true
  # The winmm check plays and records through the private PulseAudio daemon: Wine's PulseAudio
  # driver finds it by PULSE_SERVER, given to the Windows tests only. Without the daemon (and
  # without a sound card) the check says skipped.
  windows_pulse_server=""
  if [ -f "$TARSIO_PULSE_ENV" ]; then
    windows_pulse_server="$(. "$TARSIO_PULSE_ENV" && printf '%s' "${PULSE_SERVER:-}")"
  fi
  (
    if [ -n "$windows_pulse_server" ]; then export PULSE_SERVER="$windows_pulse_server"; fi
    run_ctest "$windows_dir"
  )
  WINEPREFIX="$PWD/$windows_dir/wine-prefix" wineserver -k 2>/dev/null || true
fi
if [ "${TARSIO_TEST_FUZZ:-0}" != "0" ]; then
  echo "=== libFuzzer run, ${TARSIO_TEST_FUZZ} s per target ==="
  bash scripts/build.sh fuzz $(for f in fuzz/*_fuzzer.cpp; do basename "$f" .cpp; done)
  for f in build-fuzz/fuzz/*_fuzzer; do
    [ -x "$f" ] || continue
    name="$(basename "$f" _fuzzer)"
    work="$(mktemp -d)"
    # libFuzzer adds what it finds to its corpus folder: give it a copy of the seeds. Inputs may
    # be as long as the longest seed (or 4096 bytes); one that runs over 20 s or 2 GB is a
    # failure (hostile files must be refused or converted within bounded time and memory), and
    # so is undefined behaviour (the fuzz build makes it fatal). A failing input is left in
    # build-fuzz/ as crash-*, timeout-* or oom-*: add it to fuzz/corpus/$name/ once fixed.
    if [ -d "fuzz/corpus/$name" ]; then cp -r "fuzz/corpus/$name/." "$work/"; fi
    ASAN_OPTIONS="suppressions=$PWD/tests/asan.supp" \
      "$f" -max_total_time="$TARSIO_TEST_FUZZ" -timeout=20 -rss_limit_mb=2048 \
      -artifact_prefix="build-fuzz/" "$work" 2>&1 | tail -n 1
    rm -rf "$work"
  done
fi
total="$(awk '{ n += $NF } END { print n + 0 }' "$summary")"
rm -f "$summary" "$summary.out"
echo "test: all builds and tests passed"
echo "ctest: $total passed, 0 failed"
