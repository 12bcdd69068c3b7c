#!/usr/bin/env bash
# A private sound server for one test: its own runtime and home directories, a
# unix socket without authentication, no autospawn, and a null sink "qz_sink"
# (48 kHz stereo) whose monitor "qz_sink.monitor" records what was played.
# Extra arguments are further modules to load, e.g. "module-sine-source rate=48000".
#   pulseaudio.sh start DIR [MODULE...] -> prints SERVER=unix:<socket>, SINK=, MONITOR=, PID=
#   pulseaudio.sh stop DIR
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/peer-common.sh"

peer_begin "$@"
shift 2

if ! command -v pulseaudio >/dev/null 2>&1 || ! command -v pactl >/dev/null 2>&1; then
  echo "pulseaudio is not installed (tools/install-deps installs pulseaudio and pulseaudio-utils)" >&2
  exit 1
fi

mkdir -p "$dir/run" "$dir/home/.config" "$dir/logs"
chmod 700 "$dir/run"
socket="$dir/native"
rm -f "$socket"

modules=(-L "module-native-protocol-unix auth-anonymous=1 socket=$socket"
         -L "module-null-sink sink_name=qz_sink rate=48000 channels=2 format=s16le")
for m in "$@"; do modules+=(-L "$m"); done

# -n: no default.pa; as root the daemon also needs --system=no to stay a per-user server.
HOME="$dir/home" XDG_RUNTIME_DIR="$dir/run" XDG_CONFIG_HOME="$dir/home/.config" \
  timeout -s TERM "$PEER_LIFETIME" pulseaudio -n --system=no --daemonize=no --exit-idle-time=-1 \
  --disallow-exit --use-pid-file=no --log-target=stderr "${modules[@]}" \
  >"$dir/logs/pulseaudio.log" 2>&1 &
pid=$!
echo "$pid" > "$dir/peer.pid"

for i in $(seq 1 200); do
  if ! kill -0 "$pid" 2>/dev/null; then break; fi
  if [ -S "$socket" ] && PULSE_SERVER="unix:$socket" HOME="$dir/home" timeout 5 pactl info >/dev/null 2>&1; then
    echo "SERVER=unix:$socket"
    echo "SINK=qz_sink"
    echo "MONITOR=qz_sink.monitor"
    echo "PID=$pid"
    exit 0
  fi
  sleep 0.05
done
stop_pidfile "$dir/peer.pid"
echo "pulseaudio did not start:" >&2
tail -n 20 "$dir/logs/pulseaudio.log" >&2 || true
exit 1
