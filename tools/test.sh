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

# The fuzz targets build with clang; each runs over its corpus in fuzz/corpus (every input
# once, as a regression) and then briefly at random, two at a time. The long runs are made by
# hand with tools/fuzz.sh TARGET MINUTES.
echo "== fuzz corpus regression and short runs"
CC=clang CXX=clang++ build build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZQ_FUZZ=ON -DZQ_SANITIZE=ON
find "$top/build-fuzz/fuzz" -maxdepth 1 -name 'fuzz_*' -type f -executable -printf '%f\n' | sort |
  xargs -P 2 -I{} "$top/tools/fuzz.sh" --check {} 5 || status=1
exit $status
