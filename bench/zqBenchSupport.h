#pragma once
// What the benchmarks share.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <stdexcept>

#include "core/zqStream.h"

namespace zq::bench {

// A stream that only counts what is written to it.
class TzqDiscardStream : public TzqStream {
public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t count) override {
    written += count;
    return count;
  }
  int64_t Seek(int64_t, TzqSeekOrigin) override { return written; }
  int64_t Size() override { return written; }

  int64_t written = 0;
};

// A socket listening on 127.0.0.1 on a free port, which goes into port.
inline int ListenOnLoopback(int& port) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener, 1) != 0)
    throw std::runtime_error("cannot listen on loopback");
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return listener;
}

}  // namespace zq::bench
