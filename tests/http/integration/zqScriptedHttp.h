#pragma once
// What the HTTP client's integration tests share: reading a request as a scripted server got
// it, and catching what a call raises.

#include <mutex>
#include <string>
#include <vector>

#include "http/zqHttpUtils.h"
#include "tests/support/zqLoopback.h"

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

// The EzqHttpError a call raises; one with status 0 when it raises none.
template <typename Call>
EzqHttpError HttpErrorOf(Call call) {
  try {
    call();
  } catch (const EzqHttpError& e) {
    return e;
  }
  return EzqHttpError("(nothing raised)", "", 0);
}

}  // namespace zq::test
