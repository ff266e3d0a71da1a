#include "tests/support/zqFaultPeer.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "tests/support/zqLoopback.h"

namespace zq::test {

namespace {

using Clock = std::chrono::steady_clock;

// A connection gets this long before the peer closes it whatever the script says, so a
// client that never gives up still sees an end.
constexpr auto kConnectionLife = std::chrono::seconds(15);
constexpr int kSliceMs = 5;
constexpr size_t kMaxHead = 64 * 1024;
constexpr size_t kFloodBatch = 64 * 1024;

// Thrown when the client went away or the peer is told to stop: the script just ends.
struct Gone {};

const std::string kGzipHeader("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
// A non-final stored deflate block of 65535 bytes: an endless run of them is valid gzip.
const std::string kStoredBlock = std::string("\x00\xff\xff\x00\x00", 5) + std::string(65535, 'z');
// A TLS handshake record of the largest size, and the first one announcing a 16 MiB message.
const std::string kHandshakeRecord = std::string("\x16\x03\x03\x40\x00", 5) + std::string(16384, '\0');
const std::string kHugeHelloRecord =
    std::string("\x16\x03\x03\x40\x00\x02\xff\xff\xff", 9) + std::string(16384 - 4, '\0');

FaultPeer::Playbook HttpPlaybook(FaultPhase phase) {
  const std::string ok = "HTTP/1.1 200 OK\r\n";
  const std::string chunked = ok + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n";
  switch (phase) {
    case FaultPhase::Accepted:
    case FaultPhase::Handshake:
      return {"", "", "A"};
    case FaultPhase::StatusLine:
      return {"HTTP/1.1 200 ", "", "A"};
    case FaultPhase::HeaderLine:
      return {ok + "Content-Length: 5\r\nX-A: b", "", "b"};
    case FaultPhase::HeaderFields:
      return {ok + "Content-Length: 5\r\n", "", "X-A: b\r\n"};
    case FaultPhase::LengthBody:
      return {ok + "Content-Length: 1073741824\r\n\r\nhel", "", "x"};
    case FaultPhase::ChunkedBody:
      return {chunked + "40000000\r\nab", "", "x"};
    case FaultPhase::GzipBody:
      return {
          ok + "Content-Encoding: gzip\r\nContent-Length: 1073741824\r\n\r\n" + kGzipHeader + kStoredBlock.substr(0, 7),
          kStoredBlock.substr(7), kStoredBlock};
    case FaultPhase::UntilClose:
      return {ok + "Connection: close\r\n\r\nabc", "", "x"};
    case FaultPhase::Trailer:
      return {chunked + "0\r\nX-T: 1\r\n", "", "X-T: 1\r\n"};
    case FaultPhase::Answered:
      return {ok + "Content-Length: 2\r\n\r\nok", "", "x"};
  }
  return {};
}

}  // namespace

const char* PhaseName(FaultPhase phase) {
  static const char* const names[] = {"accepted",      "handshake",   "status line",  "header line",
                                      "header fields", "length body", "chunked body", "gzip body",
                                      "until close",   "trailer",     "answered"};
  return names[static_cast<int>(phase)];
}

const char* FaultName(Fault fault) {
  static const char* const names[] = {"close", "reset", "stall", "drip", "flood"};
  return names[static_cast<int>(fault)];
}

// One accepted socket, non-blocking, in clear or through an SSL object; every wait gives way
// to the peer's stop and to the connection's life.
class FaultPeer::Connection {
public:
  Connection(int fd, const std::atomic<bool>& stop, std::atomic<int64_t>& sent)
      : fd_(fd), stop_(stop), sent_(sent), end_(Clock::now() + kConnectionLife) {
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    // Each send leaves at once: a drip is one byte a segment, and nothing waits to go out
    // when the script closes.
    const int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  ~Connection() {
    if (ssl_ != nullptr) SSL_free(ssl_);
    ERR_clear_error();
  }

  // Waits until one of events (or an error) is reported on the socket.
  void Wait(short events) {
    for (;;) {
      if (stop_ || Clock::now() > end_) throw Gone();
      pollfd p{fd_, events, 0};
      if (::poll(&p, 1, kSliceMs) == 1) return;
    }
  }

  void StartTls(SSL_CTX* context) {
    ssl_ = SSL_new(context);
    SSL_set_fd(ssl_, fd_);
    const auto end = Clock::now() + std::chrono::seconds(5);
    for (;;) {
      const int result = SSL_accept(ssl_);
      if (result == 1) return;
      if (Clock::now() > end) throw std::runtime_error("TLS accept timed out");
      WaitAfter(result, "TLS accept failed");
    }
  }

  // At least one byte, in clear.
  std::string ReadSome() {
    char buffer[16384];
    for (;;) {
      if (ssl_ != nullptr) {
        const int n = SSL_read(ssl_, buffer, sizeof buffer);
        if (n > 0) return std::string(buffer, static_cast<size_t>(n));
        WaitAfter(n, nullptr);
      } else {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n > 0) return std::string(buffer, static_cast<size_t>(n));
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) throw Gone();
        Wait(POLLIN);
      }
    }
  }

  // Exactly count bytes off the socket itself, TLS or not.
  std::string ReadRaw(size_t count) {
    std::string data;
    char buffer[16384];
    while (data.size() < count) {
      const ssize_t n = ::recv(fd_, buffer, std::min(sizeof buffer, count - data.size()), 0);
      if (n > 0) {
        data.append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        throw Gone();
      } else {
        Wait(POLLIN);
      }
    }
    return data;
  }

  void Send(const std::string& data) {
    if (data.empty()) return;
    if (ssl_ != nullptr) {
      for (;;) {
        const int n = SSL_write(ssl_, data.data(), static_cast<int>(data.size()));
        if (n > 0) break;
        WaitAfter(n, nullptr);
      }
      sent_ += static_cast<int64_t>(data.size());
      return;
    }
    for (size_t done = 0; done < data.size();) {
      const ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<size_t>(n);
        sent_ += n;
      } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
        throw Gone();
      } else {
        Wait(POLLOUT);
      }
    }
  }

  // Lets ms pass; when the client may still speak, what it sends is read, and its leaving ends
  // the wait early.
  void Pause(int ms, bool readAlong) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
      if (stop_ || Clock::now() > end_) throw Gone();
      pollfd p{fd_, static_cast<short>(readAlong ? POLLIN : 0), 0};
      if (::poll(&p, 1, kSliceMs) == 1 && readAlong) ReadSome();
    }
  }

  // Until the kernel has sent all that was written (a close with unread input would drop the rest).
  void Flush() {
    for (int waited = 0; waited < 1000; waited += kSliceMs) {
      int queued = 0;
      if (::ioctl(fd_, SIOCOUTQ, &queued) != 0 || queued == 0) return;
      Pause(kSliceMs, false);
    }
  }

  void Stall(bool readAlong) {
    for (;;) Pause(1000, readAlong);
  }

  // The next close sends RST instead of FIN.
  void ArmReset() {
    const linger now{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
  }

private:
  // After an SSL call that did not succeed: waits for what it wants, or ends.
  void WaitAfter(int result, const char* failure) {
    const int error = SSL_get_error(ssl_, result);
    if (error == SSL_ERROR_WANT_READ) return Wait(POLLIN);
    if (error == SSL_ERROR_WANT_WRITE) return Wait(POLLOUT);
    if (failure != nullptr) throw std::runtime_error(failure);
    throw Gone();
  }

  int fd_;
  SSL* ssl_ = nullptr;
  const std::atomic<bool>& stop_;
  std::atomic<int64_t>& sent_;
  Clock::time_point end_;
};

FaultPeer::FaultPeer(FaultScript script) : script_(std::move(script)) {
  const bool tls = !script_.certificateFile.empty();
  if (tls) context_ = NewTlsServerContext(script_.certificateFile, script_.keyFile);
  if (!tls && script_.phase == FaultPhase::Handshake) throw std::invalid_argument("a handshake fault needs TLS");
  listener_ = ListenOn(script_.ipv6, 0);
  if (listener_ < 0) throw std::runtime_error("cannot listen on loopback");
  port_ = LocalPort(listener_);
  thread_ = std::thread([this] { Run(); });
}

FaultPeer::~FaultPeer() {
  stop_ = true;
  thread_.join();
  ::close(listener_);
}

std::string FaultPeer::Url(const std::string& path) const {
  const char* scheme = context_ ? "https" : "http";
  const char* host = script_.ipv6 ? "[::1]" : "127.0.0.1";
  return std::string(scheme) + "://" + host + ":" + std::to_string(port_) + path;
}

std::string FaultPeer::Received() {
  std::lock_guard<std::mutex> guard(lock_);
  return received_;
}

std::string FaultPeer::Errors() {
  std::lock_guard<std::mutex> guard(lock_);
  return errors_;
}

void FaultPeer::Keep(const std::string& bytes) {
  std::lock_guard<std::mutex> guard(lock_);
  received_ += bytes;
}

void FaultPeer::Run() {
  // OpenSSL writes with send() without MSG_NOSIGNAL: a client that went away must end the
  // script, not the test program.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  while (!stop_) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, kSliceMs) != 1) continue;
    const int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) continue;
    ++accepted_;
    Serve(fd);
    ::close(fd);
  }
}

void FaultPeer::Serve(int fd) {
  try {
    Connection connection(fd, stop_, sent_);
    Play(connection);
  } catch (const Gone&) {
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> guard(lock_);
    errors_ += e.what();
    errors_ += "\n";
  }
}

void FaultPeer::Play(Connection& connection) {
  if (script_.phase == FaultPhase::Handshake) {
    Playbook play = HandshakePlaybook(connection);
    if (script_.fault == Fault::Flood) play = {"", kHugeHelloRecord, kHandshakeRecord};
    return Strike(connection, play, false);  // what the client sends next would be TLS records
  }
  if (script_.phase != FaultPhase::Accepted) {
    if (context_) connection.StartTls(context_.get());
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos) {
      if (head.size() > kMaxHead) throw std::runtime_error("request head without end");
      head += connection.ReadSome();
    }
    Keep(head);
    if (script_.upload != UploadFault::None) return PlayUpload(connection, head);
  }
  Strike(connection, HttpPlaybook(script_.phase), true);
}

// The server's first flight as OpenSSL makes it for the client's ClientHello, cut in half.
FaultPeer::Playbook FaultPeer::HandshakePlaybook(Connection& connection) {
  const std::string header = connection.ReadRaw(5);
  const std::string hello =
      header + connection.ReadRaw(static_cast<uint8_t>(header[3]) * 256u + static_cast<uint8_t>(header[4]));
  Keep(hello);
  SSL* ssl = SSL_new(context_.get());
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  SSL_set_bio(ssl, in, out);
  BIO_write(in, hello.data(), static_cast<int>(hello.size()));
  SSL_accept(ssl);
  char* data = nullptr;
  const long size = BIO_get_mem_data(out, &data);
  const std::string flight(data, static_cast<size_t>(size > 0 ? size : 0));
  SSL_free(ssl);
  ERR_clear_error();
  if (flight.size() < 2) throw std::runtime_error("no server flight for the ClientHello");
  return {flight.substr(0, flight.size() / 2), flight.substr(flight.size() / 2), ""};
}

void FaultPeer::Strike(Connection& connection, const Playbook& play, bool readAlong) {
  connection.Send(play.prefix);
  switch (script_.fault) {
    case Fault::Close:
      return;
    case Fault::Reset:
      connection.Flush();  // what was sent reaches the client ahead of the reset
      return connection.ArmReset();
    case Fault::Stall:
      return connection.Stall(readAlong);
    case Fault::Drip:
      for (const char c : play.rest) {
        connection.Pause(script_.dripMs, readAlong);
        connection.Send(std::string(1, c));
      }
      if (play.period.empty()) return connection.Stall(readAlong);
      for (size_t at = 0;; at = (at + 1) % play.period.size()) {
        connection.Pause(script_.dripMs, readAlong);
        connection.Send(play.period.substr(at, 1));
      }
    case Fault::Flood: {
      connection.Send(play.rest);
      if (play.period.empty()) return connection.Stall(readAlong);
      std::string batch;
      while (batch.size() < kFloodBatch) batch += play.period;
      for (;;) connection.Send(batch);
    }
  }
}

void FaultPeer::PlayUpload(Connection& connection, const std::string& head) {
  if (script_.upload == UploadFault::EarlyReject) {
    connection.Send("HTTP/1.1 413 Payload Too Large\r\nConnection: close\r\nContent-Length: 9\r\n\r\ntoo large");
    connection.Flush();
    return;  // closed with the body unread: the client's side sees a reset
  }
  // A little of the body, then the client's send buffer fills and stays full.
  size_t body = head.size() - head.find("\r\n\r\n") - 4;
  while (body < 64 * 1024) {
    const std::string more = connection.ReadSome();
    Keep(more);
    body += more.size();
  }
  connection.Stall(false);
}

}  // namespace zq::test
