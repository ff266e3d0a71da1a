#!/usr/bin/env bash
# Starts `openssl s_server` on 127.0.0.1 for the TLS integration tests and returns once it
# accepts connections. Its PID goes to RUNDIR/pids, its output to RUNDIR/s_server.log; the
# caller stops it by PID. It serves from RUNDIR (for -WWW).
#
#   tls-peer.sh RUNDIR PORT S_SERVER-ARGUMENTS...
set -euo pipefail
rundir=$1 port=$2
shift 2
mkdir -p "$rundir"
: > "$rundir/pids"
cd "$rundir"
openssl s_server -accept "127.0.0.1:$port" "$@" > "$rundir/s_server.log" 2>&1 < /dev/null &
pid=$!
echo "$pid" >> "$rundir/pids"
for _ in $(seq 1 200); do
  # probing by connecting would use up an accept: look at the listening sockets instead
  if ss -Hltn "sport = :$port" | grep -q .; then exit 0; fi
  kill -0 "$pid" 2>/dev/null || { echo "s_server exited early:" >&2; cat "$rundir/s_server.log" >&2; exit 1; }
  sleep 0.05
done
echo "s_server did not listen on 127.0.0.1:$port" >&2
exit 1
