#!/usr/bin/env bash
# Starts nginx on loopback for the HTTP client tests and returns once it accepts connections.
# The nginx process (one, no workers) is listed in RUNDIR/pids; the caller stops it by PID.
#
#   nginx-peer.sh RUNDIR HTTP-PORT HTTPS-PORT CERT.pem CERT.key
#
# Served from RUNDIR/www, the same on both ports:
#   hello.txt        "hello world\n"
#   lorem.txt        ~54 KB of text: gzip-coded when the client accepts gzip (so chunked for
#                    HTTP/1.1, ended by the close for HTTP/1.0)
#   large.bin        3 MiB of pseudo-random bytes (not compressed)
#   chunked/page.txt rewritten on the way out (REPLACE-ME -> replaced), so always chunked
#   /r301 /r302 /r307 -> /hello.txt; /hop2 -> /hop1 -> /hello.txt; /loop -> /loop;
#   /to-https -> https://localhost:HTTPS-PORT/hello.txt; /status/404 answers "not found\n";
#   /dav/ takes PUT and DELETE of files; /brief drops its kept connection after 1 s idle;
#   /form answers any method with "posted\n"; /cut.bin is a gzip body (Content-Encoding: gzip)
#   cut off in its middle.
# RUNDIR/logs/access.log has one line a request: connection number, its request count, the TLS
# protocol ("-" for plain), the request line, the status and the Proxy-Authorization field
# the request carried ("-" for none).
set -euo pipefail
rundir=$1 http_port=$2 https_port=$3 cert=$4 key=$5
mkdir -p "$rundir/logs" "$rundir/tmp" "$rundir/certs" "$rundir/www/chunked"
: > "$rundir/pids"
cp "$cert" "$rundir/certs/server.pem"
cp "$key" "$rundir/certs/server.key"

www=$rundir/www
printf 'hello world\n' > "$www/hello.txt"
for i in $(seq 1 1000); do printf 'line %04d: the quick brown fox jumps over the lazy dog\n' "$i"; done > "$www/lorem.txt"
for i in $(seq 1 2000); do printf 'row %04d REPLACE-ME\n' "$i"; done > "$www/chunked/page.txt"
gzip -c "$www/lorem.txt" > "$rundir/tmp/lorem.gz"
head -c $(($(stat -c %s "$rundir/tmp/lorem.gz") / 2)) "$rundir/tmp/lorem.gz" > "$www/cut.bin"
# Deterministic bytes; openssl dies of SIGPIPE once head has enough.
{ openssl enc -aes-128-ctr -nosalt -pass pass:large-file-seed -pbkdf2 -in /dev/zero 2>/dev/null || true; } \
  | head -c $((3 * 1024 * 1024)) > "$www/large.bin"

locations='
        location /chunked/ { sub_filter_types *; sub_filter REPLACE-ME replaced; sub_filter_once off; }
        location = /r301 { return 301 /hello.txt; }
        location = /r302 { return 302 /hello.txt; }
        location = /r307 { return 307 /hello.txt; }
        location = /hop2 { return 302 /hop1; }
        location = /hop1 { return 301 /hello.txt; }
        location = /loop { return 302 /loop; }
        location = /status/404 { default_type text/plain; return 404 "not found\n"; }
        location /dav/ { dav_methods PUT DELETE; create_full_put_path on; client_max_body_size 64m; }
        location = /brief { keepalive_timeout 1s; default_type text/plain; return 200 "brief\n"; }
        location = /form { default_type text/plain; return 200 "posted\n"; }
        location = /cut.bin { add_header Content-Encoding gzip; }'

cat > "$rundir/nginx.conf" <<EOF
daemon off;
master_process off;
pid logs/nginx.pid;
error_log stderr notice;
user root;
events { worker_connections 64; }
http {
    log_format peer '\$connection \$connection_requests \$ssl_protocol "\$request" \$status "\$http_proxy_authorization"';
    access_log logs/access.log peer;
    client_body_temp_path tmp/client_body;
    proxy_temp_path tmp/proxy;
    fastcgi_temp_path tmp/fastcgi;
    uwsgi_temp_path tmp/uwsgi;
    scgi_temp_path tmp/scgi;
    types { text/html html; text/plain txt; application/octet-stream bin; }
    default_type application/octet-stream;
    keepalive_timeout 30s;
    gzip on;
    gzip_types text/plain;
    gzip_min_length 0;
    gzip_http_version 1.0;
    ssl_protocols TLSv1.2 TLSv1.3;
    server {
        listen 127.0.0.1:$http_port;
        listen [::1]:$http_port;
        server_name localhost;
        root www;
        location = /to-https { return 302 https://localhost:$https_port/hello.txt; }
        $locations
    }
    server {
        listen 127.0.0.1:$https_port ssl;
        listen [::1]:$https_port ssl;
        server_name localhost;
        ssl_certificate certs/server.pem;
        ssl_certificate_key certs/server.key;
        root www;
        $locations
    }
}
EOF

here=$(cd "$(dirname "$0")" && pwd)
. "$here/peer-lib.sh"
start nginx.log nginx -p "$rundir/" -c nginx.conf -e stderr
wait_for_port 127.0.0.1 "$http_port" "$last_pid"
wait_for_port 127.0.0.1 "$https_port" "$last_pid"
