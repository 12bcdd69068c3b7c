#!/usr/bin/env bash
# Starts nginx with WebDAV PUT on a loopback port, runs logdemo against it and
# compares the uploaded copy with the local session-log file byte for byte.
#   tools/logdemo/upload-check.sh [build dir]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
tool="$build/tools/logdemo"
[ -x "$tool" ] || { echo "build logdemo first: ninja -C $build logdemo" >&2; exit 2; }

work=$(mktemp -d "$build/logdemo-check-XXXXXX")
key="0a1b2c3d-4e5f-6a7b-8c9d0e1f2a3b-4c5d-6e7f"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$work/store" "$work/state" "$work"/{body,proxy,fastcgi,uwsgi,scgi}
cat >"$work/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
error_log $work/error.log;
pid $work/nginx.pid;
events { worker_connections 64; }
http {
  access_log $work/access.log;
  client_body_temp_path $work/body;
  proxy_temp_path $work/proxy;
  fastcgi_temp_path $work/fastcgi;
  uwsgi_temp_path $work/uwsgi;
  scgi_temp_path $work/scgi;
  server {
    listen 127.0.0.1:$port;
    root $work/store;
    location /zone/logs/ {
      if (\$http_accesskey != "$key") { return 403; }
      dav_methods PUT;
      create_full_put_path on;
    }
  }
}
CONF

nginx -p "$work/" -c "$work/nginx.conf" &
nginx_pid=$!
cleanup() { kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
for _ in $(seq 1 500); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.01
done

local_file=$(XDG_STATE_HOME="$work/state" "$tool" -SessionKey "demo/live key" \
  -LogStoreURL "http://$key@127.0.0.1:$port/zone/logs/")
stored="$work/store/zone/logs/$(basename "$local_file")"
echo "local:  $local_file"
echo "stored: $stored"
cat "$local_file"
cmp "$local_file" "$stored"
echo "upload-check: the stored copy equals the session-log file"
