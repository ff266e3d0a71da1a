#pragma once
// The TLS engine over the security provider: the client and the server side of one TLS
// session. It never touches a socket: handshake tokens and records go in and out through
// memory streams, and each step answers what the caller has to do next.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "core/zqApi.h"
#include "core/zqStream.h"
#include "tls/zqCertificate.h"
#include "tls/zqSspi.h"

namespace zq {

// A set of enumeration members, one bit each in enumeration order.
template <typename E>
class TzqFlagSet {
public:
  constexpr TzqFlagSet() = default;
  constexpr TzqFlagSet(std::initializer_list<E> members) {
    for (E member : members) bits_ |= Bit(member);
  }
  constexpr bool Contains(E member) const { return (bits_ & Bit(member)) != 0; }
  constexpr TzqFlagSet& Include(E member) {
    bits_ |= Bit(member);
    return *this;
  }
  constexpr TzqFlagSet& Exclude(E member) {
    bits_ &= ~Bit(member);
    return *this;
  }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr uint32_t Bits() const { return bits_; }
  constexpr bool operator==(const TzqFlagSet&) const = default;

private:
  static constexpr uint32_t Bit(E member) { return 1u << static_cast<unsigned>(member); }
  uint32_t bits_ = 0;
};

enum TzqTlsFlag { tfUseSSL2, tfUseSSL3, tfUseTLS, tfUseTLS11, tfUseTLS12, tfUseTLS13 };
using TzqTlsFlags = TzqFlagSet<TzqTlsFlag>;

enum TzqCertificateVerifyFlag {
  cfIgnoreCommonNameInvalid,
  cfIgnoreDateInvalid,
  cfIgnoreUnknownAuthority,
  cfIgnoreRevocation,
  cfIgnoreWrongUsage,
  cfIgnoreChainPolicyErrors,
};
using TzqCertificateVerifyFlags = TzqFlagSet<TzqCertificateVerifyFlag>;

enum TzqCertificateChainVerifyFlag {
  rfCheckEndOnly,
  rfCheckAll,
  rfExcludeRoot,
  rfCacheEndCert,
  rfCheckCacheOnly,
  rfUseCacheOnlyUrlRetrieval,
  rfDisableRootAutoUpdate,
  rfAccumulativeTimeout,
};
using TzqCertificateChainVerifyFlags = TzqFlagSet<TzqCertificateChainVerifyFlag>;

using TzqVerifyPeerEvent = std::function<void(TzqObject* Sender, TzqCertificate* ACertificate,
                                              const std::string& AStatusText, int32_t AStatusCode, bool& AVerified)>;

enum TzqTlsStepResult {
  srOk = 0,
  srNoAction = 1,
  srRenegotiate = 2,
  srSendToken = 3,
  srAwaitingPeer = 4,
  srNeedMoreData = 5,
  srSendFinal = 6,
  srContinue = 7,
  srClosed = 8,
  srIncompleteRecord = 9,
  srOkWithExtra = 10,
  srPartialRecord = 11,
  srCertificateNeeded = 12,
};

inline const TzqTlsFlags kDefaultTlsFlags{tfUseTLS, tfUseTLS11, tfUseTLS12};

// The provider's enabled-protocol bits for a flag set (client or server bits).
ZQ_API uint32_t TlsProtocolBits(TzqTlsFlags flags, bool server);
// The SSL policy's ignore-checks, the chain policy flags, and the chain-building flags.
ZQ_API uint32_t CertificateCheckFlags(TzqCertificateVerifyFlags flags);
ZQ_API uint32_t ChainPolicyFlags(TzqCertificateVerifyFlags flags);
ZQ_API uint32_t ChainBuildFlags(TzqCertificateChainVerifyFlags flags);
// The step result for a provider status; any other status raises with the fallback code.
ZQ_API TzqTlsStepResult MapStatus(int32_t status, int32_t fallback);
ZQ_API TzqTlsStepResult MapStatus(int32_t status);

// The security package names in order of preference.
extern ZQ_API const char* const kTlsPackageNames[4];

class ZQ_API TzqTlsSspi : public TzqSspi {
public:
  TzqTlsSspi();
  ~TzqTlsSspi() override;

  std::string ClassName() const override { return "TzqTlsSspi"; }

  virtual TzqTlsStepResult CloseSession(TzqMemoryStream& stream) = 0;
  virtual TzqTlsStepResult HandshakeStep(TzqMemoryStream& stream, TzqCertificateList& certificates, bool proceed) = 0;

  const SecPkgContext_StreamSizes& GetStreamSizes();
  // Protects count bytes from the source's position into records at the destination's
  // position; both positions are left where they were.
  TzqTlsStepResult Encrypt(TzqStream& source, TzqStream& destination, int64_t count);
  // Decrypts the records from the input's position into output; a partial record is kept in
  // rest (which may be the input itself).
  TzqTlsStepResult Decrypt(TzqMemoryStream& input, TzqStream& output, TzqMemoryStream& rest);

  // The package name the credentials are acquired for.
  const char* PackageName();
  int PackageIndex() const { return packageIndex_; }
  int32_t LastStatus() const { return lastStatus_; }
  TzqCertificate* PeerCertificate() const { return peerCertificate_.get(); }
  bool ServerVerified() const { return serverVerified_; }
  // The last step ended the handshake; a token it left in the stream is the last of it.
  bool HandshakeComplete() const { return handshakeComplete_; }
  bool HasContext() const { return context_.dwLower != 0 || context_.dwUpper != 0; }
  // The negotiated protocol (one SP_PROT_* bit), 0 before the handshake finished.
  uint32_t NegotiatedProtocol();

  TzqCertificateVerifyFlags CertificateFlags() const { return certificateFlags_; }
  void SetCertificateFlags(TzqCertificateVerifyFlags v) { certificateFlags_ = v; }
  TzqTlsFlags TLSFlags() const { return tlsFlags_; }
  void SetTLSFlags(TzqTlsFlags v) { tlsFlags_ = v; }
  const std::string& SecurityPackage() const { return securityPackage_; }
  void SetSecurityPackage(const std::string& v);
  bool SendRootCertificate() const { return sendRootCertificate_; }
  void SetSendRootCertificate(bool v) { sendRootCertificate_ = v; }
  bool UseStrongCryptoAlgorithms() const { return useStrongCryptoAlgorithms_; }
  void SetUseStrongCryptoAlgorithms(bool v) { useStrongCryptoAlgorithms_ = v; }
  TzqCertificateChainVerifyFlags CertChainFlags() const { return certChainFlags_; }
  void SetCertChainFlags(TzqCertificateChainVerifyFlags v) { certChainFlags_ = v; }
  uint32_t CertChainRetrievalTimeout() const { return certChainRetrievalTimeout_; }
  void SetCertChainRetrievalTimeout(uint32_t v) { certChainRetrievalTimeout_ = v; }
  bool UseSystemTLSFlags() const { return useSystemTlsFlags_; }
  void SetUseSystemTLSFlags(bool v) { useSystemTlsFlags_ = v; }

protected:
  // The certificate contexts that a credential record points to, for the length of one step.
  using TzqCredentialCertificates = std::vector<PCCERT_CONTEXT>;

  SCHANNEL_CRED BuildCredentialRecord(bool server) const;
  bool AcquireCredentials(TzqCertificateList& certificates, bool proceed, uint32_t use, SCHANNEL_CRED& record,
                          TzqCredentialCertificates& contexts);
  // AcquireCredentialsHandleA with the record as it is; raises with -4 on failure.
  void AcquireCredentialsHandle(uint32_t use, SCHANNEL_CRED& record);
  // Ends the session: the next step starts a new handshake; with a context, the shutdown
  // token goes into stream.
  TzqTlsStepResult EndSession(TzqMemoryStream& stream, bool server);
  // Sends the shutdown control and runs the final context step; the token goes into stream.
  TzqTlsStepResult Shutdown(TzqMemoryStream& stream, bool server);
  void FetchPeerCertificate();
  void FreePeerCertificate() { peerCertificate_.reset(); }
  void DeleteContext();
  void FreeCredentials();

  CredHandle credentials_;
  CtxtHandle context_;
  int32_t lastStatus_ = 0;
  bool serverVerified_ = false;
  bool firstStep_ = true;
  bool handshakeComplete_ = false;

private:
  void FindPackage();

  int packageIndex_ = 4;
  std::vector<uint8_t> decryptBuffer_;  // kept between calls: one is made for every read
  SecPkgContext_StreamSizes streamSizes_;
  std::unique_ptr<TzqCertificate> peerCertificate_;
  TzqCertificateVerifyFlags certificateFlags_;
  TzqTlsFlags tlsFlags_ = kDefaultTlsFlags;
  std::string securityPackage_;
  std::string packageNameCopy_;
  bool hasPackageNameCopy_ = false;
  bool sendRootCertificate_ = false;
  bool useStrongCryptoAlgorithms_ = false;
  TzqCertificateChainVerifyFlags certChainFlags_;
  uint32_t certChainRetrievalTimeout_ = 0;
  bool useSystemTlsFlags_ = true;
};

class ZQ_API TzqTlsClientSspi : public TzqTlsSspi {
public:
  TzqTlsClientSspi();

  std::string ClassName() const override { return "TzqTlsClientSspi"; }
  TzqTlsStepResult CloseSession(TzqMemoryStream& stream) override;
  TzqTlsStepResult HandshakeStep(TzqMemoryStream& stream, TzqCertificateList& certificates, bool proceed) override;

  const std::string& TargetName() const { return targetName_; }
  void SetTargetName(const std::string& v) { targetName_ = v; }
  // Trust anchors that replace the system store when either is set (PEM file, hashed directory).
  const std::string& CAFile() const { return trustAnchors_.caFile; }
  void SetCAFile(const std::string& v) { trustAnchors_.caFile = v; }
  const std::string& CAPath() const { return trustAnchors_.caPath; }
  void SetCAPath(const std::string& v) { trustAnchors_.caPath = v; }

private:
  TzqTlsStepResult FirstStep(SCHANNEL_CRED& record, TzqMemoryStream& stream);
  TzqTlsStepResult NextStep(SCHANNEL_CRED& record, TzqMemoryStream& stream, bool proceed,
                            TzqCertificateList& certificates, TzqCredentialCertificates& contexts);
  bool VerifyServer();

  std::string targetName_;
  CERT_CHAIN_ENGINE_CONFIG trustAnchors_;
};

class ZQ_API TzqTlsServerSspi : public TzqTlsSspi {
public:
  TzqTlsServerSspi() = default;

  std::string ClassName() const override { return "TzqTlsServerSspi"; }
  TzqTlsStepResult CloseSession(TzqMemoryStream& stream) override;
  TzqTlsStepResult HandshakeStep(TzqMemoryStream& stream, TzqCertificateList& certificates, bool proceed) override;

  bool RequireClientCertificate() const { return requireClientCertificate_; }
  void SetRequireClientCertificate(bool v) { requireClientCertificate_ = v; }

private:
  bool requireClientCertificate_ = false;
};

}  // namespace zq
