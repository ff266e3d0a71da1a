#pragma once
// What the scripted HTTP servers of the client tests share: reading a request as it arrived.

#include <mutex>
#include <string>
#include <vector>

#include "tests/net/integration/zqLoopback.h"

namespace zq::test {

// The request header, through its empty line, read a byte at a time.
inline std::string ReadHeader(int fd) {
  std::string header;
  while (header.find("\r\n\r\n") == std::string::npos) header += ReadExactly(fd, 1);
  return header;
}

// The header and the body its Content-Length announces.
inline std::string ReadRequest(int fd) {
  std::string request = ReadHeader(fd);
  const size_t at = request.find("\r\nContent-Length: ");
  if (at != std::string::npos) request += ReadExactly(fd, std::stoul(request.substr(at + 18)));
  return request;
}

// Requests as the server saw them, one per call of the script.
struct Recorder {
  std::vector<std::string> requests;
  std::mutex lock;
  std::string Read(int fd) { return Keep(ReadRequest(fd)); }
  std::string Keep(const std::string& request) {
    std::lock_guard<std::mutex> guard(lock);
    requests.push_back(request);
    return request;
  }
};

}  // namespace zq::test
