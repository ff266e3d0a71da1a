#!/usr/bin/env bash
# Starts one SOCKS server on loopback for the network integration tests and returns once it
# accepts connections. The processes it leaves running are listed, one PID a line, in
# RUNDIR/pids (in the order they should be stopped); the caller stops them by PID.
#
#   socks-peer.sh dante-noauth   RUNDIR PORT   SOCKS 4 and 5, no authentication, 127.0.0.1 and ::1
#   socks-peer.sh dante-userpass RUNDIR PORT   SOCKS 5 with user name socksuser / sockspass (a
#                                              system account, created when missing)
#   socks-peer.sh microsocks     RUNDIR PORT ADDRESS [USER PASSWORD]
#   socks-peer.sh ssh            RUNDIR PORT SSHPORT   ssh -D: SOCKS 4, 4a and 5 on 127.0.0.1
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
kind=$1 rundir=$2 port=$3
mkdir -p "$rundir"
chmod 755 "$rundir"
: > "$rundir/pids"

. "$here/peer-lib.sh"

case $kind in
  dante-noauth|dante-userpass)
    method=none
    if [ "$kind" = dante-userpass ]; then
      method=username
      # One account for every test run; creating it is serialised across parallel tests.
      (
        flock 9
        id socksuser > /dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin socksuser
        echo 'socksuser:sockspass' | chpasswd
      ) 9> /tmp/zq-socksuser.lock
    fi
    sed -e "s#@PORT@#$port#g" -e "s#@METHOD@#$method#g" "$here/sockd.conf.in" > "$rundir/sockd.conf"
    start danted.log /usr/sbin/danted -f "$rundir/sockd.conf" -p "$rundir/danted.pid"
    wait_for_port 127.0.0.1 "$port" "$last_pid"
    wait_for_port ::1 "$port" "$last_pid"
    ;;
  microsocks)
    address=$4
    if [ $# -ge 6 ]; then
      start microsocks.log microsocks -i "$address" -p "$port" -u "$5" -P "$6"
    else
      start microsocks.log microsocks -i "$address" -p "$port"
    fi
    wait_for_port "$address" "$port" "$last_pid"
    ;;
  ssh)
    sshport=$4
    ssh-keygen -q -t ed25519 -N '' -f "$rundir/ssh_host_ed25519"
    ssh-keygen -q -t ed25519 -N '' -f "$rundir/ssh_client_ed25519"
    cp "$rundir/ssh_client_ed25519.pub" "$rundir/ssh_authorized_keys"
    sed -e "s#@RUNDIR@#$rundir#g" -e "s#@SSHPORT@#$sshport#g" "$here/sshd-socks.conf.in" > "$rundir/sshd.conf"
    mkdir -p /run/sshd
    start sshd.log /usr/sbin/sshd -D -e -f "$rundir/sshd.conf"
    sshd_pid=$last_pid
    wait_for_port 127.0.0.1 "$sshport" "$sshd_pid"
    # The key files are readable by the account running the tests only: log in as it.
    start ssh.log ssh -N -D "127.0.0.1:$port" -p "$sshport" -i "$rundir/ssh_client_ed25519" \
      -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null \
      -o ExitOnForwardFailure=yes -o LogLevel=ERROR "$(id -un)@127.0.0.1"
    # The client goes first when stopping, then the server.
    printf '%s\n%s\n' "$last_pid" "$sshd_pid" > "$rundir/pids"
    wait_for_port 127.0.0.1 "$port" "$last_pid"
    ;;
  *)
    echo "unknown peer: $kind" >&2
    exit 2
    ;;
esac
