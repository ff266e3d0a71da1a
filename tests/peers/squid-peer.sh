#!/usr/bin/env bash
# Starts squid on loopback for the proxy tunnel tests and returns once it accepts connections.
# The squid process is listed in RUNDIR/pids; the caller stops it by PID.
#
#   squid-peer.sh open   RUNDIR PORT   CONNECT without proxy authorization
#   squid-peer.sh basic  RUNDIR PORT   Basic proxy authorization, proxyuser / proxypass
#   squid-peer.sh digest RUNDIR PORT   Digest proxy authorization, proxyuser / proxypass
#   squid-peer.sh ntlm   RUNDIR PORT   NTLM proxy authorization (squid's fake helper: any password)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
kind=$1 rundir=$2 port=$3
mkdir -p "$rundir"
: > "$rundir/pids"
helpers=/usr/lib/squid

case $kind in
  open)
    auth='' access='allow localhost' ;;
  basic)
    printf 'proxyuser:%s\n' "$(openssl passwd -apr1 proxypass)" > "$rundir/htpasswd"
    auth="auth_param basic program $helpers/basic_ncsa_auth $rundir/htpasswd
auth_param basic realm Test Proxy
auth_param basic children 2 startup=1 idle=1
auth_param basic credentialsttl 1 minute
acl authed proxy_auth REQUIRED"
    access='allow localhost authed' ;;
  digest)
    printf 'proxyuser:proxypass\n' > "$rundir/digest-passwd"
    auth="auth_param digest program $helpers/digest_file_auth $rundir/digest-passwd
auth_param digest realm Test Digest Proxy
auth_param digest children 2 startup=1 idle=1
acl authed proxy_auth REQUIRED"
    access='allow localhost authed' ;;
  ntlm)
    auth="auth_param ntlm program $helpers/ntlm_fake_auth
auth_param ntlm children 2 startup=1 idle=1
acl authed proxy_auth REQUIRED"
    access='allow localhost authed' ;;
  *) echo "unknown kind $kind" >&2; exit 2 ;;
esac

# squid drops to the "proxy" user: it must be able to write its run directory.
chmod 755 "$rundir"
chmod a+x "$(dirname "$rundir")"  # a temp directory is 0700
chown -R proxy:proxy "$rundir" 2>/dev/null || true
AUTH=$auth awk -v rundir="$rundir" -v port="$port" -v access="$access" '
  { gsub(/@RUNDIR@/, rundir); gsub(/@PORT@/, port); gsub(/@ACCESS@/, access) }
  /^@AUTH@$/ { print ENVIRON["AUTH"]; next }
  { print }' "$here/squid.conf.in" > "$rundir/squid.conf"
rm -f "$rundir/squid.pid"

squid -N -d 1 -f "$rundir/squid.conf" > "$rundir/squid.log" 2>&1 < /dev/null &
pid=$!
echo "$pid" >> "$rundir/pids"
for _ in $(seq 1 200); do
  if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then exit 0; fi
  kill -0 "$pid" 2>/dev/null || { echo "squid exited early; log:" >&2; cat "$rundir/squid.log" "$rundir/cache.log" >&2 || true; exit 1; }
  sleep 0.05
done
echo "squid did not listen on 127.0.0.1:$port" >&2
exit 1
