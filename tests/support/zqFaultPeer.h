#pragma once
// A server on loopback that answers each connection with a response broken at a chosen phase
// by a chosen fault, in plain TCP or in TLS, on its own thread. It keeps what it read, and its
// destructor stops whatever it is doing (a stall, a drip, a flood) within a few milliseconds.

#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "tests/support/zqTlsServerContext.h"

namespace zq::test {

// Where the response breaks. Handshake: a TLS handshake cut after the ClientHello was read;
// the others come after the request head was read, inside the TLS session when there is one.
enum class FaultPhase {
  Accepted,      // before anything is read or sent
  Handshake,     // part of the server's first flight sent
  StatusLine,    // "HTTP/1.1 200 " sent
  HeaderLine,    // inside a header field
  HeaderFields,  // after whole header fields
  LengthBody,    // inside a body of an announced length
  ChunkedBody,   // inside a chunk of an announced size
  GzipBody,      // inside a gzip body of an announced length
  UntilClose,    // inside a body that ends when the connection does
  Trailer,       // inside the trailer of a chunked body
  Answered,      // after a whole response: "ok" by its length
};

// What strikes there. Drip and Flood go on with what the phase needs and never end it:
// a header line or reason phrase that never ends, fields without end, body bytes that never
// reach the announced size.
enum class Fault {
  Close,  // FIN
  Reset,  // RST: SO_LINGER 0, then close
  Stall,  // the socket stays open and silent
  Drip,   // one byte every DripMs
  Flood,  // as fast as the client takes it
};

// Request bodies the peer declines to take, whatever the phase and fault say.
enum class UploadFault {
  None,
  StopReading,  // reads the head and a little of the body, then nothing
  EarlyReject,  // answers 413 with Connection: close after the head, then closes unread
};

struct FaultScript {
  FaultPhase phase = FaultPhase::Accepted;
  Fault fault = Fault::Close;
  UploadFault upload = UploadFault::None;
  int dripMs = 20;
  bool ipv6 = false;
  // Both set: each connection is TLS, with this certificate and key (PEM files).
  std::string certificateFile;
  std::string keyFile;
};

const char* PhaseName(FaultPhase phase);
const char* FaultName(Fault fault);

class FaultPeer {
public:
  explicit FaultPeer(FaultScript script);
  ~FaultPeer();
  FaultPeer(const FaultPeer&) = delete;
  FaultPeer& operator=(const FaultPeer&) = delete;

  int Port() const { return port_; }
  // http or https, to the loopback address listened on, and path.
  std::string Url(const std::string& path = "/") const;
  int Accepted() const { return accepted_; }
  // The request bytes read, decrypted, over all connections.
  std::string Received();
  // What went wrong on the peer's side other than the client going away.
  std::string Errors();
  // The response bytes the client took (sent before the fault, then by drip or flood).
  int64_t Sent() const { return sent_; }

  // The bytes sent before the fault; then, for a drip or a flood, rest once and period over and
  // over (nothing more when period is empty).
  struct Playbook {
    std::string prefix;
    std::string rest;
    std::string period;
  };

private:
  class Connection;
  void Run();
  void Serve(int fd);
  void Play(Connection& connection);
  Playbook HandshakePlaybook(Connection& connection);
  void Strike(Connection& connection, const Playbook& play, bool readAlong);
  void PlayUpload(Connection& connection, const std::string& head);
  void Keep(const std::string& bytes);

  FaultScript script_;
  TlsServerContext context_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::atomic<int64_t> sent_{0};
  std::mutex lock_;
  std::string received_;
  std::string errors_;
  std::thread thread_;
};

}  // namespace zq::test
