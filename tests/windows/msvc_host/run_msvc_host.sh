#!/usr/bin/env bash
# Runs the Microsoft-ABI host under Wine while the sound server records what the default sink
# plays, then checks that the recording carries the speech the host played into its calls.
#
# Usage: run_msvc_host.sh WINE HOST_EXE LOOPBACK_CHECK_EXE SPEECH_WAV WORK_DIR
# Exit status: the host's (77 when Wine has no sound device), else LoopbackCheck's. Without a
# sound server (PULSE_SERVER) or parec, the host runs and the recording check is skipped, saying so.
set -u
wine="$1" host="$2" check="$3" speech="$4" work="$5"
mkdir -p "$work"
recording="$work/msvc-host-recording.wav"
rm -f "$recording"
recorder=
if [ -n "${PULSE_SERVER:-}" ] && command -v parec >/dev/null; then
  parec -d @DEFAULT_MONITOR@ --rate=8000 --channels=1 --format=s16le --file-format=wav \
    "$recording" &
  recorder=$!
else
  echo "the loudspeaker is not recorded: needs PULSE_SERVER and parec (pulseaudio-utils)"
fi
"$wine" "$host"
status=$?
if [ -n "$recorder" ]; then
  kill -INT "$recorder" 2>/dev/null
  wait "$recorder" 2>/dev/null
fi
[ "$status" -eq 0 ] || exit "$status"
[ -n "$recorder" ] || exit 0
if [ ! -s "$recording" ]; then
  echo "FAILED: parec wrote no recording to $recording"
  exit 1
fi
"$wine" "$check" "Z:$speech" "Z:$recording"
