#include "tools/formhandler/zqTlsListener.h"

#include "net/zqIpAddress.h"

namespace zq {

void TzqTlsServerStream::AcceptFrom(TzqSocketHandle listener, int32_t family) {
  listener_ = listener;
  family_ = family;
  Accept();
}

void TzqTlsServerStream::Accept() {
  SetNeedClose(false);
  ClearPendingAction();
  BeforeAccept();
  const auto address = TzqIPAddress::CreateForFamily(family_);
  int length = address->SockAddrLength();
  const TzqSocketHandle accepted = winsock::accept(listener_, address->SockAddr(), &length);
  if (accepted == INVALID_SOCKET) RaiseSocketError(WSAGetLastError());
  RequireConnection().Socket().AssignHandle(accepted, family_);
  SetPeer(address->ToText(), address->GetPort());
}

TzqTlsServerConnection::TzqTlsServerConnection(TzqCertificate& certificate) {
  auto stream = std::make_unique<TzqTlsServerStream>();
  stream->GetCertificateCallback = [&certificate](TzqCertificate*& ACertificate, TzqCertificateList&, bool& Handled) {
    ACertificate = &certificate;
    Handled = true;
  };
  SetNetworkStream(std::move(stream));
}

TzqTlsServerStream& TzqTlsServerConnection::Stream() { return static_cast<TzqTlsServerStream&>(GetNetworkStream()); }

void TzqTlsServerConnection::Start() {
  if (winsock::WSAEventSelect(Socket().Handle(), &SocketEvent(), FD_READ | FD_WRITE | FD_CLOSE) == SOCKET_ERROR)
    RaiseSocketError(WSAGetLastError());
  SetActive(true);
  FinishStartUp();
}

TzqTlsListener::TzqTlsListener(const std::string& ip, int32_t port) {
  const auto address = TzqIPAddress::ParseAddress(ip);
  listening_.SetNetworkStream(std::make_unique<TzqNetworkStream>());
  listening_.CreateSocket(address->Family(), SOCK_STREAM, IPPROTO_TCP);
  // A handler restarted on its port does not wait for the last one's connections to time out.
  const int on = 1;
  winsock::setsockopt(Handle(), SOL_SOCKET_WS, SO_REUSEADDR_WS, &on, sizeof on);
  listening_.GetNetworkStream().Bind(*address, port);
  listening_.GetNetworkStream().Listen();
}

std::unique_ptr<TzqTlsServerConnection> TzqTlsListener::Accept(TzqCertificate& certificate) {
  auto connection = std::make_unique<TzqTlsServerConnection>(certificate);
  connection->Stream().AcceptFrom(Handle(), listening_.Socket().Family());
  return connection;
}

}  // namespace zq
