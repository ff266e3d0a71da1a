#include "tests/platform/zqSystemCallCount.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstdarg>

namespace {

thread_local bool tCounting = false;
thread_local zq::test::TzqSystemCalls tCalls;

template <class F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

int poll(pollfd* fds, nfds_t count, int timeout) {
  static const auto next = Next<int (*)(pollfd*, nfds_t, int)>("poll");
  if (tCounting) ++tCalls.polls;
  return next(fds, count, timeout);
}

int ioctl(int fd, unsigned long request, ...) __THROW {
  static const auto next = Next<int (*)(int, unsigned long, void*)>("ioctl");
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  if (tCounting) ++tCalls.ioctls;
  return next(fd, request, argument);
}

ssize_t recv(int fd, void* buffer, size_t length, int flags) {
  static const auto next = Next<ssize_t (*)(int, void*, size_t, int)>("recv");
  if (tCounting) ++tCalls.recvs;
  return next(fd, buffer, length, flags);
}

}  // extern "C"

namespace zq::test {

void CountSystemCalls(bool on) {
  if (on) tCalls = {};
  tCounting = on;
}

TzqSystemCalls SystemCallsCounted() { return tCalls; }

}  // namespace zq::test
