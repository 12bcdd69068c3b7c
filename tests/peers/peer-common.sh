# Shared by the peer scripts: free ports, waiting for a port, stopping by pid.
# Peers run under `timeout` so that one left behind by a crashed test ends by itself.

PEER_LIFETIME="${PEER_LIFETIME:-900}"

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# wait_port PORT PID: true once PORT accepts, false when PID died or 10 s passed.
wait_port() {
  local port="$1" pid="$2" i
  for i in $(seq 1 200); do
    kill -0 "$pid" 2>/dev/null || return 1
    if python3 -c "import socket,sys; s=socket.socket(); s.settimeout(0.2); sys.exit(s.connect_ex(('127.0.0.1', $port)))" 2>/dev/null; then
      return 0
    fi
    sleep 0.05
  done
  return 1
}

# stop_pidfile FILE: ends the process whose id FILE holds (started by these scripts), and waits for it.
stop_pidfile() {
  local file="$1" pid i
  [ -f "$file" ] || return 0
  pid="$(cat "$file")"
  rm -f "$file"
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for i in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null || true
}

# peer_begin "$@": reads the command and the peer's directory (made absolute) into
# $command and $dir; for "stop" it stops the peer recorded there and exits.
peer_begin() {
  command="${1:?start|stop}"
  dir="$(mkdir -p "${2:?directory}" && cd "$2" && pwd)"
  if [ "$command" = stop ]; then
    stop_pidfile "$dir/peer.pid"
    exit 0
  fi
}
