#!/usr/bin/env bash
# stunnel on a free loopback port, terminating TLS in front of a plain TCP port.
#   stunnel.sh start DIR TARGET_PORT CERT KEY  -> prints PORT=<port>
#   stunnel.sh stop DIR
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/peer-common.sh"

peer_begin "$@"

target="${3:?target port}"
cert="${4:?certificate}"
key="${5:?key}"
for attempt in 1 2 3; do
  port="$(free_port)"
  cat > "$dir/stunnel.conf" <<CONF
foreground = yes
debug = 4
output = $dir/stunnel.log
[rtmps]
accept = 127.0.0.1:$port
connect = 127.0.0.1:$target
cert = $cert
key = $key
CONF
  timeout -s TERM "$PEER_LIFETIME" stunnel "$dir/stunnel.conf" >"$dir/stdout.log" 2>&1 &
  pid=$!
  echo "$pid" > "$dir/peer.pid"
  if wait_port "$port" "$pid"; then
    echo "PORT=$port"
    exit 0
  fi
  stop_pidfile "$dir/peer.pid"
done
echo "stunnel did not start; see $dir/stunnel.log" >&2
exit 1
