#!/usr/bin/env bash
# Installs what the build needs, builds the normal and the sanitizer configuration,
# and runs every test of both. Usage: tools/test.sh [ctest arguments...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/setup.sh"
jobs=$(nproc)

build() {  # build <dir> <cmake args...>
  local dir=$1; shift
  cmake -S "$top" -B "$top/$dir" -G Ninja -DZQ_WERROR=ON "$@"
  cmake --build "$top/$dir" -j "$jobs"
}

build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
build build-asan -DCMAKE_BUILD_TYPE=Debug -DZQ_SANITIZE=ON -DZQ_BENCH=OFF -DZQ_APP=OFF

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for dir in build build-asan; do
  echo "== tests: $dir"
  ctest --test-dir "$top/$dir" --output-on-failure -j "$jobs" "$@" || status=1
done

# The fuzz targets build with clang and each runs briefly from an empty corpus, so a target
# that no longer builds or crashes at once fails here; the long runs are made by hand.
echo "== fuzz smoke runs"
CC=clang CXX=clang++ build build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZQ_FUZZ=ON -DZQ_SANITIZE=ON
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
for target in "$top"/build-fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  mkdir -p "$corpus/${target##*/}"
  if ! "$target" -max_total_time=5 -rss_limit_mb=2048 "$corpus/${target##*/}" > "$corpus/${target##*/}.log" 2>&1; then
    echo "fuzz target ${target##*/} failed:"; tail -40 "$corpus/${target##*/}.log"; status=1
  fi
done
exit $status
