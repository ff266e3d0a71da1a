# Shared by the peer scripts (sourced after they set $rundir): start servers in the
# background with their PIDs recorded in $rundir/pids, and wait until they listen.

wait_for_port() {  # wait_for_port HOST PORT PID
  for _ in $(seq 1 200); do
    if (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null; then return 0; fi
    kill -0 "$3" 2>/dev/null || { echo "server exited early; log:" >&2; cat "$rundir"/*.log >&2 || true; return 1; }
    sleep 0.05
  done
  echo "server did not listen on $1:$2" >&2
  return 1
}

start() {  # start LOG COMMAND...: background, detached from our output, PID recorded
  local log=$1; shift
  "$@" > "$rundir/$log" 2>&1 < /dev/null &
  echo $! >> "$rundir/pids"
  last_pid=$!
}

# For scripts that run peers themselves (tests/consumer, tests/examples):

free_port() {  # a TCP port free on 127.0.0.1 just now
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

stop_pids() {  # stop_pids PIDFILE...: what the peer scripts recorded, by PID
  local file pid
  for file in "$@"; do
    [ -f "$file" ] || continue
    while read -r pid; do kill "$pid" 2>/dev/null || true; done < "$file"
  done
}
