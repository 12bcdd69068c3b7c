#!/usr/bin/env bash
# node-media-server 4 (enhanced RTMP) on a free loopback port, recording every
# published stream as FLV. The package is installed once into CACHE (default
# $QZ_BINARY_DIR/peers/node-media-server); it rewrites its configuration file,
# so it gets a scratch copy under DIR.
#   node-media-server.sh start DIR [CACHE]  -> prints PORT=<port> and RECORD_DIR=<dir>
#   node-media-server.sh stop DIR
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/peer-common.sh"

peer_begin "$@"

cache="${3:-${QZ_BINARY_DIR:-/tmp}/peers/node-media-server}"
package="$cache/node_modules/node-media-server"
if [ ! -f "$package/bin/app.js" ]; then
  mkdir -p "$cache"
  # One installer at a time; the others wait for it.
  (
    flock 9
    [ -f "$package/bin/app.js" ] || (cd "$cache" && npm install --no-audit --no-fund --silent node-media-server@4 >npm.log 2>&1)
  ) 9>"$cache/.install.lock"
fi
[ -f "$package/bin/app.js" ] || { echo "node-media-server is not installed; see $cache/npm.log" >&2; exit 1; }

mkdir -p "$dir/record" "$dir/data"
for attempt in 1 2 3; do
  port="$(free_port)"
  python3 - "$package/bin/config.json" "$dir/config.json" "$package/bin" "$(free_port)" "$(free_port)" "$(free_port)" <<'PY'
import json, sys
source, target, bin_dir, rtmps, http, https = sys.argv[1:7]
config = json.load(open(source))
config["bind"] = "127.0.0.1"
config["rtmps"].update({"port": int(rtmps), "key": bin_dir + "/key.pem", "cert": bin_dir + "/cert.pem"})
config["http"]["port"] = int(http)
config["https"].update({"port": int(https), "key": bin_dir + "/key.pem", "cert": bin_dir + "/cert.pem"})
config.setdefault("webadmin", {})["enable"] = False
json.dump(config, open(target, "w"), indent=2)
PY
  (cd "$dir" && exec timeout -s TERM "$PEER_LIFETIME" node "$package/bin/app.js" -c "$dir/config.json" \
    --bind 127.0.0.1 --rtmp-port "$port" --data-path "$dir/data" --record-path "$dir/record" --record-auto \
    --no-admin) >"$dir/stdout.log" 2>&1 &
  pid=$!
  echo "$pid" > "$dir/peer.pid"
  if wait_port "$port" "$pid"; then
    echo "PORT=$port"
    echo "RECORD_DIR=$dir/record"
    exit 0
  fi
  stop_pidfile "$dir/peer.pid"
done
echo "node-media-server did not start; see $dir/stdout.log" >&2
exit 1
