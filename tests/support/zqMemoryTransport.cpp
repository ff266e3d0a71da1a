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
  pieces.push_back({std::move(bytes), afterRequests});
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

// ---------------------------------------------------------------------------------------------
// MemoryNetworkStream

bool MemoryNetworkStream::Connect(TzqIPAddress&, int32_t) { return true; }

bool MemoryNetworkStream::Readable() const {
  return !Drained() && script_.pieces[script_.nextPiece].afterRequests <= script_.RequestsSent();
}

int MemoryNetworkStream::ReceiveRaw(void* buffer, int size) {
  // A piece's end is a split point: the next piece comes with a later read.
  if (atSplit_) {
    atSplit_ = false;
    return Fail(WSAEWOULDBLOCK);
  }
  if (Readable()) {
    const std::string& piece = script_.pieces[script_.nextPiece].bytes;
    const size_t count = std::min(piece.size() - script_.offset, static_cast<size_t>(std::max(size, 0)));
    std::memcpy(buffer, piece.data() + script_.offset, count);
    script_.offset += count;
    if (script_.offset == piece.size()) {
      ++script_.nextPiece;
      script_.offset = 0;
      atSplit_ = true;
    }
    return static_cast<int>(count);
  }
  if (!Drained() || End() == MemoryEnd::Stall) return Fail(WSAEWOULDBLOCK);
  return End() == MemoryEnd::Close ? 0 : Fail(WSAECONNRESET);
}

int MemoryNetworkStream::SendRaw(const void* buffer, int size) {
  if (Drained() && End() == MemoryEnd::Reset) return Fail(WSAECONNRESET);
  int64_t count = size;
  if (script_.readLimit >= 0)
    count = std::min<int64_t>(count, script_.readLimit - static_cast<int64_t>(script_.written.size()));
  if (count <= 0) return Fail(WSAEWOULDBLOCK);
  script_.written.append(static_cast<const char*>(buffer), static_cast<size_t>(count));
  return static_cast<int>(count);
}

// ---------------------------------------------------------------------------------------------
// MemoryConnection

MemoryNetworkStream* MemoryConnection::Memory() const { return dynamic_cast<MemoryNetworkStream*>(NetworkStream()); }

void MemoryConnection::Open(std::unique_ptr<MemoryNetworkStream> stream) {
  SetNetworkStream(std::move(stream));
  SetActive(true);
  FinishStartUp();
}

// Nothing else can happen while the script waits: a wait that no scripted byte or end would
// answer is the time-out it would become.
bool MemoryConnection::WaitForEvent(int32_t) {
  const MemoryNetworkStream* memory = Memory();
  if (memory != nullptr && (memory->Readable() || (memory->Drained() && memory->End() != MemoryEnd::Stall)))
    return true;
  RaiseSocketMessage(sTimeoutOccured, kTimeoutErrorCode);
}

TzqNetworkEvents MemoryConnection::EnumEvents() {
  TzqNetworkEvents events;
  const MemoryNetworkStream* memory = Memory();
  if (memory == nullptr) return events;
  events.lNetworkEvents = FD_WRITE;
  if (memory->Readable()) events.lNetworkEvents |= FD_READ;
  if (memory->Drained() && memory->End() != MemoryEnd::Stall) {
    events.lNetworkEvents |= FD_CLOSE;
    if (memory->End() == MemoryEnd::Reset) events.iErrorCode[FD_CLOSE_BIT] = WSAECONNRESET;
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
  connection_.Open(std::make_unique<MemoryNetworkStream>(*script));
}

}  // namespace zq::test
