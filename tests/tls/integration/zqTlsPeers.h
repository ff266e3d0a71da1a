#pragma once
// TLS peers for the integration tests: `openssl s_server` started by tests/peers/tls-peer.sh
// and stopped by PID, a blocking driver that runs an engine over a plain socket, and a
// scripted OpenSSL server for exchanges the real servers cannot script.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/support/zqLoopback.h"
#include "tests/support/zqTlsServerContext.h"
#include "tests/tls/zqTlsTestCertificates.h"
#include "tests/tls/zqTlsTestStreams.h"
#include "tls/zqSspiTls.h"

namespace zq::test {

// One s_server on 127.0.0.1, given its arguments; -cert/-key of a generated certificate.
class TlsPeer {
public:
  TlsPeer(const std::string& certificate, const std::vector<std::string>& arguments) : port_(FreePort()) {
    const TlsCertificates& pki = TlsCertificates::Get();
    std::vector<std::string> all = {Run(),  std::to_string(port_),         "-cert", pki.File(certificate + ".pem"),
                                    "-key", pki.File(certificate + ".key")};
    all.insert(all.end(), arguments.begin(), arguments.end());
    processes_.Start("tls-peer.sh", all);
  }

  int Port() const { return port_; }
  // The directory s_server serves files from (-WWW).
  std::string Run() const { return processes_.RunDir(); }
  std::string Log() const { return ReadWholeFile(Run() + "/s_server.log"); }

private:
  PeerProcesses processes_;
  int port_;
};

inline int ConnectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  socklen_t length = 0;
  sockaddr_storage address = LoopbackAddress(false, port, length);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot connect");
  }
  return fd;
}

// Whatever arrives within the time (at least one byte), or throws.
inline std::string ReadSomeBytes(int fd, int timeoutMs = 5000) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) != 1) throw std::runtime_error("read timed out");
  char buffer[65536];
  const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
  if (n <= 0) throw std::runtime_error("peer closed");
  return std::string(buffer, static_cast<size_t>(n));
}

inline void SendRest(int fd, TzqMemoryStream& stream) {
  WriteAll(fd, std::string(reinterpret_cast<const char*>(stream.Memory()) + stream.Position(),
                           static_cast<size_t>(stream.Size() - stream.Position())));
  stream.Clear();
}

// Runs an engine's handshake over a socket, as the TLS stream would; returns the last result.
inline TzqTlsStepResult DriveHandshake(int fd, TzqTlsSspi& engine, TzqCertificateList& certificates, bool client) {
  TzqMemoryStream io;
  TzqTlsStepResult result = srAwaitingPeer;
  if (client) {
    result = engine.HandshakeStep(io, certificates, true);
    SendRest(fd, io);
  }
  for (int steps = 0; steps < 200; ++steps) {
    if (result == srNeedMoreData) {
      Append(io, ReadSomeBytes(fd));
    } else {
      io.Clear();
      Append(io, ReadSomeBytes(fd));
    }
    result = engine.HandshakeStep(io, certificates, true);
    if (result == srSendToken) {
      SendRest(fd, io);
    } else if (result == srOk && !client) {
      SendRest(fd, io);
      return result;
    } else if (result == srOk || result == srOkWithExtra) {
      TzqMemoryStream plain;
      if (result == srOkWithExtra) engine.Decrypt(io, plain, io);
      return result;
    }
  }
  throw std::runtime_error("handshake did not end");
}

inline std::string Seal(TzqTlsSspi& engine, const std::string& data) {
  TzqMemoryStream source(data), sealed;
  engine.Encrypt(source, sealed, source.Size());
  return sealed.DataString();
}

// Reads and decrypts until the peer closes the TLS session or the socket.
inline std::string OpenAll(int fd, TzqTlsSspi& engine) {
  TzqMemoryStream input, plain;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1) throw std::runtime_error("read timed out");
    char buffer[65536];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return plain.DataString();
    Append(input, std::string(buffer, static_cast<size_t>(n)));
    TzqTlsStepResult result = engine.Decrypt(input, plain, input);
    if (result == srClosed) return plain.DataString();
    if (result == srOk) input.Clear();
  }
}

// A server that speaks plain text first and then TLS through OpenSSL on the same socket.
class OpenSslSession {
public:
  OpenSslSession(int fd, const std::string& certificate) {
    const TlsCertificates& pki = TlsCertificates::Get();
    context_ = NewTlsServerContext(pki.File(certificate + ".pem"), pki.File(certificate + ".key"));
    ssl_ = SSL_new(context_.get());
    SSL_set_fd(ssl_, fd);
  }
  ~OpenSslSession() {
    SSL_free(ssl_);
    ERR_clear_error();
  }
  bool Accept() { return SSL_accept(ssl_) == 1; }
  std::string ReadLine() {
    std::string line;
    char c = 0;
    while (line.empty() || line.back() != '\n') {
      if (SSL_read(ssl_, &c, 1) != 1) throw std::runtime_error("TLS read failed");
      line += c;
    }
    return line;
  }
  void Write(const std::string& text) { SSL_write(ssl_, text.data(), static_cast<int>(text.size())); }
  // The records of text as they would go out, for the test to send in parts itself.
  std::string Seal(const std::string& text) {
    BIO* socket = SSL_get_wbio(ssl_);
    BIO_up_ref(socket);
    SSL_set0_wbio(ssl_, BIO_new(BIO_s_mem()));
    SSL_write(ssl_, text.data(), static_cast<int>(text.size()));
    char* data = nullptr;
    const long size = BIO_get_mem_data(SSL_get_wbio(ssl_), &data);
    std::string records(data, static_cast<size_t>(size > 0 ? size : 0));
    SSL_set0_wbio(ssl_, socket);
    return records;
  }
  // True when the peer ended with a close_notify, false when the socket simply closed.
  bool PeerSentCloseNotify() {
    char c = 0;
    int n = SSL_read(ssl_, &c, 1);
    return n <= 0 && SSL_get_error(ssl_, n) == SSL_ERROR_ZERO_RETURN;
  }

private:
  TlsServerContext context_;
  SSL* ssl_;
};

}  // namespace zq::test
