#!/usr/bin/env bash
# Starts one authentication peer on loopback for the HTTP integration tests and returns once
# it accepts connections. The processes it leaves running are listed, one PID a line, in
# RUNDIR/pids (in the order they should be stopped); the caller stops them by PID.
#
#   auth-peer.sh httpbin       RUNDIR PORT          httpbin under gunicorn (Basic, Digest, cookies)
#   auth-peer.sh apache-auth   RUNDIR PORT          Apache: /digest/ (digestuser / digestpass, MD5)
#                                                   and /basic/ (basicuser / basicpass)
#   auth-peer.sh apache-gssapi RUNDIR PORT KDCPORT  an MIT KDC for TEST.LOCAL (krbuser / krbpass,
#                                                   HTTP/localhost) and Apache with mod_auth_gssapi:
#                                                   /ntlm/ (TESTDOM\ntlmuser / ntlmpass, checked by
#                                                   gss-ntlmssp) and /krb/ (Kerberos)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
kind=$1 rundir=$2 port=$3
mkdir -p "$rundir/logs" "$rundir/www"
chmod 755 "$rundir"
: > "$rundir/pids"
printf 'hello world\n' > "$rundir/www/hello.txt"

. "$here/peer-lib.sh"

render() {  # render TEMPLATE OUTPUT
  sed -e "s#@RUNDIR@#$rundir#g" -e "s#@PORT@#$port#g" -e "s#@KDCPORT@#${kdcport:-0}#g" "$here/$1" > "$rundir/$2"
}

case $kind in
  httpbin)
    start httpbin.log gunicorn --bind "127.0.0.1:$port" --bind "[::1]:$port" --worker-class gthread \
      --workers 1 --threads 4 --keep-alive 5 --access-logfile - --error-logfile - httpbin:app
    wait_for_port 127.0.0.1 "$port" "$last_pid"
    ;;
  apache-auth)
    render apache-auth.conf.in apache-auth.conf
    printf 'digestuser:digest-realm:%s\n' "$(printf 'digestuser:digest-realm:digestpass' | md5sum | cut -d' ' -f1)" \
      > "$rundir/digest.passwd"
    printf 'basicuser:%s\n' "$(openssl passwd -apr1 basicpass)" > "$rundir/basic.passwd"
    start apache.log apache2 -d "$rundir" -f apache-auth.conf -DFOREGROUND
    wait_for_port 127.0.0.1 "$port" "$last_pid"
    ;;
  apache-gssapi)
    kdcport=$4
    render apache-gssapi.conf.in apache-gssapi.conf
    render kdc.conf.in kdc.conf
    render krb5.conf.in krb5.conf
    : > "$rundir/kadm5.acl"
    (
      export KRB5_CONFIG=$rundir/krb5.conf KRB5_KDC_PROFILE=$rundir/kdc.conf
      kdb5_util create -s -r TEST.LOCAL -P masterpw
      kadmin.local -q "addprinc -pw krbpass krbuser"
      kadmin.local -q "addprinc -randkey HTTP/localhost"
      kadmin.local -q "addprinc -randkey HTTP/127.0.0.1"
      kadmin.local -q "ktadd -k $rundir/http.keytab HTTP/localhost HTTP/127.0.0.1"
    ) > "$rundir/kdc-setup.log" 2>&1
    chmod 644 "$rundir/http.keytab"
    KRB5_CONFIG=$rundir/krb5.conf KRB5_KDC_PROFILE=$rundir/kdc.conf start kdc.log krb5kdc -n
    wait_for_port 127.0.0.1 "$kdcport" "$last_pid"
    printf 'TESTDOM:ntlmuser:ntlmpass\n' > "$rundir/ntlm-users"
    NTLM_USER_FILE=$rundir/ntlm-users NETBIOS_DOMAIN_NAME=TESTDOM NETBIOS_COMPUTER_NAME=TESTSRV \
    KRB5_CONFIG=$rundir/krb5.conf KRB5_KTNAME=FILE:$rundir/http.keytab \
      start apache.log apache2 -d "$rundir" -f apache-gssapi.conf -DFOREGROUND
    wait_for_port 127.0.0.1 "$port" "$last_pid"
    ;;
  *)
    echo "unknown peer $kind" >&2
    exit 2
    ;;
esac
