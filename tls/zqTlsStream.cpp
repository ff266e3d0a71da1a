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
  if (auto* client = dynamic_cast<TzqTlsClientSspi*>(&engine)) {
    client->SetTargetName(targetName_);
    client->SetCAFile(caFile_);
    client->SetCAPath(caPath_);
  }
  if (auto* server = dynamic_cast<TzqTlsServerSspi*>(&engine)) server->SetRequireClientCertificate(requireClientCertificate_);
  engine.SetCertificateFlags(certificateFlags_);
  engine.SetCertChainFlags(certChainFlags_);
  engine.SetCertChainRetrievalTimeout(certChainRetrievalTimeout_);
  engine.SetTLSFlags(tlsFlags_);
  engine.SetUseSystemTLSFlags(useSystemTlsFlags_);
  engine.SetSendRootCertificate(sendRootCertificate_);
  engine.SetUseStrongCryptoAlgorithms(useStrongCryptoAlgorithms_);
  engine.SetSecurityPackage(securityPackage_);
}

#define ZQ_TLS_SETTER(Name, Type, field)                  \
  void TzqTlsNetworkStream::Set##Name(Type v) {           \
    field = v;                                            \
    if (TzqTlsSspi* engine = Engine()) CopySettingsTo(*engine); \
  }

ZQ_TLS_SETTER(CertificateFlags, TzqCertificateVerifyFlags, certificateFlags_)
ZQ_TLS_SETTER(TargetName, const std::string&, targetName_)
ZQ_TLS_SETTER(CAFile, const std::string&, caFile_)
ZQ_TLS_SETTER(CAPath, const std::string&, caPath_)
ZQ_TLS_SETTER(TLSFlags, TzqTlsFlags, tlsFlags_)
ZQ_TLS_SETTER(RequireClientCertificate, bool, requireClientCertificate_)
ZQ_TLS_SETTER(SecurityPackage, const std::string&, securityPackage_)
ZQ_TLS_SETTER(UseStrongCryptoAlgorithms, bool, useStrongCryptoAlgorithms_)
ZQ_TLS_SETTER(SendRootCertificate, bool, sendRootCertificate_)
ZQ_TLS_SETTER(CertChainFlags, TzqCertificateChainVerifyFlags, certChainFlags_)
ZQ_TLS_SETTER(CertChainRetrievalTimeout, uint32_t, certChainRetrievalTimeout_)
ZQ_TLS_SETTER(UseSystemTLSFlags, bool, useSystemTlsFlags_)

#undef ZQ_TLS_SETTER

void TzqTlsNetworkStream::AssignFrom(const TzqNetworkStream& other) {
  TzqNetworkStream::AssignFrom(other);
  const auto* tls = dynamic_cast<const TzqTlsNetworkStream*>(&other);
  if (tls == nullptr) return;
  targetName_ = tls->targetName_;
  caFile_ = tls->caFile_;
  caPath_ = tls->caPath_;
  certificateFlags_ = tls->certificateFlags_;
  certChainFlags_ = tls->certChainFlags_;
  certChainRetrievalTimeout_ = tls->certChainRetrievalTimeout_;
  tlsFlags_ = tls->tlsFlags_;
  useSystemTlsFlags_ = tls->useSystemTlsFlags_;
  sendRootCertificate_ = tls->sendRootCertificate_;
  useStrongCryptoAlgorithms_ = tls->useStrongCryptoAlgorithms_;
  requireClientCertificate_ = tls->requireClientCertificate_;
  securityPackage_ = tls->securityPackage_;
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
    } else {
      Reset(tlsInput_);
      if (source != nullptr && count > 0) RequireEngine().Encrypt(*source, tlsInput_, count);
      outgoing_.CopyFrom(tlsInput_, 0);
      tlsInput_.SetPosition(0);
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
    TzqStream* target = stream != nullptr ? stream : &decrypted_;
    Reset(received_);
    TzqNetworkStream::ReceiveInto(&received_, kMostReceivedPerRead);
    if (received_.Size() > 0) {
      received_.SetPosition(0);
      ProcessReceived(received_, target);
    }
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

void TzqTlsNetworkStream::ProcessReceived(TzqMemoryStream& received, TzqStream* target) {
  if (target == nullptr) target = &decrypted_;
  switch (state_) {
    case srOk:
    case srAwaitingPeer:
      if (&received != &tlsInput_) {
        Reset(tlsInput_);
        tlsInput_.CopyFrom(received, 0);
        tlsInput_.SetPosition(0);
      }
      if (state_ == srAwaitingPeer) return RunHandshakeStep(target);
      break;
    case srNeedMoreData:
    case srIncompleteRecord: {
      int64_t position = tlsInput_.Position();
      tlsInput_.Seek(0, soEnd);
      tlsInput_.CopyFrom(received, 0);
      tlsInput_.SetPosition(position);
      if (state_ == srNeedMoreData) return RunHandshakeStep(target);
      break;
    }
    default:
      break;
  }
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
      if (state_ != srOk && state_ != srSendToken && state_ != srNeedMoreData && state_ != srIncompleteRecord) Reset(tlsInput_);
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
      ProcessReceived(tlsInput_, target);
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
