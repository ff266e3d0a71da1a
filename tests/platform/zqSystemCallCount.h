#pragma once
// The socket system calls this thread makes while counting is on (poll, ioctl and recv are
// replaced in the test program by counting ones that call the system's).

namespace zq::test {

struct TzqSystemCalls {
  long polls = 0;
  long ioctls = 0;
  long recvs = 0;
};

void CountSystemCalls(bool on);
TzqSystemCalls SystemCallsCounted();

}  // namespace zq::test
