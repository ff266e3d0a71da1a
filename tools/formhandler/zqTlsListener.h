#pragma once
// The server side of the library as the demo form handler uses it: a socket that stays
// listening (the library's listening stream), and TLS connections accepted from it whose
// server sessions (TzqTlsServerSspi) run inside the connection's ordinary read and write loops.
//
// The library's Accept makes the connection's own listening socket the accepted one, which
// suits a server of one client; a server that goes on listening accepts into a fresh
// connection from the socket it keeps, which is what this stream adds.

#include <cstdint>
#include <memory>
#include <string>

#include "net/zqSocket.h"
#include "tls/zqTlsStream.h"

namespace zq {

class TzqTlsServerStream : public TzqTlsNetworkStream {
public:
  std::string ClassName() const override { return "TzqTlsServerStream"; }

  // Accepts from the listener set by AcceptFrom; the listener stays open.
  void Accept() override;
  void AcceptFrom(TzqSocketHandle listener, int32_t family);

private:
  TzqSocketHandle listener_ = INVALID_SOCKET;
  int32_t family_ = 0;
};

class TzqTlsServerConnection : public TzqTcpConnection {
public:
  // certificate (with its private key) must outlive the connection.
  explicit TzqTlsServerConnection(TzqCertificate& certificate);
  std::string ClassName() const override { return "TzqTlsServerConnection"; }

  TzqTlsServerStream& Stream();
  // Watches the accepted socket and runs the TLS handshake; raises when it fails.
  void Start();
};

class TzqTlsListener {
public:
  // Listens on a numeric address; port 0 takes any free port.
  TzqTlsListener(const std::string& ip, int32_t port);

  TzqSocketHandle Handle() { return listening_.Socket().Handle(); }
  int32_t Port() const { return listening_.LocalPort(); }
  // Takes one waiting client (raises 10035 when none is waiting); the handshake runs on Start.
  std::unique_ptr<TzqTlsServerConnection> Accept(TzqCertificate& certificate);

private:
  TzqTcpConnection listening_;
};

}  // namespace zq
