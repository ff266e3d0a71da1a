#!/usr/bin/env bash
# ThreadSanitizer build of the library and its tests (build-tsan), then the tests whose code
# runs on more than one thread: the host resolvers (getaddrinfo off the calling thread), the
# message pump (posts and wake-ups from other threads), the socket wait, the cookie store's
# lock and the scripted loopback servers of the client tests. Run by hand:
#   tools/tsan.sh [extra ctest arguments...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$top" -B "$top/build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZQ_BENCH=OFF -DZQ_APP=OFF \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" -DCMAKE_C_FLAGS="-fsanitize=thread" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache
nice cmake --build "$top/build-tsan" -j "$(nproc)" --target test_net test_platform test_http itest_net
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
ctest --test-dir "$top/build-tsan" --output-on-failure -j "$(nproc)" \
  -R 'Resolvers|MessagePump|WaitForSocketEvent|HostLookup|CookieManager|TcpClient|Connection' "$@"
