#!/usr/bin/env bash
# Uploads a 100 KB session log through logdemo to a store that reads 1.2 KB a
# second (tests/peers/slow-http-store.py), about 85 s, and compares the stored copy
# with the local file byte for byte. With --stopping, the store stops reading after
# 20 KB instead, and the upload must fail 60 s (± 10 s) after the last byte it took.
#   tools/logdemo/slow-upload-check.sh [build dir] [--stopping]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
mode=${2:-}
tool="$build/tools/logdemo"
[ -x "$tool" ] || { echo "build logdemo first: ninja -C $build logdemo" >&2; exit 2; }

work=$(mktemp -d "$build/slow-upload-XXXXXX")
key="0a1b2c3d-4e5f-6a7b-8c9d0e1f2a3b-4c5d-6e7f"
stop=()
[ "$mode" = "--stopping" ] && stop=(--stop-after 20480)
mkfifo "$work/said"
python3 "$root/tests/peers/slow-http-store.py" --rate 1200 --store "$work/store" --key "$key" "${stop[@]}" \
  >"$work/said" &
store_pid=$!
cleanup() { kill "$store_pid" 2>/dev/null || true; wait "$store_pid" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
exec 3<"$work/said"
read -r port <&3

started=$(date +%s.%N)
status=0
local_file=$(XDG_STATE_HOME="$work/state" "$tool" -SessionKey "demo/slow store" -LogBytes 102400 \
  -LogStoreURL "http://$key@127.0.0.1:$port/zone/logs/") || status=$?
ended=$(date +%s.%N)
echo "logdemo ended with status $status after $(awk -v a="$ended" -v b="$started" 'BEGIN { printf "%.1f", a - b }') s"

if [ "$mode" = "--stopping" ]; then
  [ "$status" -ne 0 ] || { echo "slow-upload-check: the upload to a store that stopped reading succeeded" >&2; exit 1; }
  read -r _ _ last <&3
  # The store's clock is monotonic: measure the failure on the same clock.
  now=$(python3 -c 'import time; print("%.3f" % time.monotonic())')
  after=$(awk -v a="$now" -v b="$last" 'BEGIN { printf "%.1f", a - b }')
  echo "the upload failed $after s after the store's last byte"
  awk -v a="$after" 'BEGIN { exit !(a >= 50 && a <= 70) }' ||
    { echo "slow-upload-check: expected a failure 60 s (± 10 s) after the last byte" >&2; exit 1; }
  echo "slow-upload-check: a store that stops reading fails the upload a minute after its last byte"
  exit 0
fi

[ "$status" -eq 0 ] || { echo "slow-upload-check: the upload failed" >&2; exit 1; }
stored="$work/store/zone/logs/$(basename "$local_file")"
echo "local:  $local_file ($(stat -c %s "$local_file") bytes)"
echo "stored: $stored"
cmp "$local_file" "$stored"
echo "slow-upload-check: the stored copy equals the session-log file"
