#!/usr/bin/env bash
# nginx with its RTMP module on a free loopback port, application "live",
# pinging its clients every 2 s and recording every published stream as FLV;
# application "bench" takes streams without recording them (no disk in the way).
#   nginx-rtmp.sh start DIR   -> prints PORT=<port> and RECORD_DIR=<dir>
#   nginx-rtmp.sh stop DIR
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/peer-common.sh"

peer_begin "$@"

mkdir -p "$dir/record" "$dir/logs"
for attempt in 1 2 3; do
  port="$(free_port)"
  cat > "$dir/nginx.conf" <<CONF
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
daemon off;
master_process off;
worker_processes 1;
error_log $dir/logs/error.log info;
pid $dir/logs/nginx.pid;
events { worker_connections 64; }
rtmp {
  server {
    listen 127.0.0.1:$port;
    chunk_size 4096;
    ping 2s;
    ping_timeout 2s;
    application live {
      live on;
      record all;
      record_path $dir/record;
      record_unique off;
    }
    application bench {
      live on;
      record off;
    }
  }
}
CONF
  timeout -s TERM "$PEER_LIFETIME" nginx -e "$dir/logs/error.log" -p "$dir/" -c "$dir/nginx.conf" \
    >"$dir/logs/stdout.log" 2>&1 &
  pid=$!
  echo "$pid" > "$dir/peer.pid"
  if wait_port "$port" "$pid"; then
    echo "PORT=$port"
    echo "RECORD_DIR=$dir/record"
    exit 0
  fi
  stop_pidfile "$dir/peer.pid"
done
echo "nginx did not start; see $dir/logs/error.log" >&2
exit 1
