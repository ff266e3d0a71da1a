#include "tests/support/zqMemoryTransport.h"

#include <algorithm>
#include <cstring>

#include "net/zqSocketUtils.h"

namespace zq::test {

namespace {

int Fail(int error) {
  WSASetLastError(error);
  return SOCKET_ERROR;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// MemoryConnectionScript

MemoryConnectionScript& MemoryConnectionScript::Send(std::string bytes, int afterRequests) {
  // No piece is empty: a read that gets nothing is the peer's close.
  if (!bytes.empty()) pieces.push_back({std::move(bytes), afterRequests});
  return *this;
}

MemoryConnectionScript& MemoryConnectionScript::SendSplit(const std::string& bytes, const std::vector<size_t>& offsets,
                                                          int afterRequests) {
  size_t from = 0;
  for (const size_t offset : offsets) {
    if (offset <= from || offset >= bytes.size()) continue;
    Send(bytes.substr(from, offset - from), afterRequests);
    from = offset;
  }
  return Send(bytes.substr(from), afterRequests);
}

int MemoryConnectionScript::RequestsSent() const {
  int count = 0;
  for (size_t at = written.find("\r\n\r\n"); at != std::string::npos; at = written.find("\r\n\r\n", at + 4)) ++count;
  return count;
}

// ---------------------------------------------------------------------------------------------
// MemoryPeer

MemoryConnectionScript& MemoryPeer::AddConnection() { return connections_.emplace_back(); }

MemoryConnectionScript* MemoryPeer::Accept() {
  if (static_cast<size_t>(opened_) >= connections_.size()) return nullptr;
  return &connections_[static_cast<size_t>(opened_++)];
}

bool MemoryConnectionScript::Readable() const {
  return !Drained() && pieces[nextPiece].afterRequests <= RequestsSent();
}

int MemoryConnectionScript::Receive(void* buffer, int size) {
  // A piece's end is a split point: the next piece comes with a later read.
  if (atSplit) {
    atSplit = false;
    return Fail(WSAEWOULDBLOCK);
  }
  if (Readable()) {
    const std::string& piece = pieces[nextPiece].bytes;
    const size_t count = std::min(piece.size() - offset, static_cast<size_t>(std::max(size, 0)));
    std::memcpy(buffer, piece.data() + offset, count);
    offset += count;
    if (offset == piece.size()) {
      ++nextPiece;
      offset = 0;
      atSplit = !(Drained() && end == MemoryEnd::CloseWithLast);
    }
    return static_cast<int>(count);
  }
  if (!Drained() || end == MemoryEnd::Stall) return Fail(WSAEWOULDBLOCK);
  return end == MemoryEnd::Reset ? Fail(WSAECONNRESET) : 0;
}

int MemoryConnectionScript::Take(const void* buffer, int size) {
  if (Drained() && end == MemoryEnd::Reset) return Fail(WSAECONNRESET);
  int64_t count = size;
  if (readLimit >= 0) count = std::min<int64_t>(count, readLimit - static_cast<int64_t>(written.size()));
  if (count <= 0) return Fail(WSAEWOULDBLOCK);
  written.append(static_cast<const char*>(buffer), static_cast<size_t>(count));
  if (respond) respond(*this, std::string_view(written).substr(written.size() - static_cast<size_t>(count)));
  return static_cast<int>(count);
}

// ---------------------------------------------------------------------------------------------
// MemoryConnection

void MemoryConnection::Open(std::unique_ptr<TzqNetworkStream> stream, MemoryConnectionScript& script) {
  SetNetworkStream(std::move(stream));
  GetNetworkStream().BeforeConnect();
  SetActive(true);
  script_ = &script;
  FinishStartUp();
}

void MemoryConnection::SetActive(bool value) {
  if (!value) script_ = nullptr;
  TzqTcpClientConnection::SetActive(value);
}

// Nothing else can happen while the script waits: a wait that no scripted byte or end would
// answer is the time-out it would become.
bool MemoryConnection::WaitForEvent(int32_t) {
  if (script_ == nullptr) RaiseSocketError(WSAECONNREFUSED);
  if (script_->Readable() || (script_->Drained() && script_->end != MemoryEnd::Stall)) return true;
  RaiseSocketMessage(sTimeoutOccured, kTimeoutErrorCode);
}

TzqNetworkEvents MemoryConnection::EnumEvents() {
  TzqNetworkEvents events;
  if (script_ == nullptr) return events;
  events.lNetworkEvents = FD_WRITE;
  if (script_->Readable()) events.lNetworkEvents |= FD_READ;
  if (script_->Drained() && script_->end != MemoryEnd::Stall) {
    events.lNetworkEvents |= FD_CLOSE;
    if (script_->end == MemoryEnd::Reset) events.iErrorCode[FD_CLOSE_BIT] = WSAECONNRESET;
  }
  return events;
}

// ---------------------------------------------------------------------------------------------
// MemoryHttp

MemoryHttp::MemoryHttp(MemoryPeer& peer) : peer_(peer) {
  const TzqTcpClientConnection& defaults = TzqHttp::GetConnection();
  connection_.SetTimeOut(defaults.TimeOut());
  connection_.SetBatchSize(defaults.BatchSize());
  connection_.SetDisableGuiProcessing(true);
}

MemoryHttp::~MemoryHttp() {
  try {
    Close();
  } catch (...) {
  }
}

void MemoryHttp::OpenConnection(const std::string&, int32_t) {
  MemoryConnectionScript* script = peer_.Accept();
  if (script == nullptr) RaiseSocketError(WSAECONNREFUSED);
  connection_.Open(std::make_unique<MemoryNetworkStream>(*script), *script);
}

}  // namespace zq::test
