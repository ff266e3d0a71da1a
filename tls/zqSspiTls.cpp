#include "tls/zqSspiTls.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/zqCodePage.h"
#include "core/zqDateTime.h"
#include "core/zqScopeGuard.h"
#include "core/zqText.h"
#include "tls/zqCryptAPI.h"

namespace zq {

const char* const kTlsPackageNames[4] = {
    "Microsoft Unified Security Protocol Provider",
    "Microsoft SSL 3.0",
    "NTLM",
    "Negotiate",
};

namespace {

constexpr uint32_t kClientRequest = ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT | ISC_REQ_CONFIDENTIALITY |
                                    ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_EXTENDED_ERROR | ISC_REQ_STREAM;  // 0xC11C
constexpr uint32_t kServerRequest = ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT | ISC_REQ_CONFIDENTIALITY |
                                    ASC_REQ_ALLOCATE_MEMORY | ASC_REQ_EXTENDED_ERROR | ASC_REQ_STREAM;  // 0x1811C
constexpr uint32_t kRecordHeaderSize = 5;

// A provider-allocated token, released on every exit.
class TzqProviderToken {
public:
  explicit TzqProviderToken(TzqTlsSspi& owner) : owner_(owner) {}
  ~TzqProviderToken() { Release(); }
  void Release() {
    if (buffer.pvBuffer != nullptr) owner_.FunctionTable()->FreeContextBuffer(buffer.pvBuffer);
    buffer.pvBuffer = nullptr;
    buffer.cbBuffer = 0;
  }
  bool Empty() const { return buffer.pvBuffer == nullptr || buffer.cbBuffer == 0; }
  // The stream becomes the token, read from its start.
  void CopyTo(TzqMemoryStream& stream) const {
    stream.Clear();
    stream.WriteBuffer(buffer.pvBuffer, buffer.cbBuffer);
    stream.SetPosition(0);
  }

  SecBuffer buffer{0, SECBUFFER_TOKEN, nullptr};
  SecBuffer empty{0, SECBUFFER_EMPTY, nullptr};

private:
  TzqTlsSspi& owner_;
};

SecBufferDesc Describe(SecBuffer* buffers, uint32_t count) { return SecBufferDesc{SECBUFFER_VERSION, count, buffers}; }

bool IsEmptyHandle(const SecHandle& handle) { return handle.dwLower == 0 && handle.dwUpper == 0; }

std::string DefaultTargetName() { return Format("%.15g", Now()); }

}  // namespace

// ---- flags and statuses ------------------------------------------------------------------------

uint32_t TlsProtocolBits(TzqTlsFlags flags, bool server) {
  uint32_t bits = 0;
  if (flags.Contains(tfUseSSL2) && !flags.Contains(tfUseTLS12))
    bits |= server ? SP_PROT_SSL2_SERVER : SP_PROT_SSL2_CLIENT;
  if (flags.Contains(tfUseSSL3)) bits |= server ? SP_PROT_SSL3_SERVER : SP_PROT_SSL3_CLIENT;
  if (flags.Contains(tfUseTLS)) bits |= server ? SP_PROT_TLS1_SERVER : SP_PROT_TLS1_CLIENT;
  if (flags.Contains(tfUseTLS11)) bits |= server ? SP_PROT_TLS1_1_SERVER : SP_PROT_TLS1_1_CLIENT;
  if (flags.Contains(tfUseTLS12)) bits |= server ? SP_PROT_TLS1_2_SERVER : SP_PROT_TLS1_2_CLIENT;
  if (flags.Contains(tfUseTLS13)) bits |= server ? SP_PROT_TLS1_3_SERVER : SP_PROT_TLS1_3_CLIENT;
  return bits;
}

uint32_t CertificateCheckFlags(TzqCertificateVerifyFlags flags) {
  uint32_t checks = 0;
  if (flags.Contains(cfIgnoreCommonNameInvalid)) checks |= SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
  if (flags.Contains(cfIgnoreDateInvalid)) checks |= SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
  if (flags.Contains(cfIgnoreUnknownAuthority)) checks |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
  if (flags.Contains(cfIgnoreRevocation)) checks |= SECURITY_FLAG_IGNORE_REVOCATION;
  if (flags.Contains(cfIgnoreWrongUsage)) checks |= SECURITY_FLAG_IGNORE_WRONG_USAGE;
  return checks;
}

uint32_t ChainPolicyFlags(TzqCertificateVerifyFlags flags) {
  return flags.Contains(cfIgnoreChainPolicyErrors) ? CERT_CHAIN_POLICY_IGNORE_ALL_FLAGS : 0;
}

uint32_t ChainBuildFlags(TzqCertificateChainVerifyFlags flags) {
  uint32_t bits = 0;
  if (flags.Contains(rfCheckEndOnly))
    bits |= CERT_CHAIN_REVOCATION_CHECK_END_CERT;
  else if (flags.Contains(rfCheckAll))
    bits |= CERT_CHAIN_REVOCATION_CHECK_CHAIN;
  else if (flags.Contains(rfExcludeRoot))
    bits |= CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT;
  if (flags.Contains(rfCacheEndCert)) bits |= CERT_CHAIN_CACHE_END_CERT;
  if (flags.Contains(rfCheckCacheOnly)) bits |= 0x80000000;
  if (flags.Contains(rfUseCacheOnlyUrlRetrieval)) bits |= 0x4;
  if (flags.Contains(rfDisableRootAutoUpdate)) bits |= 0x100;
  if (flags.Contains(rfAccumulativeTimeout)) bits |= 0x8000000;
  return bits;
}

TzqTlsStepResult MapStatus(int32_t status, int32_t fallback) {
  switch (status) {
    case SEC_E_OK:
      return srOk;
    case SEC_I_CONTINUE_NEEDED:
      return srContinue;
    case SEC_I_COMPLETE_NEEDED:
      return srSendFinal;
    case SEC_I_CONTEXT_EXPIRED:
      return srClosed;
    case SEC_I_RENEGOTIATE:
      return srRenegotiate;
    case SEC_E_INCOMPLETE_MESSAGE:
      return srIncompleteRecord;
    default:
      RaiseSspiError(status, fallback);
  }
}

TzqTlsStepResult MapStatus(int32_t status) { return MapStatus(status, status); }

// ---- the engine ------------------------------------------------------------------------------------

TzqTlsSspi::TzqTlsSspi() { FindPackage(); }

TzqTlsSspi::~TzqTlsSspi() {
  FreePeerCertificate();
  DeleteContext();
  FreeCredentials();
}

void TzqTlsSspi::FindPackage() {
  uint32_t count = 0;
  SecPkgInfoA* packages = nullptr;
  int32_t status = FunctionTable()->EnumerateSecurityPackagesA(&count, &packages);
  int best = 4;
  for (uint32_t i = 0; status >= 0 && i < count; ++i)
    for (int j = 0; j < best; ++j)
      if (packages[i].Name != nullptr && std::strcmp(packages[i].Name, kTlsPackageNames[j]) == 0) best = j;
  if (packages != nullptr) FunctionTable()->FreeContextBuffer(packages);
  if (status < 0) RaiseSspiError(status, -6);
  if (best == 4) RaiseSspiError(-5);
  packageIndex_ = best;
}

void TzqTlsSspi::SetSecurityPackage(const std::string& v) {
  if (v == settings_.securityPackage) return;
  settings_.securityPackage = v;
  hasPackageNameCopy_ = false;
  packageNameCopy_.clear();
}

void TzqTlsSspi::SetSettings(const TzqTlsSettings& v) {
  SetSecurityPackage(v.securityPackage);
  settings_ = v;
}

const char* TzqTlsSspi::PackageName() {
  if (Trim(settings_.securityPackage).empty()) return kTlsPackageNames[packageIndex_];
  if (!hasPackageNameCopy_) {
    packageNameCopy_ = settings_.securityPackage;
    hasPackageNameCopy_ = true;
  }
  return packageNameCopy_.c_str();
}

const SecPkgContext_StreamSizes& TzqTlsSspi::GetStreamSizes() {
  while (streamSizes_.cbHeader == 0) {
    int32_t status = FunctionTable()->QueryContextAttributesA(&context_, SECPKG_ATTR_STREAM_SIZES, &streamSizes_);
    if (status != SEC_E_OK) MapStatus(status, -6);
    if (streamSizes_.cbHeader == 0) break;  // a provider without headers is asked only once
  }
  return streamSizes_;
}

SecPkgContext_ConnectionInfo TzqTlsSspi::ConnectionInfo() {
  SecPkgContext_ConnectionInfo info;
  return FunctionTable()->QueryContextAttributesA(&context_, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK
             ? info
             : SecPkgContext_ConnectionInfo{};
}

uint32_t TzqTlsSspi::NegotiatedProtocol() { return ConnectionInfo().dwProtocol; }

uint32_t TzqTlsSspi::NegotiatedCipherStrength() { return ConnectionInfo().dwCipherStrength; }

SCHANNEL_CRED TzqTlsSspi::BuildCredentialRecord(bool server) const {
  SCHANNEL_CRED record;
  record.dwFlags = server ? 0 : SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION;
  if (settings_.sendRootCertificate) record.dwFlags |= SCH_SEND_ROOT_CERT;
  if (settings_.useStrongCryptoAlgorithms) record.dwFlags |= SCH_USE_STRONG_CRYPTO;
  record.grbitEnabledProtocols = TlsProtocolBits(settings_.tlsFlags, server);
  return record;
}

void TzqTlsSspi::AcquireCredentialsHandle(uint32_t use, SCHANNEL_CRED& record) {
  int32_t status = FunctionTable()->AcquireCredentialsHandleA(nullptr, PackageName(), use, nullptr, &record, nullptr,
                                                              nullptr, &credentials_, nullptr);
  lastStatus_ = status;
  if (status < 0) {
    credentials_ = CredHandle{};
    RaiseSspiError(status, -4);
  }
}

bool TzqTlsSspi::AcquireCredentials(TzqCertificateList& certificates, bool proceed, uint32_t use, SCHANNEL_CRED& record,
                                    TzqCredentialCertificates& contexts) {
  FreeCredentials();
  if (!proceed && certificates.Count() == 0) return false;
  contexts.clear();
  for (int i = 0; i < certificates.Count(); ++i) contexts.push_back(certificates.Item(i)->Context());
  record.cCreds = static_cast<uint32_t>(contexts.size());
  record.paCred = contexts.empty() ? nullptr : contexts.data();
  AcquireCredentialsHandle(use, record);
  return true;
}

void TzqTlsSspi::DeleteContext() {
  if (!IsEmptyHandle(context_)) FunctionTable()->DeleteSecurityContext(&context_);
  context_ = CtxtHandle{};
  streamSizes_ = SecPkgContext_StreamSizes{};
}

void TzqTlsSspi::FreeCredentials() {
  if (!IsEmptyHandle(credentials_)) FunctionTable()->FreeCredentialsHandle(&credentials_);
  credentials_ = CredHandle{};
}

void TzqTlsSspi::FetchPeerCertificate() {
  FreePeerCertificate();
  PCCERT_CONTEXT remote = nullptr;
  int32_t status = FunctionTable()->QueryContextAttributesA(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &remote);
  lastStatus_ = status;
  MapStatus(status);
  peerCertificate_ = std::make_unique<TzqCertificate>(remote);
  cryptapi::CertFreeCertificateContext(remote);
}

TzqTlsStepResult TzqTlsSspi::EndSession(TzqMemoryStream& stream, bool server) {
  firstStep_ = true;
  serverVerified_ = false;
  handshakeComplete_ = false;
  if (!HasContext()) {
    DeleteContext();
    FreeCredentials();
    return srOk;
  }
  return Shutdown(stream, server);
}

TzqTlsStepResult TzqTlsSspi::Shutdown(TzqMemoryStream& stream, bool server) {
  // The session ends whether or not the shutdown token could be made.
  TzqScopeGuard end([this] {
    DeleteContext();
    FreeCredentials();
  });
  TzqProviderToken token(*this);
  uint32_t control = SCHANNEL_SHUTDOWN;
  SecBuffer controlBuffer{sizeof control, SECBUFFER_TOKEN, &control};
  SecBufferDesc controlDesc = Describe(&controlBuffer, 1);
  lastStatus_ = FunctionTable()->ApplyControlToken(&context_, &controlDesc);
  MapStatus(lastStatus_);
  SecBufferDesc output = Describe(&token.buffer, 1);
  uint32_t attributes = 0;
  lastStatus_ =
      server ? FunctionTable()->AcceptSecurityContext(&credentials_, &context_, nullptr, kServerRequest, 0, &context_,
                                                      &output, &attributes, nullptr)
             : FunctionTable()->InitializeSecurityContextA(&credentials_, &context_, nullptr, kClientRequest, 0, 0,
                                                           nullptr, 0, &context_, &output, &attributes, nullptr);
  TzqTlsStepResult result = MapStatus(lastStatus_);
  if (token.Empty()) return result;
  token.CopyTo(stream);
  return srSendFinal;
}

TzqTlsStepResult TzqTlsSspi::Encrypt(TzqStream& source, TzqStream& destination, int64_t count) {
  const int64_t sourceStart = source.Position();
  const int64_t destinationStart = destination.Position();
  TzqScopeGuard restore([&] {
    source.SetPosition(sourceStart);
    destination.SetPosition(destinationStart);
  });
  const SecPkgContext_StreamSizes& sizes = GetStreamSizes();
  TzqTlsStepResult result = srOk;
  for (int64_t done = 0; done < count;) {
    auto n = static_cast<uint32_t>(std::min<int64_t>(count - done, sizes.cbMaximumMessage));
    result = SealRecord(source, destination, n);
    done += n;
  }
  return result;
}

// A memory destination is sealed into directly: the plaintext is read to where the record
// goes and the provider protects it there. Other destinations get the record from a buffer
// kept for that.
TzqTlsStepResult TzqTlsSspi::SealRecord(TzqStream& source, TzqStream& destination, uint32_t n) {
  const SecPkgContext_StreamSizes& sizes = GetStreamSizes();
  const size_t capacity = size_t{sizes.cbHeader} + n + sizes.cbTrailer;
  auto* memory = dynamic_cast<TzqMemoryStream*>(&destination);
  const int64_t at = destination.Position();
  const int64_t sizeBefore = destination.Size();
  uint8_t* region = nullptr;
  if (memory != nullptr) {
    memory->SetSize(std::max<int64_t>(sizeBefore, at + static_cast<int64_t>(capacity)));
    region = memory->Memory() + at;
  } else {
    if (sealBuffer_.size() < capacity) sealBuffer_.resize(capacity);
    region = sealBuffer_.data();
  }
  source.ReadBuffer(region + sizes.cbHeader, n);
  SecBuffer buffers[4] = {
      {sizes.cbHeader, SECBUFFER_STREAM_HEADER, region},
      {n, SECBUFFER_DATA, region + sizes.cbHeader},
      {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, region + sizes.cbHeader + n},
      {0, SECBUFFER_EMPTY, nullptr},
  };
  SecBufferDesc message = Describe(buffers, 4);
  lastStatus_ = FunctionTable()->EncryptMessage(&context_, 0, &message, 0);
  TzqTlsStepResult result = MapStatus(lastStatus_);
  const size_t sealed = size_t{buffers[0].cbBuffer} + buffers[1].cbBuffer + buffers[2].cbBuffer;
  if (sealed > capacity) RaiseSspiError(SEC_E_BUFFER_TOO_SMALL);
  const int64_t end = at + static_cast<int64_t>(sealed);
  if (memory != nullptr) {
    memory->SetSize(std::max(sizeBefore, end));
    memory->SetPosition(end);
  } else {
    destination.WriteBuffer(region, static_cast<int64_t>(sealed));
  }
  return result;
}

namespace {

// The bytes from at (inside input) become rest's content, read from its start; rest may be
// the input itself.
void KeepRest(TzqMemoryStream& input, TzqMemoryStream& rest, const uint8_t* at, uint32_t count) {
  if (&rest == &input) {
    if (count > 0) std::memmove(input.Memory(), at, count);
    input.SetSize(count);
  } else {
    rest.SetSize(0);
    rest.SetPosition(0);
    rest.WriteBuffer(at, count);
  }
  rest.SetPosition(0);
}

}  // namespace

// Records are decrypted where they lie in the input (the provider works in place); only the
// plaintext is copied, to the output.
TzqTlsStepResult TzqTlsSspi::Decrypt(TzqMemoryStream& input, TzqStream& output, TzqMemoryStream& rest) {
  uint8_t* cursor = input.Memory() + input.Position();
  auto remaining = static_cast<uint32_t>(input.Size() - input.Position());
  bool produced = false;
  for (;;) {
    if (remaining <= kRecordHeaderSize) break;
    SecBuffer buffers[4] = {{remaining, SECBUFFER_DATA, cursor}, {}, {}, {}};
    SecBufferDesc message = Describe(buffers, 4);
    lastStatus_ = FunctionTable()->DecryptMessage(&context_, &message, 0, nullptr);
    TzqTlsStepResult result = MapStatus(lastStatus_);
    if (result == srIncompleteRecord) break;
    if (result == srClosed) {
      KeepRest(input, rest, cursor, 0);
      return srClosed;
    }
    const SecBuffer* extra = nullptr;
    for (const SecBuffer& buffer : buffers) {
      if (buffer.BufferType == SECBUFFER_DATA) {
        produced = true;
        output.WriteBuffer(buffer.pvBuffer, buffer.cbBuffer);
      } else if (buffer.BufferType == SECBUFFER_EXTRA) {
        extra = &buffer;
      }
    }
    if (extra == nullptr) return result;
    cursor = static_cast<uint8_t*>(extra->pvBuffer);
    remaining = extra->cbBuffer;
  }
  KeepRest(input, rest, cursor, remaining);
  return produced ? srPartialRecord : srIncompleteRecord;
}

// ---- the client ------------------------------------------------------------------------------------

TzqTlsClientSspi::TzqTlsClientSspi() : targetName_(DefaultTargetName()) { serverVerified_ = false; }

TzqTlsStepResult TzqTlsClientSspi::HandshakeStep(TzqMemoryStream& stream, TzqCertificateList& certificates,
                                                 bool proceed) {
  SCHANNEL_CRED record = BuildCredentialRecord(false);
  TzqCredentialCertificates contexts;
  if (lastStatus_ == SEC_I_INCOMPLETE_CREDENTIALS &&
      !AcquireCredentials(certificates, proceed, SECPKG_CRED_OUTBOUND, record, contexts))
    return srCertificateNeeded;
  lastStatus_ = SEC_I_CONTINUE_NEEDED;
  TzqTlsStepResult result;
  if (firstStep_) {
    firstStep_ = false;
    result = FirstStep(record, stream);
  } else {
    result = NextStep(record, stream, proceed, certificates, contexts);
  }
  // A TLS 1.3 client's own Finished is its last token: the server is checked before it goes out.
  bool complete = result == srOk || result == srOkWithExtra || (result == srSendToken && handshakeComplete_);
  if (!serverVerified_ && complete) serverVerified_ = VerifyServer();
  return result;
}

TzqTlsStepResult TzqTlsClientSspi::FirstStep(SCHANNEL_CRED& record, TzqMemoryStream& stream) {
  FreeCredentials();
  handshakeComplete_ = false;
  AcquireCredentialsHandle(SECPKG_CRED_OUTBOUND, record);
  TzqProviderToken token(*this);
  SecBufferDesc output = Describe(&token.buffer, 1);
  uint32_t attributes = 0;
  lastStatus_ = FunctionTable()->InitializeSecurityContextA(&credentials_, nullptr, targetName_.c_str(), kClientRequest,
                                                            0, 0, nullptr, 0, &context_, &output, &attributes, nullptr);
  MapStatus(lastStatus_);
  stream.Clear();
  if (!token.Empty()) token.CopyTo(stream);
  return srSendToken;
}

TzqTlsStepResult TzqTlsClientSspi::NextStep(SCHANNEL_CRED& record, TzqMemoryStream& stream, bool proceed,
                                            TzqCertificateList& certificates, TzqCredentialCertificates& contexts) {
  bool retry = false;
  TzqTlsStepResult result = srNoAction;
  for (;;) {
    if (lastStatus_ != SEC_I_CONTINUE_NEEDED && lastStatus_ != SEC_I_INCOMPLETE_CREDENTIALS &&
        lastStatus_ != SEC_E_INCOMPLETE_MESSAGE)
      break;
    int64_t position = stream.Position();
    auto available = static_cast<uint32_t>(stream.Size() - position);
    if (available == 0 || lastStatus_ == SEC_E_INCOMPLETE_MESSAGE) {
      if (retry) {
        result = srNeedMoreData;
        break;
      }
      retry = true;
    }
    SecBuffer input[2] = {{available, SECBUFFER_TOKEN, stream.Memory() + position}, {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inputDesc = Describe(input, 2);
    TzqProviderToken token(*this);
    SecBuffer output[2] = {token.buffer, token.empty};
    SecBufferDesc outputDesc = Describe(output, 2);
    uint32_t attributes = 0;
    lastStatus_ =
        FunctionTable()->InitializeSecurityContextA(&credentials_, &context_, targetName_.c_str(), kClientRequest, 0, 0,
                                                    &inputDesc, 0, &context_, &outputDesc, &attributes, nullptr);
    token.buffer = output[0];
    handshakeComplete_ = lastStatus_ == SEC_E_OK;
    bool handOut = lastStatus_ == SEC_E_OK || lastStatus_ == SEC_I_CONTINUE_NEEDED ||
                   (lastStatus_ < 0 && (attributes & ISC_RET_EXTENDED_ERROR) != 0);
    if (handOut && !token.Empty()) {
      token.CopyTo(stream);
      result = srSendToken;
      break;
    }
    if (lastStatus_ == SEC_E_INCOMPLETE_MESSAGE) {
      result = srNeedMoreData;
      break;
    }
    if (lastStatus_ == SEC_E_OK) {
      result = srOk;
      if (input[1].BufferType == SECBUFFER_EXTRA) {
        stream.SetPosition(stream.Size() - input[1].cbBuffer);
        result = srOkWithExtra;
      }
      break;
    }
    if (lastStatus_ == SEC_I_INCOMPLETE_CREDENTIALS) {
      if (!AcquireCredentials(certificates, proceed, SECPKG_CRED_OUTBOUND, record, contexts))
        result = srCertificateNeeded;
      retry = false;
      lastStatus_ = SEC_I_INCOMPLETE_CREDENTIALS;
      if (result == srCertificateNeeded) break;
      continue;
    }
    MapStatus(lastStatus_);
    if (input[1].BufferType == SECBUFFER_EXTRA)
      stream.SetPosition(stream.Size() - input[1].cbBuffer);
    else
      stream.Clear();
  }
  return result;
}

bool TzqTlsClientSspi::VerifyServer() {
  FreePeerCertificate();
  bool verdict = true;
  std::u16string serverName;
  try {
    serverName = AnsiToWide(targetName_, LocalCodePage());
  } catch (const std::bad_alloc&) {
    RaiseSspiError(20);
  }
  CERT_CHAIN_PARA chainPara;
  chainPara.dwUrlRetrievalTimeout = CertChainRetrievalTimeout();
  FetchPeerCertificate();
  PCCERT_CONTEXT server = PeerCertificate()->Context();
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  CERT_CHAIN_ENGINE_CONFIG trustAnchors{CAFile(), CAPath()};
  if (!cryptapi::CertGetCertificateChain(&trustAnchors, server, nullptr, server, &chainPara,
                                         ChainBuildFlags(CertChainFlags()), nullptr, &chain))
    RaiseSspiError(static_cast<int32_t>(CryptGetLastError()), -11);
  std::unique_ptr<const TzqCertChainContext, void (*)(PCCERT_CHAIN_CONTEXT)> chainGuard(
      chain, cryptapi::CertFreeCertificateChain);
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.fdwChecks = CertificateCheckFlags(CertificateFlags());
  ssl.pwszServerName = serverName.c_str();
  CERT_CHAIN_POLICY_PARA policy;
  policy.dwFlags = ChainPolicyFlags(CertificateFlags());
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status;
  if (!cryptapi::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status))
    RaiseSspiError(static_cast<int32_t>(CryptGetLastError()), -11);
  if (status.dwError != 0) {
    lastStatus_ = static_cast<int32_t>(status.dwError);
    verdict = false;
  }
  return verdict;
}

TzqTlsStepResult TzqTlsClientSspi::CloseSession(TzqMemoryStream& stream) { return EndSession(stream, false); }

// ---- the server ------------------------------------------------------------------------------------

TzqTlsStepResult TzqTlsServerSspi::HandshakeStep(TzqMemoryStream& stream, TzqCertificateList& certificates,
                                                 bool proceed) {
  SCHANNEL_CRED record = BuildCredentialRecord(true);
  TzqCredentialCertificates contexts;
  if (firstStep_ && !AcquireCredentials(certificates, proceed, SECPKG_CRED_INBOUND, record, contexts))
    return srCertificateNeeded;
  auto size = static_cast<uint32_t>(stream.Size());
  SecBuffer input{size, SECBUFFER_TOKEN, size > 0 ? stream.Memory() : nullptr};
  SecBufferDesc inputDesc = Describe(&input, 1);
  TzqProviderToken token(*this);
  SecBufferDesc outputDesc = Describe(&token.buffer, 1);
  uint32_t request = requireClientCertificate_ ? kServerRequest | ASC_REQ_MUTUAL_AUTH : kServerRequest;
  uint32_t attributes = 0;
  lastStatus_ = FunctionTable()->AcceptSecurityContext(&credentials_, firstStep_ ? nullptr : &context_, &inputDesc,
                                                       request, 0, &context_, &outputDesc, &attributes, nullptr);
  MapStatus(lastStatus_);
  if (lastStatus_ == SEC_E_INCOMPLETE_MESSAGE) return srNeedMoreData;
  if (lastStatus_ == SEC_I_COMPLETE_NEEDED) MapStatus(FunctionTable()->CompleteAuthToken(&context_, &outputDesc));
  stream.Clear();
  if (!token.Empty()) token.CopyTo(stream);
  firstStep_ = false;
  if (lastStatus_ == SEC_I_CONTINUE_NEEDED) return srSendToken;
  handshakeComplete_ = true;
  if (requireClientCertificate_ && !serverVerified_) {
    try {
      FetchPeerCertificate();
    } catch (const EzqSSPIError&) {
      // the client sent none: whether that ends the session is the application's decision
    }
  }
  serverVerified_ = true;
  return srOk;
}

TzqTlsStepResult TzqTlsServerSspi::CloseSession(TzqMemoryStream& stream) { return EndSession(stream, true); }

}  // namespace zq
