#!/usr/bin/env bash
# gen-certs.sh OUTDIR
#
# Generates a throw-away PKI for TLS tests on loopback, using only the
# openssl command line tool (OpenSSL 3.0 as shipped by Debian 12).
#
#   ca.key / ca.pem                 test root CA ("Test Root CA")
#   server.key / server.pem         valid leaf, CN=localhost,
#                                   SAN DNS:localhost, IP:127.0.0.1, IP:::1
#   server-chain.pem                server.pem followed by ca.pem
#   expired.key / expired.pem       same names as server.pem, signed by the CA,
#                                   but valid only 2020-01-01 .. 2020-02-01
#   wronghost.key / wronghost.pem   signed by the CA, CN/SAN DNS:wrong.example
#                                   only (no localhost, no IP SANs)
#   selfsigned.key / selfsigned.pem self-signed (NOT issued by the CA), with the
#                                   same names as server.pem
#   untrusted-ca.pem                an unrelated CA that issued nothing here
#                                   (use it as a trust store that must fail)
#   unknownca.key / unknownca.pem   CN=localhost issued by that unrelated CA
#   client.key / client.pem         CN=Test Client, clientAuth, signed by the CA
#   fields.key / fields.pem         EC P-256, serial 0A0B0C, e-mail in the subject,
#                                   valid 2024-01-01 .. 2034-01-01, serverAuth+clientAuth
#   altmail.key / altmail.pem       no e-mail in the subject, SAN email:alt@example.org
#   weak1024.key / weak1024.pem     like server.pem, but an RSA 1024 key
#   weak512.key / weak512.pem       like server.pem, but an RSA 512 key (serve it with
#                                   -tls1_2 -cipher DEFAULT:@SECLEVEL=0)
#
# All other keys are RSA 2048, unencrypted. Runs in well under a few seconds.
# Usage in tests:  SSL_CERT_FILE=OUTDIR/ca.pem <client> https://localhost:PORT/
set -euo pipefail

out=${1:?usage: gen-certs.sh OUTDIR}
mkdir -p "$out"
cd "$out"

days=3650
subj_base="/O=HTTP Client Test Suite"

newkey() { openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1" 2>/dev/null; }

# ---- Root CA ---------------------------------------------------------------
newkey ca.key
openssl req -x509 -new -key ca.key -sha256 -days "$days" \
    -subj "$subj_base/CN=Test Root CA" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -addext "subjectKeyIdentifier=hash" \
    -out ca.pem

# ---- Extension files for leaf certs -----------------------------------------
cat > leaf-localhost.ext <<'EOF'
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1, IP:::1
authorityKeyIdentifier = keyid
subjectKeyIdentifier = hash
EOF
cat > leaf-wronghost.ext <<'EOF'
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:wrong.example
authorityKeyIdentifier = keyid
subjectKeyIdentifier = hash
EOF

# ---- Valid server cert ------------------------------------------------------
newkey server.key
openssl req -new -key server.key -subj "$subj_base/CN=localhost" -out server.csr
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial \
    -sha256 -days 825 -extfile leaf-localhost.ext -out server.pem 2>/dev/null
cat server.pem ca.pem > server-chain.pem

# ---- Wrong-hostname cert (CA-signed) ---------------------------------------
newkey wronghost.key
openssl req -new -key wronghost.key -subj "$subj_base/CN=wrong.example" -out wronghost.csr
openssl x509 -req -in wronghost.csr -CA ca.pem -CAkey ca.key -CAserial ca.srl \
    -sha256 -days 825 -extfile leaf-wronghost.ext -out wronghost.pem 2>/dev/null

# ---- Expired cert (CA-signed) ------------------------------------------------
# OpenSSL 3.0's "x509 -req" cannot set a start date in the past, "openssl ca"
# can (-startdate/-enddate), so use a minimal throw-away CA database.
newkey expired.key
openssl req -new -key expired.key -subj "$subj_base/CN=localhost" -out expired.csr
mkdir -p ca-db
: > ca-db/index.txt
printf '1000\n' > ca-db/serial
cat > ca-db/ca.cnf <<EOF
[ ca ]
default_ca = testca
[ testca ]
dir            = ca-db
database       = ca-db/index.txt
serial         = ca-db/serial
new_certs_dir  = ca-db
certificate    = ca.pem
private_key    = ca.key
default_md     = sha256
policy         = anything
unique_subject = no
copy_extensions = none
[ anything ]
organizationName = optional
commonName       = supplied
emailAddress     = optional
EOF
openssl ca -batch -notext -config ca-db/ca.cnf -in expired.csr \
    -startdate 20200101000000Z -enddate 20200201000000Z \
    -extfile leaf-localhost.ext -out expired.pem 2>/dev/null

# ---- Self-signed cert (not issued by the CA) -----------------------------------
newkey selfsigned.key
openssl req -x509 -new -key selfsigned.key -sha256 -days "$days" \
    -subj "$subj_base/CN=localhost" \
    -addext "basicConstraints=critical,CA:FALSE" \
    -addext "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1" \
    -addext "extendedKeyUsage=serverAuth" \
    -out selfsigned.pem

# ---- An unrelated CA (for "wrong trust store" tests) ---------------------------
newkey untrusted-ca.key
openssl req -x509 -new -key untrusted-ca.key -sha256 -days "$days" \
    -subj "$subj_base/CN=Unrelated Test CA" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -out untrusted-ca.pem

# ---- A server cert from the unrelated CA ---------------------------------------
newkey unknownca.key
openssl req -new -key unknownca.key -subj "$subj_base/CN=localhost" -out unknownca.csr
openssl x509 -req -in unknownca.csr -CA untrusted-ca.pem -CAkey untrusted-ca.key -CAcreateserial \
    -sha256 -days 825 -extfile leaf-localhost.ext -out unknownca.pem 2>/dev/null

# ---- Client cert ------------------------------------------------------------------
cat > leaf-client.ext <<'EOF2'
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = clientAuth
EOF2
newkey client.key
openssl req -new -key client.key -subj "$subj_base/CN=Test Client" -out client.csr
openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key -CAserial ca.srl \
    -sha256 -days 825 -extfile leaf-client.ext -out client.pem 2>/dev/null

# ---- Certificate with known fields --------------------------------------------------
cat > leaf-fields.ext <<'EOF2'
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth, clientAuth
subjectKeyIdentifier = hash
EOF2
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out fields.key 2>/dev/null
openssl req -new -key fields.key -subj "$subj_base/CN=Fields Test/emailAddress=fields@example.org" -out fields.csr
printf '0A0B0C\n' > ca-db/serial
openssl ca -batch -notext -config ca-db/ca.cnf -in fields.csr -preserveDN \
    -startdate 20240101000000Z -enddate 20340101000000Z \
    -extfile leaf-fields.ext -out fields.pem 2>/dev/null

# ---- E-mail only in the alternative names -------------------------------------------
printf 'basicConstraints = critical, CA:FALSE\nsubjectAltName = email:alt@example.org\n' > leaf-altmail.ext
newkey altmail.key
openssl req -new -key altmail.key -subj "$subj_base/CN=Alt Mail" -out altmail.csr
openssl x509 -req -in altmail.csr -CA ca.pem -CAkey ca.key -CAserial ca.srl \
    -sha256 -days 825 -extfile leaf-altmail.ext -out altmail.pem 2>/dev/null

# ---- Leaves with keys below security level 2 -----------------------------------------
for bits in 1024 512; do
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:$bits -out weak$bits.key 2>/dev/null
    openssl req -new -key weak$bits.key -subj "$subj_base/CN=localhost" -out weak$bits.csr
    openssl x509 -req -in weak$bits.csr -CA ca.pem -CAkey ca.key -CAserial ca.srl \
        -sha256 -days 825 -extfile leaf-localhost.ext -out weak$bits.pem 2>/dev/null
done

rm -f ./*.csr
chmod 644 ./*.pem ./*.key   # servers may drop privileges before reading them
echo "certificates written to $(pwd)"
