#!/usr/bin/env bash
# Makes the demo's certificate authority and its localhost server certificate in DIR, unless
# they are there already: ca.pem (the one to trust), localhost.pem and localhost.key (the form
# handler's). Keys stay in DIR, which belongs under the build folder and is never committed.
# Usage: tools/demo-ca.sh DIR
set -euo pipefail
dir=${1:?usage: demo-ca.sh DIR}
mkdir -p "$dir"
# Two runs at once (parallel tests) make one set between them, not two halves.
exec 9>"$dir/.lock"
flock 9
[ -s "$dir/ca.pem" ] && [ -s "$dir/localhost.pem" ] && [ -s "$dir/localhost.key" ] && exit 0
work=$(mktemp -d "$dir/.new.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
umask 077
newkey() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

newkey ca.key
openssl req -x509 -new -key ca.key -sha256 -days 825 -subj "/O=zq demo/CN=zq demo CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -addext "subjectKeyIdentifier=hash" -out ca.pem

newkey localhost.key
openssl req -new -key localhost.key -subj "/O=zq demo/CN=localhost" -out localhost.csr
cat > localhost.ext <<'EXT'
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1, IP:::1
authorityKeyIdentifier = keyid
subjectKeyIdentifier = hash
EXT
openssl x509 -req -in localhost.csr -CA ca.pem -CAkey ca.key -CAcreateserial -sha256 -days 825 \
  -extfile localhost.ext -out localhost.pem 2>/dev/null
chmod 644 ca.pem localhost.pem
mv ca.key ca.pem localhost.key localhost.pem "$dir/"
