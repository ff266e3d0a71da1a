#pragma once
// A TLS client for the demo form handler's tests: it writes exactly the bytes a test gives it
// and trusts the demo CA only.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>

#include "tests/tools/integration/zqFormHandlerProcess.h"

namespace zq::test {

// A TCP connection to 127.0.0.1 whose reads and writes give up after 5 s.
inline int Connect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    throw std::runtime_error("connect failed");
  }
  timeval limit{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  return fd;
}

class TlsClient {
public:
  explicit TlsClient(int port) : fd_(Connect(port)) {
    // Writing to a connection the server has ended is an answer a test looks at, not a death.
    ::signal(SIGPIPE, SIG_IGN);
    context_ = SSL_CTX_new(TLS_client_method());
    SSL_CTX_load_verify_locations(context_, FormHandlerProcess::CaFile().c_str(), nullptr);
    SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
    ssl_ = SSL_new(context_);
    SSL_set1_host(ssl_, "localhost");
    SSL_set_tlsext_host_name(ssl_, "localhost");
    SSL_set_fd(ssl_, fd_);
    if (SSL_connect(ssl_) != 1) throw std::runtime_error("TLS handshake failed");
  }
  ~TlsClient() {
    SSL_free(ssl_);
    SSL_CTX_free(context_);
    ERR_clear_error();
    ::close(fd_);
  }

  void Write(const std::string& bytes) {
    for (size_t at = 0; at < bytes.size();) {
      const int n = SSL_write(ssl_, bytes.data() + at, static_cast<int>(std::min<size_t>(bytes.size() - at, 16384)));
      if (n <= 0) return;  // the server may close while a refused request is still being sent
      at += static_cast<size_t>(n);
    }
  }
  // One answer: its header, then the body its Content-Length announces.
  std::string ReadResponse() {
    while (buffer_.find("\r\n\r\n") == std::string::npos)
      if (!Fill()) return Take(buffer_.size());
    const size_t headEnd = buffer_.find("\r\n\r\n") + 4;
    const size_t at = buffer_.find("Content-Length: ");
    const size_t length = at < headEnd ? std::stoul(buffer_.substr(at + 16)) : 0;
    while (buffer_.size() < headEnd + length)
      if (!Fill()) break;
    return Take(std::min(buffer_.size(), headEnd + length));
  }
  // True when the server ends the connection now (a read that times out after 5 s is no end).
  bool ServerClosed() {
    const auto start = std::chrono::steady_clock::now();
    return !Fill() && std::chrono::steady_clock::now() - start < std::chrono::milliseconds(4500);
  }

private:
  bool Fill() {
    char chunk[16384];
    const int n = SSL_read(ssl_, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  }
  std::string Take(size_t n) {
    std::string taken = buffer_.substr(0, n);
    buffer_.erase(0, n);
    return taken;
  }

  int fd_;
  SSL_CTX* context_ = nullptr;
  SSL* ssl_ = nullptr;
  std::string buffer_;
};

}  // namespace zq::test
