#!/usr/bin/env bash
# Starts or stops a private PulseAudio daemon for the ALSA sound tests.
#
# Usage:
#   scripts/pulse-test-server.sh start [DIR]   # DIR defaults to /tmp/tarsio-pulse
#   . DIR/env.sh                               # exports PULSE_SERVER, ALSA_CONFIG_PATH,
#                                              # TARSIO_PULSE_DIR for the tests
#   scripts/pulse-test-server.sh stop [DIR]    # stops the daemon by its PID
#
# The daemon runs as the calling user (root in CI) without D-Bus, with one unix socket in DIR,
# anonymous auth and two paced 8 kHz mono null sinks loaded with norewinds=1: "tarsio_play" is the
# default sink (what is played goes there), and the monitor of "tarsio_mic" is the default source.
# DIR/asound.conf (named by ALSA_CONFIG_PATH) reads the system's alsa.conf, then routes ALSA's
# default PCM and control device to the daemon through the pulse plugin, and adds two ALSA
# file-plugin devices layered on that paced default:
#   tarsio_capture_file   capture reads DIR/capture-in.raw (S16_LE mono 8 kHz), paced
#   tarsio_playback_file  playback is copied to DIR/playback-out.raw, paced
# Tests read TARSIO_PULSE_DIR and skip (with the reason) when it is missing or the daemon is gone.
#
# Installs nothing: it needs pulseaudio, pulseaudio-utils (pactl), libasound2-plugins (the pulse
# plugin) and alsa-utils. Exit status 0 when the daemon answers, 1 otherwise (the reason is
# printed and left in DIR/failure).
set -u

cmd=${1:-}
dir=${2:-/tmp/tarsio-pulse}

stop_daemon() {
  if [ -f "$dir/pid" ]; then
    pid=$(cat "$dir/pid")
    if kill "$pid" 2>/dev/null; then
      for _ in $(seq 1 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
      done
      kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$dir/pid"
  fi
  rm -f "$dir/native"
}

fail() {
  echo "pulse-test-server: $*" | tee "$dir/failure" >&2
  stop_daemon
  rm -f "$dir/env.sh"
  exit 1
}

case "$cmd" in
  start)
    mkdir -p "$dir/runtime" "$dir/state"
    chmod 700 "$dir" "$dir/runtime" "$dir/state"
    rm -f "$dir/failure" "$dir/env.sh"
    stop_daemon
    command -v pulseaudio >/dev/null || fail "pulseaudio is not installed"
    command -v pactl >/dev/null || fail "pactl (pulseaudio-utils) is not installed"
    plugin=$(ls /usr/lib/*/alsa-lib/libasound_module_pcm_pulse.so 2>/dev/null | head -n 1)
    [ -n "$plugin" ] || fail "the ALSA pulse plugin (libasound2-plugins) is not installed"

    cat > "$dir/default.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/native
load-module module-null-sink sink_name=tarsio_play rate=8000 channels=1 format=s16le norewinds=1 sink_properties=device.description=TarsioPlayback
load-module module-null-sink sink_name=tarsio_mic rate=8000 channels=1 format=s16le norewinds=1 sink_properties=device.description=TarsioMicrophone
set-default-sink tarsio_play
set-default-source tarsio_mic.monitor
PA
    cat > "$dir/asound.conf" <<ALSA
</usr/share/alsa/alsa.conf>
pcm.!default { type pulse }
ctl.!default { type pulse }
pcm.tarsio_capture_file {
  type file
  slave.pcm "default"
  file "/dev/null"
  infile "$dir/capture-in.raw"
  format "raw"
}
pcm.tarsio_playback_file {
  type file
  slave.pcm "default"
  file "$dir/playback-out.raw"
  format "raw"
}
ALSA
    : > "$dir/capture-in.raw"

    # No D-Bus, no autospawn, no idle exit; the daemon's state stays inside DIR.
    env -u DBUS_SESSION_BUS_ADDRESS -u DBUS_SYSTEM_BUS_ADDRESS \
      PULSE_RUNTIME_PATH="$dir/runtime" PULSE_STATE_PATH="$dir/state" HOME="$dir/state" \
      pulseaudio --daemonize=no --system=no -n -F "$dir/default.pa" --exit-idle-time=-1 \
      --disallow-exit --use-pid-file=no --disable-shm=yes --log-level=warning \
      --log-target="file:$dir/pulse.log" </dev/null >/dev/null 2>&1 &
    echo $! > "$dir/pid"

    for _ in $(seq 1 100); do
      if PULSE_SERVER="unix:$dir/native" pactl info >/dev/null 2>&1; then
        cat > "$dir/env.sh" <<ENV
export PULSE_SERVER=unix:$dir/native
export ALSA_CONFIG_PATH=$dir/asound.conf
export TARSIO_PULSE_DIR=$dir
ENV
        echo "pulse-test-server: running (pid $(cat "$dir/pid")), settings in $dir/env.sh"
        exit 0
      fi
      kill -0 "$(cat "$dir/pid")" 2>/dev/null || break
      sleep 0.1
    done
    fail "the daemon did not answer on $dir/native (see $dir/pulse.log)"
    ;;
  stop)
    stop_daemon
    rm -f "$dir/env.sh"
    echo "pulse-test-server: stopped"
    ;;
  *)
    echo "usage: $0 start|stop [DIR]" >&2
    exit 2
    ;;
esac
