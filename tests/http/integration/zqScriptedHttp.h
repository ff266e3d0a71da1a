#pragma once
// What the HTTP client's integration tests share: a scripted server's URL, reading a request as
// the server got it, and catching what a call raises.

#include <mutex>
#include <string>
#include <vector>

#include "core/zqText.h"
#include "http/zqHttpUtils.h"
#include "tests/support/zqLoopback.h"

namespace zq::test {

inline std::string Url(const ScriptedServer& server, const std::string& path = "/") {
  return Format("http://127.0.0.1:%d%s", server.Port(), path.c_str());
}

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
