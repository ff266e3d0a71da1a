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

free_port() {  # a TCP port free on 127.0.0.1 just now, below the ephemeral range (no
  # connection made meanwhile can take it)
  python3 -c '
import random, socket
high = int(open("/proc/sys/net/ipv4/ip_local_port_range").read().split()[0]) - 1
while True:
    port = random.randint(max(1024, high - 20000), high)
    s = socket.socket()
    try:
        s.bind(("127.0.0.1", port)); print(port); break
    except OSError:
        pass
    finally:
        s.close()'
}

stop_pids() {  # stop_pids PIDFILE...: what the peer scripts recorded, by PID
  local file pid
  for file in "$@"; do
    [ -f "$file" ] || continue
    while read -r pid; do kill "$pid" 2>/dev/null || true; done < "$file"
  done
}
