#include "net/zqSocket.h"

#include <netinet/in.h>

#include <algorithm>

#include "codec/zqTranslator.h"
#include "core/zqSystem.h"
#include "core/zqText.h"
#include "platform/zqMessagePump.h"

namespace zq {

namespace {

bool IsConnectionLevelError(int error) { return error >= WSAENETDOWN && error <= WSAECONNRESET; }

[[noreturn]] void RaiseNotActive() { RaiseSocketMessage(sConnectionNotActive, kConnectionNotActiveCode); }

void RaiseEventError(const TzqNetworkEvents& events, int bit) {
  if (events.iErrorCode[bit] != 0) RaiseSocketError(events.iErrorCode[bit]);
}

bool HasUnsent(TzqStream* stream) { return stream != nullptr && stream->Position() < stream->Size(); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// TzqConnection

TzqConnection::TzqConnection() : socket_(std::make_unique<TzqSocket>()) {}

TzqConnection::~TzqConnection() {
  try {
    Close(false);
  } catch (...) {
  }
  try {
    CloseSocket();
  } catch (...) {
  }
  ReleaseResources();
}

bool TzqConnection::IsClosed() { return networkStream_ && networkStream_->NeedClose(); }

void TzqConnection::ReleaseResources() {
  socket_.reset();
  networkStream_.reset();
}

void TzqConnection::DoProgress(int64_t done, int64_t total) {
  if (OnProgress) OnProgress(this, done, total);
}

void TzqConnection::DoReady() {
  if (OnReady) OnReady(this);
}

void TzqConnection::SetActive(bool value) { active_ = value; }

void TzqConnection::Close(bool notifyPeer) {
  try {
    BeforeClose(notifyPeer);
  } catch (...) {
    CloseSocket();
    throw;
  }
  // A close exchange the stream still runs (TLS) keeps the socket open.
  if (!(notifyPeer && active_ && networkStream_ && networkStream_->PendingAction() != kPendingNone)) CloseSocket();
}

void TzqConnection::BeforeClose(bool notifyPeer) {
  if (!active_ || !networkStream_) return;
  networkStream_->PrepareClose(notifyPeer);
  if (notifyPeer) PerformPendingAction();
}

void TzqConnection::PerformPendingAction() {}

void TzqConnection::Abort() { aborted_ = true; }

TzqNetworkStream& TzqConnection::GetNetworkStream() const {
  if (!networkStream_) RaiseSocketMessage(sNetworkStreamRequired, kNetworkStreamRequiredCode);
  return *networkStream_;
}

void TzqConnection::SetNetworkStream(std::unique_ptr<TzqNetworkStream> stream) {
  if (stream == networkStream_) return;
  if (stream && networkStream_) stream->AssignFrom(*networkStream_);
  networkStream_ = std::move(stream);
  if (networkStream_) networkStream_->SetConnection(this);
}

void TzqConnection::CloseSocket() {
  if (active_ && networkStream_) networkStream_->Disconnected();
  SetActive(false);
  if (socket_) socket_->CloseSocket();
}

bool TzqConnection::IsPeerClosedGracefully() const { return networkStream_ && networkStream_->ZeroRead(); }

void TzqConnection::InitProgress(int64_t done, int64_t total) {
  progressDone_ = done;
  if (networkStream_) networkStream_->ResetCounter();
  progressTotal_ = total;
}

void TzqConnection::AddProgress(int64_t n) {
  progressDone_ += n;
  DoProgress(progressDone_, progressTotal_);
}

void TzqConnection::CloseIfClosed() {
  if (IsClosed()) Close(false);
}

void TzqConnection::CreateSocket(int32_t family, int type, int protocol) {
  aborted_ = false;
  // A socket left from an earlier connection is not leaked.
  if (socket_->Handle() != INVALID_SOCKET) socket_->CloseSocket();
  const TzqSocketHandle handle = winsock::socket(family, type, protocol);
  if (handle == INVALID_SOCKET) RaiseSocketError(WSAGetLastError());
  socket_->AssignHandle(handle, family);
}

void TzqConnection::WriteText(const std::string& text, const std::string& charset) {
  TzqMemoryStream data;
  if (!text.empty()) data.WriteBytes(TzqTranslator::TextToBytes(text, charset));
  data.SetPosition(0);
  WriteData(&data);
}

void TzqConnection::SetLocal(const std::string& ip, int32_t port) {
  localIP_ = ip;
  localPort_ = port;
}

void TzqConnection::SetPeer(const std::string& ip, int32_t port) {
  peerIP_ = ip;
  peerPort_ = port;
}

// ---------------------------------------------------------------------------------------------
// TzqSyncConnection

TzqSyncConnection::TzqSyncConnection()
    : socketEvent_(std::make_unique<TzqSocketEvent>()), abortEvent_(std::make_unique<TzqEvent>(false, false)) {}

void TzqSyncConnection::ReleaseResources() {
  TzqConnection::ReleaseResources();
  socketEvent_.reset();
  abortEvent_.reset();
}

void TzqSyncConnection::Abort() {
  TzqConnection::Abort();
  abortEvent_->Set();
}

bool TzqSyncConnection::WaitForEvent(int32_t timeOut) {
  uint64_t start = lastActivityTick_;
  if (deadline_ != 0) {
    // Whichever comes first, the time-out since the last progress or the deadline, ends the wait.
    const uint64_t now = GetTickCount64();
    const uint64_t left = deadline_ > now ? deadline_ - now : 0;
    const bool idleFirst = timeOut >= 0 && start + static_cast<uint64_t>(timeOut) <= deadline_;
    if (!idleFirst) {
      start = now;
      timeOut = static_cast<int32_t>(std::min<uint64_t>(left, INT32_MAX));
    }
  }
  return WaitForSocketEvent(socketEvent_.get(), abortEvent_.get(), start, DisableGuiProcessing(), timeOut);
}

TzqNetworkEvents TzqSyncConnection::EnumEvents() {
  TzqNetworkEvents events;
  if (winsock::WSAEnumNetworkEvents(Socket().Handle(), socketEvent_.get(), &events) == SOCKET_ERROR)
    RaiseSocketError(WSAGetLastError());
  return events;
}

void TzqSyncConnection::Touch() { lastActivityTick_ = GetTickCount64(); }

// ---------------------------------------------------------------------------------------------
// TzqTcpConnection

bool TzqTcpConnection::InputWaiting() {
  if (!Active() || peerClosed_ || pendingReset_ != 0) return true;
  if (GetNetworkStream().NeedClose()) return true;
  return (EnumEvents().lNetworkEvents & (FD_READ | FD_CLOSE)) != 0;
}

bool TzqTcpConnection::IsClosed() { return peerClosed_ || TzqSyncConnection::IsClosed(); }

void TzqTcpConnection::SetActive(bool value) {
  TzqSyncConnection::SetActive(value);
  if (value) {
    peerClosed_ = false;
    pendingReset_ = 0;
  }
}

void TzqTcpConnection::ReadLoop(TzqNetworkStream& ns, TzqStream* stream) {
  for (;;) {
    if (!Active()) RaiseSocketError(WSAENOTSOCK);
    if (ns.NeedClose()) return;
    if (WaitForEvent(TimeOut())) {
      const TzqNetworkEvents events = EnumEvents();
      if (events.lNetworkEvents & FD_CLOSE) {
        const int error = events.iErrorCode[FD_CLOSE_BIT];
        if (error != 0 && (events.lNetworkEvents & FD_READ) && stream != nullptr) {
          // Bytes that came before a reset are the peer's last words: they are delivered, and
          // the reset is raised at the next read.
          pendingReset_ = error;
        } else {
          // The peer is gone either way; with an error the connection closes before it is raised.
          peerClosed_ = true;
          RaiseEventError(events, FD_CLOSE_BIT);
        }
      }
      if (events.lNetworkEvents & FD_READ) {
        RaiseEventError(events, FD_READ_BIT);
        ns.ReadToStream(stream);
        if (ns.ZeroRead() && pendingReset_ == 0) peerClosed_ = true;
        if (pendingReset_ != 0) return;
        if (!readUntilClosed_) return;
        Touch();
      }
      if (peerClosed_) return;
    }
    if (ns.IsOperationComplete()) return;
  }
}

void TzqTcpConnection::ReadPass(TzqStream* stream) {
  Touch();
  TzqNetworkStream& ns = GetNetworkStream();
  if (pendingReset_ != 0) {
    const int error = pendingReset_;
    pendingReset_ = 0;
    peerClosed_ = true;
    if (!deferPeerClose_) Close(false);
    RaiseSocketError(error);
  }
  try {
    bool finished = false;
    if (ns.HasReadData()) {
      ns.SetHasReadData(false);
      const int64_t before = ProgressDone();
      ns.ReadToStream(stream);
      // A read that met the peer's close has seen what FD_CLOSE would report.
      if (ns.ZeroRead()) peerClosed_ = true;
      if (ns.NeedClose()) {
        finished = true;
      } else if (stream != nullptr && ProgressDone() == before && Active()) {
        // Nothing was there after all: wait for it rather than return empty-handed.
      } else if (!readUntilClosed_ || !Active()) {
        if (!Active()) ns.ClearPendingAction();
        finished = true;
      }
    }
    if (!finished) ReadLoop(ns, stream);
  } catch (...) {
    if (IsClosed() && !deferPeerClose_) Close(false);
    throw;
  }
  if (IsClosed() && !deferPeerClose_ && pendingReset_ == 0) Close(false);
}

bool TzqTcpConnection::ServePendingUntil(uint8_t again) {
  TzqNetworkStream* ns = NetworkStream();
  while (ns != nullptr && ns->PendingAction() != kPendingNone && ns->PendingAction() != again) {
    if (again == kPendingRead)
      WriteData(nullptr);
    else
      ReadData(nullptr);
    ns = NetworkStream();
  }
  return ns != nullptr && ns->PendingAction() == again;
}

void TzqTcpConnection::ReadData(TzqStream* stream) {
  do {
    ReadPass(stream);
  } while (ServePendingUntil(kPendingRead));
}

void TzqTcpConnection::CloseAfterPeerClose(TzqStream* stream) {
  if (!deferPeerClose_) Close(false);
  // Bytes that can no longer reach the peer are a failure, not a completed write.
  if (HasUnsent(stream)) RaiseSocketError(WSAECONNABORTED);
}

void TzqTcpConnection::WritePass(TzqStream* stream) {
  Touch();
  if (!Active()) RaiseSocketError(WSAENOTSOCK);
  TzqNetworkStream& ns = GetNetworkStream();
  if (ns.NeedClose()) return CloseAfterPeerClose(stream);
  try {
    if (ns.WriteFromStream(stream)) return;
    for (;;) {
      if (WaitForEvent(TimeOut())) {
        const TzqNetworkEvents events = EnumEvents();
        if (events.lNetworkEvents & FD_READ) {
          RaiseEventError(events, FD_READ_BIT);
          ns.SetHasReadData(true);
        }
        if (events.lNetworkEvents & FD_WRITE) {
          RaiseEventError(events, FD_WRITE_BIT);
          Touch();
          if (ns.WriteFromStream(stream)) return;
        }
        if (events.lNetworkEvents & FD_CLOSE) {
          ns.SetNeedClose(true);
          RaiseEventError(events, FD_CLOSE_BIT);
          return CloseAfterPeerClose(stream);
        }
      }
      if (ns.NeedClose()) return CloseAfterPeerClose(stream);
      if (ns.IsOperationComplete()) return;
    }
  } catch (...) {
    // Deferred, what the peer sent before it went away stays readable.
    if (ns.NeedClose() && !deferPeerClose_) Close(false);
    throw;
  }
}

void TzqTcpConnection::WriteData(TzqStream* stream) {
  WritePass(stream);
  // Further writes the stream asks for carry only its own pending data.
  while (ServePendingUntil(kPendingWrite)) WritePass(nullptr);
}

void TzqTcpConnection::PerformPendingAction() {
  TzqNetworkStream* ns = NetworkStream();
  if (ns == nullptr) return;
  if (ns->PendingAction() == kPendingRead)
    ReadData(nullptr);
  else if (ns->PendingAction() == kPendingWrite)
    WriteData(nullptr);
}

TzqTcpConnection::TzqReadUntilClosedPause::TzqReadUntilClosedPause(TzqTcpConnection& connection)
    : connection_(connection), saved_(connection.readUntilClosed_) {
  connection_.readUntilClosed_ = false;
}

void TzqTcpConnection::TzqReadUntilClosedPause::Restore() { connection_.readUntilClosed_ = saved_; }

// A peer that hung up during a start-up (a SOCKS reply, a TLS handshake) aborted the
// connection, whether its close came with the last bytes or after them.
void TzqTcpConnection::RaiseStartUpEnded() {
  if (peerClosed_) RaiseSocketError(WSAECONNABORTED);
  RaiseNotActive();
}

void TzqTcpConnection::FinishStartUp() {
  PerformPendingAction();
  if (!Active()) RaiseStartUpEnded();
  GetNetworkStream().UpdateLocalAddress();
  GetNetworkStream().NotifyReady();
}

void TzqTcpConnection::ReopenStream() {
  if (!Active()) RaiseNotActive();
  TzqReadUntilClosedPause pause(*this);
  GetNetworkStream().BeforeConnect();
  if (Aborted()) {
    Close(false);
    RaiseNotActive();
  }
  PerformPendingAction();
  if (!Active()) RaiseStartUpEnded();
  GetNetworkStream().NotifyReady();
  pause.Restore();
}

// ---------------------------------------------------------------------------------------------
// TzqTcpClientConnection

void TzqTcpClientConnection::WaitForConnect() {
  Touch();
  const int32_t timeOut = connectTimeOut_ != 0 ? connectTimeOut_ : TimeOut();
  while (!Aborted()) {
    if (!WaitForEvent(timeOut)) continue;
    const TzqNetworkEvents events = EnumEvents();
    if (events.lNetworkEvents & FD_CONNECT) {
      RaiseEventError(events, FD_CONNECT_BIT);
      return;
    }
  }
}

void TzqTcpClientConnection::OpenConnection(const std::string& ip, int32_t port) {
  const std::unique_ptr<TzqIPAddress> address = TzqIPAddress::ParseAddress(ip);
  TzqReadUntilClosedPause pause(*this);
  TzqNetworkStream& ns = GetNetworkStream();
  CreateSocket(address->Family(), SOCK_STREAM, IPPROTO_TCP);
  if (winsock::WSAEventSelect(Socket().Handle(), &SocketEvent(), FD_CONNECT) == SOCKET_ERROR)
    RaiseSocketError(WSAGetLastError());
  const std::string binding = Trim(LocalBinding());
  if (!binding.empty()) {
    const auto local = TzqIPAddress::CreateAddress(binding, address->Family());
    ns.Bind(*local, 0);
  }
  if (!ns.Connect(*address, port)) WaitForConnect();
  if (winsock::WSAEventSelect(Socket().Handle(), &SocketEvent(), FD_READ | FD_WRITE | FD_CLOSE) == SOCKET_ERROR)
    RaiseSocketError(WSAGetLastError());
  if (Aborted()) {
    // An aborted connect leaves no connection, and says so.
    Close(false);
    RaiseNotActive();
  }
  SetActive(true);
  FinishStartUp();
  pause.Restore();
}

// ---------------------------------------------------------------------------------------------
// TzqNetworkStream

TzqNetworkStream::TzqNetworkStream() : sleepEvent_(std::make_unique<TzqEvent>(false, false)) {}

TzqNetworkStream::~TzqNetworkStream() = default;

TzqConnection& TzqNetworkStream::RequireConnection() const {
  if (connection_ == nullptr) RaiseSocketMessage(sConnectionNotActive, kConnectionNotActiveCode);
  return *connection_;
}

TzqSocketHandle TzqNetworkStream::SocketHandle() const { return RequireConnection().Socket().Handle(); }

int32_t TzqNetworkStream::GetBatchSize() {
  TzqConnection& connection = RequireConnection();
  int32_t result = connection.BatchSize();
  if (result < 1) RaiseSocketMessage(sInvalidBatchSize, kInvalidBatchSizeCode);
  if (connection.LargeBatches() && connection.BitsPerSec() <= 0) result = std::max(result, kLargeBatchSize);
  const int64_t limit = connection.ReadLimit();
  if (limit >= 0 && limit >= byteCounter_)
    result = static_cast<int32_t>(std::min<int64_t>(result, limit - byteCounter_));
  return result;
}

void TzqNetworkStream::SetConnection(TzqConnection* connection) { connection_ = connection; }

void TzqNetworkStream::AssignFrom(const TzqNetworkStream& other) {
  peerIP_ = other.peerIP_;
  peerPort_ = other.peerPort_;
  localIP_ = other.localIP_;
  localPort_ = other.localPort_;
  hasReadData_ = other.hasReadData_;
}

bool TzqNetworkStream::Connect(TzqIPAddress& address, int32_t port) {
  needClose_ = false;
  ClearPendingAction();
  BeforeConnect();
  address.SetPort(port);
  const int result = winsock::connect(SocketHandle(), address.SockAddr(), address.SockAddrLength());
  if (result == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) RaiseSocketError(WSAGetLastError());
  SetPeer(address.ToText(), port);
  return result == 0;
}

void TzqNetworkStream::ReadLocalAddress(int32_t family) {
  const auto address = TzqIPAddress::CreateForFamily(family);
  int length = address->SockAddrLength();
  if (winsock::getsockname(SocketHandle(), address->SockAddr(), &length) == SOCKET_ERROR)
    RaiseSocketError(WSAGetLastError());
  SetLocal(address->ToText(), address->GetPort());
}

void TzqNetworkStream::UpdateLocalAddress() {
  TzqConnection& connection = RequireConnection();
  if (connection.Active()) ReadLocalAddress(connection.Socket().Family());
}

void TzqNetworkStream::Bind(TzqIPAddress& address, int32_t port) {
  address.SetPort(port);
  if (winsock::bind(SocketHandle(), address.SockAddr(), address.SockAddrLength()) == SOCKET_ERROR)
    RaiseSocketError(WSAGetLastError());
}

void TzqNetworkStream::BindRange(TzqIPAddress& address, int32_t firstPort, int32_t lastPort) {
  if (firstPort < 1 || lastPort < firstPort) RaiseSocketMessage(sInvalidPort, kInvalidPortCode);
  for (int32_t port = firstPort; port <= lastPort; ++port) {
    address.SetPort(port);
    if (winsock::bind(SocketHandle(), address.SockAddr(), address.SockAddrLength()) != SOCKET_ERROR) return;
    const int error = WSAGetLastError();
    if ((error != WSAEADDRINUSE && error != WSAEACCES) || port == lastPort) RaiseSocketError(error);
  }
}

void TzqNetworkStream::EnableBroadcast() {
  if (RequireConnection().Socket().Family() == kAfInet6)
    RaiseSocketMessage(sInvalidAddressFamily, kInvalidAddressFamilyCode);
  const int on = 1;
  if (winsock::setsockopt(SocketHandle(), SOL_SOCKET_WS, SO_BROADCAST_WS, &on, sizeof on) == SOCKET_ERROR)
    RaiseSocketError(WSAGetLastError());
}

void TzqNetworkStream::Listen() {
  needClose_ = false;
  ClearPendingAction();
  unsigned long nonBlocking = 1;
  if (winsock::ioctlsocket(SocketHandle(), FIONBIO_WS, &nonBlocking) == SOCKET_ERROR)
    RaiseSocketError(WSAGetLastError());
  if (winsock::listen(SocketHandle(), 1) == SOCKET_ERROR) RaiseSocketError(WSAGetLastError());
  ReadLocalAddress(RequireConnection().Socket().Family());
}

void TzqNetworkStream::Accept() {
  needClose_ = false;
  ClearPendingAction();
  BeforeAccept();
  TzqSocket& socket = RequireConnection().Socket();
  const int32_t family = socket.Family();
  const auto address = TzqIPAddress::CreateForFamily(family);
  int length = address->SockAddrLength();
  const TzqSocketHandle accepted = winsock::accept(socket.Handle(), address->SockAddr(), &length);
  if (accepted == INVALID_SOCKET) RaiseSocketError(WSAGetLastError());
  // The listening socket is closed rather than leaked when the accepted one takes its place.
  winsock::closesocket(socket.Handle());
  socket.AssignHandle(accepted, family);
  SetPeer(address->ToText(), address->GetPort());
}

void TzqNetworkStream::PrepareClose(bool) { ClearPendingAction(); }

void TzqNetworkStream::Disconnected() {}

void TzqNetworkStream::NotifyReady() { RequireConnection().DoReady(); }

bool TzqNetworkStream::ReadToStream(TzqStream* stream) { return ReceiveInto(stream, -1); }

bool TzqNetworkStream::ReceiveInto(TzqStream* stream, int64_t most) {
  ClearPendingAction();
  zeroRead_ = false;
  if (stream == nullptr) return true;
  // A caller with a limit knows what it waits for: a short piece has emptied the socket, and
  // asking again would only hear "would block". Without one, the loop goes on to see a close.
  const bool stopShort = RequireConnection().ReadLimit() >= 0;
  int received = 0;
  int32_t size = 0;
  int64_t total = 0;
  do {
    size = GetReadBatchSize();
    if (most >= 0) size = static_cast<int32_t>(std::min<int64_t>(size, most - total));
    if (size < 1) return true;
    uint8_t* buffer = readBuffer_.Reserve(static_cast<size_t>(size));
    received = ReceiveRaw(buffer, size);
    if (received == SOCKET_ERROR) {
      const int error = WSAGetLastError();
      if (error == WSAEWOULDBLOCK) return false;
      if (IsConnectionLevelError(error)) needClose_ = true;
      RaiseSocketError(error);
    }
    if (received > 0) {
      stream->WriteBuffer(buffer, received);
      AddBytes(received);
      total += received;
    } else {
      needClose_ = true;
      zeroRead_ = true;
    }
  } while (received > 0 && (received == size || !stopShort) && !IsOperationComplete());
  // A full piece cut by the limit may have left more behind: the next read tries before it waits.
  if (received == size && IsLimitReached()) hasReadData_ = true;
  return true;
}

bool TzqNetworkStream::WriteFromStream(TzqStream* stream) {
  if (stream == nullptr || stream->Position() >= stream->Size()) return true;
  return WriteBytes(stream, -1);
}

bool TzqNetworkStream::WriteBytes(TzqStream* stream, int64_t count) {
  if (count == 0 || stream == nullptr) return true;
  const int64_t remaining = stream->Size() - stream->Position();
  if (remaining <= 0) return true;
  if (count < 0 || count > remaining) count = remaining;
  const int32_t batch = GetWriteBatchSize();
  if (batch < 1) return true;
  uint8_t* buffer = writeBuffer_.Reserve(static_cast<size_t>(batch));
  int64_t sent = 0;
  for (;;) {
    const int length = static_cast<int>(stream->Read(buffer, std::min<int64_t>(batch, count - sent)));
    if (length <= 0) return true;
    const int result = SendRaw(buffer, length);
    if (result == SOCKET_ERROR) {
      const int error = WSAGetLastError();
      if (error == WSAEWOULDBLOCK) {
        stream->Seek(-length, soCurrent);
        return false;
      }
      if (IsConnectionLevelError(error)) needClose_ = true;
      RaiseSocketError(error);
    }
    if (result < length) stream->Seek(result - length, soCurrent);
    AddBytes(result);
    sent += result;
    if (sent >= count || IsOperationComplete()) return true;
  }
}

bool TzqNetworkStream::ReceiveFrom(TzqByteArray& buffer, TzqIPAddress& address, int32_t& port) {
  const int32_t size = GetReadBatchSize();
  if (size < 1) return true;
  std::vector<uint8_t> datagram(static_cast<size_t>(size));
  int length = address.SockAddrLength();
  const int received = winsock::recvfrom(SocketHandle(), datagram.data(), size, 0, address.SockAddr(), &length);
  BandwidthPause(size);
  if (received == SOCKET_ERROR) {
    if (WSAGetLastError() == WSAEWOULDBLOCK) return false;
    RaiseSocketError(WSAGetLastError());
  }
  buffer.insert(buffer.end(), datagram.begin(), datagram.begin() + received);
  AddBytes(received);
  SetPeer(address.ToText(), address.GetPort());
  port = address.GetPort();
  return true;
}

bool TzqNetworkStream::SendTo(TzqStream* stream, TzqIPAddress& address, int32_t port) {
  if (stream == nullptr || stream->Position() >= stream->Size()) return true;
  const int32_t size = GetWriteBatchSize();
  if (size < 1) return true;
  std::vector<uint8_t> datagram(static_cast<size_t>(size));
  const int length = static_cast<int>(stream->Read(datagram.data(), size));
  address.SetPort(port);
  const int sent =
      winsock::sendto(SocketHandle(), datagram.data(), length, 0, address.SockAddr(), address.SockAddrLength());
  BandwidthPause(size);
  if (sent == SOCKET_ERROR) {
    stream->Seek(-length, soCurrent);
    if (WSAGetLastError() == WSAEWOULDBLOCK) return false;
    RaiseSocketError(WSAGetLastError());
  }
  if (sent < length) stream->Seek(sent - length, soCurrent);
  AddBytes(sent);
  return true;
}

int TzqNetworkStream::ReceiveRaw(void* buffer, int size) {
  const int result = winsock::recv(SocketHandle(), buffer, size, 0);
  BandwidthPause(size);
  return result;
}

int TzqNetworkStream::SendRaw(const void* buffer, int size) {
  const int result = winsock::send(SocketHandle(), buffer, size, 0);
  BandwidthPause(size);
  return result;
}

void TzqNetworkStream::BandwidthPause(int size) {
  TzqConnection& connection = RequireConnection();
  if (connection.BitsPerSec() <= 0) return;
  const int savedError = WSAGetLastError();
  const uint64_t pause = static_cast<uint64_t>(size) * 8000u / static_cast<uint64_t>(connection.BitsPerSec());
  const uint64_t until = GetTickCount64() + pause;
  const bool dispatch = !connection.DisableGuiProcessing();
  TzqWaitable* objects[1] = {sleepEvent_.get()};
  for (uint64_t now = GetTickCount64(); now < until; now = GetTickCount64()) {
    const uint32_t result =
        MsgWaitForMultipleObjects(objects, static_cast<uint32_t>(until - now), dispatch ? QS_ALLEVENTS : 0);
    if (result == 1) {
      TzqMessagePump& pump = CurrentMessagePump();
      while (pump.DispatchOne()) {
      }
    }
  }
  WSASetLastError(savedError);
}

int32_t TzqNetworkStream::GetReadBatchSize() { return GetBatchSize(); }
int32_t TzqNetworkStream::GetWriteBatchSize() { return GetBatchSize(); }

bool TzqNetworkStream::IsLimitReached() {
  const int64_t limit = RequireConnection().ReadLimit();
  return limit >= 0 && byteCounter_ >= limit;
}

void TzqNetworkStream::ResetCounter() { byteCounter_ = 0; }

void TzqNetworkStream::AddBytes(int64_t n) {
  byteCounter_ += n;
  RequireConnection().AddProgress(n);
}

void TzqNetworkStream::BeforeConnect() {}
void TzqNetworkStream::BeforeAccept() {}

bool TzqNetworkStream::IsOperationComplete() { return RequireConnection().Aborted() || IsLimitReached(); }

void TzqNetworkStream::SetPeer(const std::string& ip, int32_t port) {
  peerIP_ = ip;
  peerPort_ = port;
  if (connection_ != nullptr) connection_->SetPeer(ip, port);
}

void TzqNetworkStream::SetLocal(const std::string& ip, int32_t port) {
  localIP_ = ip;
  localPort_ = port;
  if (connection_ != nullptr) connection_->SetLocal(ip, port);
}

void TzqNetworkStream::SetPendingAction(uint8_t action) {
  if (pendingAction_ == kPendingNone) pendingAction_ = action;
}

}  // namespace zq
