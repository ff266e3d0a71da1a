#!/usr/bin/env bash
# Checks that every program shown in docs/guide.md is the examples/ file it names, then runs
# each example program against peers on loopback (nginx with the test PKI, httpbin, squid,
# dante) and checks what it writes.
#
#   run.sh SOURCE-DIR EXAMPLES-BINARY-DIR
set -euo pipefail
top=$(cd "$1" && pwd)
bin=$(cd "$2" && pwd)
peers=$top/tests/peers
work=$(mktemp -d)
failures=0
pidfiles=()

. "$peers/peer-lib.sh"
stop_peers() {
  stop_pids "${pidfiles[@]}"
  rm -rf "$work"
}
trap stop_peers EXIT

fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

# ---- the guide shows the examples as they are ------------------------------------------------
python3 - "$top" <<'PY' || failures=$((failures + 1))
import pathlib, re, sys
top = pathlib.Path(sys.argv[1])
guide = (top / "docs/guide.md").read_text()
blocks = re.findall(r"<!-- ([\w./]+) -->\n```\w+\n(.*?)```\n", guide, re.S)
shown = {name for name, _ in blocks}
bad = [name for name, code in blocks if (top / name).read_text() != code]
missing = sorted(str(p.relative_to(top)) for p in (top / "examples").glob("*.cpp") if str(p.relative_to(top)) not in shown)
unmarked = guide.count("```cpp") - sum(name.endswith(".cpp") for name, _ in blocks)
for name in bad: print(f"FAILED: docs/guide.md shows {name} otherwise than the file")
for name in missing: print(f"FAILED: {name} is not in docs/guide.md")
if unmarked: print(f"FAILED: {unmarked} cpp block(s) of docs/guide.md name no example")
sys.exit(1 if bad or missing or unmarked else 0)
PY

# ---- peers -------------------------------------------------------------------------------------
start_peer() {  # start_peer NAME SCRIPT ARGS...: RUNDIR is $work/NAME
  local name=$1 script=$2; shift 2
  mkdir -p "$work/$name"
  chmod 755 "$work" "$work/$name"
  pidfiles+=("$work/$name/pids")
  timeout 60 bash "$peers/$script" "$@" > "$work/$name.log" 2>&1 || { cat "$work/$name.log"; exit 1; }
}
bash "$peers/gen-certs.sh" "$work/pki" > /dev/null
export SSL_CERT_FILE=$work/pki/ca.pem
http_port=$(free_port) https_port=$(free_port) httpbin_port=$(free_port) squid_port=$(free_port) socks_port=$(free_port)
start_peer nginx nginx-peer.sh "$work/nginx" "$http_port" "$https_port" "$work/pki/server.pem" "$work/pki/server.key"
start_peer httpbin auth-peer.sh httpbin "$work/httpbin" "$httpbin_port"
start_peer squid squid-peer.sh open "$work/squid" "$squid_port"
start_peer dante socks-peer.sh dante-noauth "$work/dante" "$socks_port"
nginx=http://127.0.0.1:$http_port nginxs=https://localhost:$https_port httpbin=http://127.0.0.1:$httpbin_port
www=$work/nginx/www

# ---- the examples ------------------------------------------------------------------------------
run() {  # run NAME ARGS...: exit code in $code, stdout in $out, stderr in $err
  code=0
  timeout 30 "$bin/zq_example_$1" "${@:2}" > "$work/out" 2> "$work/err" || code=$?
  out=$(cat "$work/out") err=$(cat "$work/err")
}
expect() {  # expect WHAT CODE TEXT: the last run exited CODE and wrote TEXT (stdout or stderr)
  [ "$code" = "$2" ] || fail "$1: exit $code, expected $2; stderr: $err"
  [[ "$out$err" == *"$3"* ]] || fail "$1: no \"$3\" in: ${out:0:300} ${err:0:300}"
}

run get_file "$nginxs/large.bin" "$work/large.bin"
expect get_file 0 "200 OK"
cmp -s "$work/large.bin" "$www/large.bin" || fail "get_file: the file differs"

run post_form "$httpbin/post"
expect post_form 0 '"form":{"birthdate":"1990-01-02","name":"Ann & Bob"}'

printf 'file body\n' > "$work/report.txt"
run upload_multipart "$httpbin/post" "$work/report.txt"
expect upload_multipart 0 '"files":{"report":"file body\n"}'

seq 1 50000 > "$work/numbers.txt"
run put_file "$nginx/dav/numbers.txt" "$work/numbers.txt"
expect put_file 0 $'PUT 201\nPATCH 405'
cmp -s "$work/numbers.txt" "$www/dav/numbers.txt" || fail "put_file: the stored file differs"

run redirects "$nginx/hop2"
expect redirects 0 "$nginx/hello.txt"
expect redirects 0 "301 -> $nginx/hello.txt (GET)"
run redirects "$nginx/loop"
expect redirects 1 "stopped: HTTP/1.1 302"

run authorization "$httpbin/digest-auth/auth/user/passwd" user passwd
expect authorization 0 '"authenticated":true'
run authorization "$httpbin/basic-auth/u/p" u p basic
expect authorization 0 '"authenticated":true'
run authorization "$httpbin/basic-auth/u/p" u wrong
expect authorization 1 "401"

run cookies "$httpbin/cookies/set?flavour=oat" "$work/jar"
expect cookies 0 '"flavour":"oat"'
run cookies "$httpbin/cookies" "$work/jar"
expect cookies 0 '"flavour":"oat"'

run proxies "$nginx/hello.txt" http 127.0.0.1 "$squid_port"
expect "proxies http" 0 "hello world"
run proxies "$nginxs/hello.txt" http 127.0.0.1 "$squid_port"
expect "proxies CONNECT" 0 "hello world"
run proxies "$nginx/hello.txt" socks5 127.0.0.1 "$socks_port"
expect "proxies socks5" 0 "hello world"
run proxies "$nginx/hello.txt" socks4a 127.0.0.1 "$socks_port"
expect "proxies socks4a" 0 "hello world"

run tls "$nginxs/hello.txt"
expect tls 0 "hello world"
SSL_CERT_FILE=$work/pki/untrusted-ca.pem run tls "$nginxs/hello.txt"
expect "tls untrusted" 1 "error:"
SSL_CERT_FILE=$work/pki/untrusted-ca.pem run tls "$nginxs/hello.txt" insecure
expect "tls insecure" 0 "hello world"
SSL_CERT_FILE=$work/pki/untrusted-ca.pem run tls "$nginxs/hello.txt" "$work/pki/ca.pem"
expect "tls CAFile" 0 "hello world"

run limits "$nginx/hello.txt"
expect limits 0 "12 bytes"
run limits "$nginx/large.bin"
expect "limits size" 1 "MaxResponseSize"

run errors "$nginx/status/404"
expect errors 4 "HTTP 404: HTTP/1.1 404 Not Found"
run errors "http://127.0.0.1:$(free_port)/"
expect "errors refused" 3 "network 10061"

run html_links "$httpbin/links/3/0"
expect html_links 0 "title: Links"
expect html_links 0 "/links/3/2"

run worker_thread "$nginx/hello.txt"
expect worker_thread 0 "hello world"

[ "$failures" = 0 ] && echo "all examples passed"
exit $((failures > 0))
