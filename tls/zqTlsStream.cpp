#include "tls/zqTlsStream.h"

#include <algorithm>

#include "core/zqDateTime.h"
#include "core/zqScopeGuard.h"
#include "net/zqSocketUtils.h"

namespace zq {

namespace {

const char* const sLocalCertificateError = "Error querying local certificate";
constexpr int kLocalCertificateErrorCode = -9;
// Raw bytes taken from the socket in one read: a peer sending faster than they are read must
// not be buffered whole before the first byte is decrypted.
constexpr int64_t kMostReceivedPerRead = 256 * 1024;

// Counts the bytes added to a stream while an operation runs, also when it raises.
class TzqPlaintextCount {
public:
  TzqPlaintextCount(TzqStream* stream, std::function<void(int64_t)> count)
      : stream_(stream), start_(stream != nullptr ? stream->Position() : 0), count_(std::move(count)) {}
  ~TzqPlaintextCount() {
    if (Added() > 0) count_(Added());
  }
  int64_t Added() const { return stream_ != nullptr ? stream_->Position() - start_ : 0; }

private:
  TzqStream* stream_;
  int64_t start_;
  std::function<void(int64_t)> count_;
};

// Empties a buffer but keeps its memory: the buffers are refilled for every record.
void Reset(TzqMemoryStream& buffer) {
  buffer.SetSize(0);
  buffer.SetPosition(0);
}

}  // namespace

TzqTlsNetworkStream::TzqTlsNetworkStream() : targetName_(Format("%.15g", Now())) {}

TzqTlsNetworkStream::~TzqTlsNetworkStream() {
  std::lock_guard<std::mutex> guard(engineLock_);
  engine_.reset();
}

TzqTlsSspi* TzqTlsNetworkStream::Engine() {
  std::lock_guard<std::mutex> guard(engineLock_);
  return engine_.get();
}

TzqTlsSspi& TzqTlsNetworkStream::RequireEngine() {
  TzqTlsSspi* engine = Engine();
  if (engine == nullptr) RaiseSocketMessage(sConnectionNotActive, -6);
  return *engine;
}

// ---- settings ------------------------------------------------------------------------------------

void TzqTlsNetworkStream::CopySettingsTo(TzqTlsSspi& engine) const {
  engine.SetSettings(settings_);
  if (auto* client = dynamic_cast<TzqTlsClientSspi*>(&engine)) client->SetTargetName(targetName_);
  if (auto* server = dynamic_cast<TzqTlsServerSspi*>(&engine))
    server->SetRequireClientCertificate(requireClientCertificate_);
}

void TzqTlsNetworkStream::UpdateEngine() {
  if (TzqTlsSspi* engine = Engine()) CopySettingsTo(*engine);
}

void TzqTlsNetworkStream::SetSettings(const TzqTlsSettings& v) {
  settings_ = v;
  UpdateEngine();
}

void TzqTlsNetworkStream::SetTargetName(const std::string& v) {
  targetName_ = v;
  UpdateEngine();
}

void TzqTlsNetworkStream::SetRequireClientCertificate(bool v) {
  requireClientCertificate_ = v;
  UpdateEngine();
}

void TzqTlsNetworkStream::AssignFrom(const TzqNetworkStream& other) {
  TzqNetworkStream::AssignFrom(other);
  const auto* tls = dynamic_cast<const TzqTlsNetworkStream*>(&other);
  if (tls == nullptr) return;
  settings_ = tls->settings_;
  targetName_ = tls->targetName_;
  requireClientCertificate_ = tls->requireClientCertificate_;
}

// ---- sessions --------------------------------------------------------------------------------------

void TzqTlsNetworkStream::OpenSession(std::unique_ptr<TzqTlsSspi> engine) {
  CopySettingsTo(*engine);
  {
    std::lock_guard<std::mutex> guard(engineLock_);
    engine_ = std::move(engine);
    serverVerified_ = false;
  }
  // Nothing of an earlier session carries over.
  Reset(tlsInput_);
  Reset(decrypted_);
  Reset(outgoing_);
  state_ = srOk;
  recordOverhead_ = 0;
}

void TzqTlsNetworkStream::BeforeConnect() {
  {
    std::lock_guard<std::mutex> guard(engineLock_);
    engine_.reset();
  }
  OpenSession(std::make_unique<TzqTlsClientSspi>());
  handshakePending_ = true;
  SetPendingAction(kPendingWrite);
}

void TzqTlsNetworkStream::BeforeAccept() {
  {
    std::lock_guard<std::mutex> guard(engineLock_);
    engine_.reset();
  }
  OpenSession(std::make_unique<TzqTlsServerSspi>());
  state_ = srAwaitingPeer;
  handshakePending_ = false;
  SetPendingAction(kPendingRead);
}

void TzqTlsNetworkStream::PrepareClose(bool notifyPeer) {
  TzqNetworkStream::PrepareClose(notifyPeer);
  state_ = srOk;
  Reset(tlsInput_);
  if (TzqTlsSspi* engine = Engine()) {
    try {
      state_ = engine->CloseSession(tlsInput_);
    } catch (const EzqSSPIError&) {
    }
    if (notifyPeer && state_ == srSendFinal) {
      try {
        // A record sent only in part goes out whole before the shutdown token.
        if (outgoing_.Size() > 0) {
          int64_t position = outgoing_.Position();
          outgoing_.Seek(0, soEnd);
          outgoing_.CopyFrom(tlsInput_, 0);
          outgoing_.SetPosition(position);
          Reset(tlsInput_);
        }
        if (!SendProtected(nullptr, 0)) SetPendingAction(kPendingWrite);
      } catch (const EzqSocketError&) {
      }
    }
  }
  handshakePending_ = false;
  state_ = srOk;
}

// ---- writing ---------------------------------------------------------------------------------------

bool TzqTlsNetworkStream::WriteFromStream(TzqStream* stream) {
  ClearPendingAction();
  if (handshakePending_) {
    handshakePending_ = false;
    RunHandshakeStep(nullptr);
    if (state_ != srOk) SetPendingAction(kPendingRead);
    return true;
  }
  if (stream == nullptr) {
    bool sent = SendProtected(nullptr, 0);
    if (!sent) SetPendingAction(kPendingWrite);
    return sent;
  }
  bool result = true;
  while (result && stream->Position() < stream->Size()) {
    if (outgoing_.Size() > 0) {
      result = SendProtected(nullptr, 0);
    } else {
      pendingChunkSize_ = std::min<int64_t>(stream->Size() - stream->Position(), RequireConnection().BatchSize());
      result = SendProtected(stream, pendingChunkSize_);
    }
    if (result) {
      TzqNetworkStream::AddBytes(pendingChunkSize_);
      stream->Seek(pendingChunkSize_, soCurrent);
    }
  }
  return result;
}

bool TzqTlsNetworkStream::SendProtected(TzqStream* source, int64_t count) {
  if (outgoing_.Size() == 0) {
    if (state_ == srSendToken || state_ == srSendFinal) {
      outgoing_.CopyFrom(tlsInput_, 0);
      Reset(tlsInput_);
    } else if (source != nullptr && count > 0) {
      // Records are sealed where they are sent from; the TLS input keeps what it holds (a
      // record in part that the next read completes).
      RequireEngine().Encrypt(*source, outgoing_, count);
    }
    outgoing_.SetPosition(0);
  }
  sending_ = true;
  bool sent = false;
  {
    TzqScopeGuard done([this] { sending_ = false; });
    sent = TzqNetworkStream::WriteFromStream(&outgoing_);
  }
  if (sent) Reset(outgoing_);
  return sent;
}

// ---- reading ---------------------------------------------------------------------------------------

bool TzqTlsNetworkStream::ReadToStream(TzqStream* stream) {
  TzqPlaintextCount count(stream, [this](int64_t n) { TzqNetworkStream::AddBytes(n); });
  ClearPendingAction();
  if (decrypted_.Size() > 0 && stream != nullptr) {
    stream->CopyFrom(decrypted_, 0);
    Reset(decrypted_);
  } else {
    if (ReceiveRecords()) ProcessReceived(stream);
  }
  SetHasReadData(decrypted_.Size() > 0);
  // A partial record asks for more only when nothing could be handed out yet: otherwise a peer
  // that keeps sending would hold the reader (and buffer everything) for as long as it sends.
  const bool delivered = decrypted_.Size() > 0 || count.Added() > 0;
  if (state_ == srRenegotiate)
    SetPendingAction(kPendingWrite);
  else if (state_ > srNoAction && state_ != srClosed && !(state_ == srIncompleteRecord && delivered))
    SetPendingAction(kPendingRead);
  return true;
}

// Received bytes go straight behind what the TLS input still holds (a record or a handshake
// message in part), where the engine reads them from.
bool TzqTlsNetworkStream::ReceiveRecords() {
  if (state_ != srNeedMoreData && state_ != srIncompleteRecord) Reset(tlsInput_);
  const int64_t position = tlsInput_.Position();
  const int64_t held = tlsInput_.Size();
  {
    TzqScopeGuard restore([&] { tlsInput_.SetPosition(position); });
    tlsInput_.Seek(0, soEnd);
    TzqNetworkStream::ReceiveInto(&tlsInput_, kMostReceivedPerRead);
  }
  return tlsInput_.Size() > held;
}

void TzqTlsNetworkStream::ProcessReceived(TzqStream* target) {
  if (target == nullptr) target = &decrypted_;
  if (state_ == srAwaitingPeer || state_ == srNeedMoreData) return RunHandshakeStep(target);
  state_ = RequireEngine().Decrypt(tlsInput_, *target, tlsInput_);
  if (state_ == srOk) {
    Reset(tlsInput_);
  } else if (state_ == srRenegotiate) {
    Reset(tlsInput_);
    handshakePending_ = true;
  } else if (state_ == srPartialRecord) {
    state_ = srIncompleteRecord;
  }
  if (state_ == srClosed) SetNeedClose(true);
}

void TzqTlsNetworkStream::RunHandshakeStep(TzqStream* target) {
  TzqCertificateList certificates(false);
  recordOverhead_ = 0;
  TzqTlsSspi& engine = RequireEngine();
  {
    // Bytes still needed are kept: a token waiting to go out, a handshake or a record in part.
    TzqScopeGuard dropInput([this] {
      if (state_ != srOk && state_ != srSendToken && state_ != srNeedMoreData && state_ != srIncompleteRecord)
        Reset(tlsInput_);
    });
    state_ = engine.HandshakeStep(tlsInput_, certificates, false);
    if (state_ == srCertificateNeeded) {
      TzqCertificate* certificate = nullptr;
      bool handled = false;
      if (GetCertificateCallback) GetCertificateCallback(certificate, certificates, handled);
      if (certificate != nullptr) certificates.Add(certificate);
      state_ = engine.HandshakeStep(tlsInput_, certificates, true);
    }
    if (state_ == srCertificateNeeded) RaiseSocketMessage(sLocalCertificateError, kLocalCertificateErrorCode);
    const bool finalToken = state_ == srSendToken && engine.HandshakeComplete();
    if (state_ == srOk || state_ == srOkWithExtra || finalToken) CheckServerVerified();
    bool server = dynamic_cast<TzqTlsServerSspi*>(&engine) != nullptr;
    if (state_ == srSendToken) {
      if (!SendProtected(nullptr, 0)) SetPendingAction(kPendingWrite);
      // Nothing more is due from the peer once the last token is out.
      state_ = finalToken ? srOk : srAwaitingPeer;
    } else if (state_ == srOkWithExtra) {
      ProcessReceived(target);
      if (state_ != srIncompleteRecord && state_ != srClosed) state_ = srOk;
    } else if (state_ == srOk && server) {
      state_ = srSendToken;
      if (!SendProtected(nullptr, 0)) SetPendingAction(kPendingWrite);
      state_ = srOk;
    }
  }
  if (state_ == srOk || state_ == srClosed) TzqNetworkStream::NotifyReady();
}

void TzqTlsNetworkStream::CheckServerVerified() {
  if (serverVerified_) return;
  TzqTlsSspi& engine = RequireEngine();
  bool verified = engine.ServerVerified();
  int32_t status = engine.LastStatus();
  std::string text = SspiErrorText(status);
  if (VerifyServerCallback) VerifyServerCallback(engine.PeerCertificate(), text, status, verified);
  if (!verified) throw EzqSocketError(text, status);
  serverVerified_ = true;
}

// ---- sizes and counting ------------------------------------------------------------------------------

int32_t TzqTlsNetworkStream::RecordOverhead() {
  TzqTlsSspi* engine = Engine();
  if (recordOverhead_ == 0 && state_ == srOk && engine != nullptr && engine->HasContext()) {
    try {
      const SecPkgContext_StreamSizes& sizes = engine->GetStreamSizes();
      recordOverhead_ = static_cast<int32_t>(sizes.cbHeader + sizes.cbTrailer);
    } catch (const EzqSSPIError&) {
    }
  }
  return recordOverhead_;
}

int32_t TzqTlsNetworkStream::GetReadBatchSize() { return TzqNetworkStream::GetReadBatchSize() + RecordOverhead(); }
int32_t TzqTlsNetworkStream::GetWriteBatchSize() { return TzqNetworkStream::GetWriteBatchSize() + RecordOverhead(); }

bool TzqTlsNetworkStream::IsLimitReached() {
  if (TzqNetworkStream::IsLimitReached()) return true;
  int64_t limit = RequireConnection().ReadLimit();
  return limit >= 0 && rawByteCounter_ >= limit;
}

void TzqTlsNetworkStream::ResetCounter() {
  TzqNetworkStream::ResetCounter();
  rawByteCounter_ = 0;
}

void TzqTlsNetworkStream::AddBytes(int64_t n) {
  if (!sending_) rawByteCounter_ += n;
}

}  // namespace zq
