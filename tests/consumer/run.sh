#!/usr/bin/env bash
# Installs the build into a prefix under it, then builds tests/consumer/project against that
# prefix twice (find_package, then pkg-config) and has each program GET a file over HTTPS from
# nginx on loopback, trusting the test CA.
#
#   run.sh BUILD-DIR
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
peers=$here/../peers
work=$build/consumer
rm -rf "$work"
mkdir -p "$work/run"
. "$peers/peer-lib.sh"

trap 'stop_pids "$work/run/pids"' EXIT

cmake --install "$build" --prefix "$work/prefix" > "$work/install.log"
bash "$peers/gen-certs.sh" "$work/pki" > /dev/null
http_port=$(free_port) https_port=$(free_port)
bash "$peers/nginx-peer.sh" "$work/run" "$http_port" "$https_port" "$work/pki/server.pem" "$work/pki/server.key"
url=https://localhost:$https_port/hello.txt
export SSL_CERT_FILE=$work/pki/ca.pem

echo "== find_package"
cmake -S "$here/project" -B "$work/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$work/prefix" > "$work/cmake.log"
cmake --build "$work/cmake" > "$work/cmake-build.log"
"$work/cmake/zq_consumer" "$url" $'hello world\n'

echo "== pkg-config"
pcdir=$(dirname "$(find "$work/prefix" -name zq.pc)")
export PKG_CONFIG_PATH=$pcdir
# The rpath finds a shared libzq in the prefix; a static one ignores it.
# shellcheck disable=SC2046
c++ -std=c++20 -o "$work/pc_consumer" "$here/project/main.cpp" $(pkg-config --cflags zq) $(pkg-config --static --libs zq) \
  -Wl,-rpath,"$(pkg-config --variable=libdir zq)"
"$work/pc_consumer" "$url" $'hello world\n'
echo "consumer programs passed"
