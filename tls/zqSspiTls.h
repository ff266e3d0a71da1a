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
#include "tls/zqTlsSettings.h"

namespace zq {

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
  // rest (which may be the input itself), from its start. Records are decrypted where they lie,
  // so the input's bytes before the partial record are not kept.
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
  // The negotiated cipher's key size in bits, 0 before the handshake finished.
  uint32_t NegotiatedCipherStrength();

  const TzqTlsSettings& Settings() const { return settings_; }
  void SetSettings(const TzqTlsSettings& v);

  TzqCertificateVerifyFlags CertificateFlags() const { return settings_.certificateFlags; }
  void SetCertificateFlags(TzqCertificateVerifyFlags v) { settings_.certificateFlags = v; }
  TzqTlsFlags TLSFlags() const { return settings_.tlsFlags; }
  void SetTLSFlags(TzqTlsFlags v) { settings_.tlsFlags = v; }
  const std::string& SecurityPackage() const { return settings_.securityPackage; }
  void SetSecurityPackage(const std::string& v);
  bool SendRootCertificate() const { return settings_.sendRootCertificate; }
  void SetSendRootCertificate(bool v) { settings_.sendRootCertificate = v; }
  bool UseStrongCryptoAlgorithms() const { return settings_.useStrongCryptoAlgorithms; }
  void SetUseStrongCryptoAlgorithms(bool v) { settings_.useStrongCryptoAlgorithms = v; }
  TzqCertificateChainVerifyFlags CertChainFlags() const { return settings_.certChainFlags; }
  void SetCertChainFlags(TzqCertificateChainVerifyFlags v) { settings_.certChainFlags = v; }
  uint32_t CertChainRetrievalTimeout() const { return settings_.certChainRetrievalTimeout; }
  void SetCertChainRetrievalTimeout(uint32_t v) { settings_.certChainRetrievalTimeout = v; }
  bool UseSystemTLSFlags() const { return settings_.useSystemTlsFlags; }
  void SetUseSystemTLSFlags(bool v) { settings_.useSystemTlsFlags = v; }
  // Trust anchors of a client's server check (the settings' own; a server engine ignores them).
  const std::string& CAFile() const { return settings_.caFile; }
  void SetCAFile(const std::string& v) { settings_.caFile = v; }
  const std::string& CAPath() const { return settings_.caPath; }
  void SetCAPath(const std::string& v) { settings_.caPath = v; }

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
  SecPkgContext_ConnectionInfo ConnectionInfo();
  // Protects n bytes from the source into one record at the destination's position.
  TzqTlsStepResult SealRecord(TzqStream& source, TzqStream& destination, uint32_t n);

  int packageIndex_ = 4;
  std::vector<uint8_t> sealBuffer_;  // records for destinations other than memory, kept between calls
  SecPkgContext_StreamSizes streamSizes_;
  std::unique_ptr<TzqCertificate> peerCertificate_;
  TzqTlsSettings settings_;
  std::string packageNameCopy_;
  bool hasPackageNameCopy_ = false;
};

class ZQ_API TzqTlsClientSspi : public TzqTlsSspi {
public:
  TzqTlsClientSspi();

  std::string ClassName() const override { return "TzqTlsClientSspi"; }
  TzqTlsStepResult CloseSession(TzqMemoryStream& stream) override;
  TzqTlsStepResult HandshakeStep(TzqMemoryStream& stream, TzqCertificateList& certificates, bool proceed) override;

  const std::string& TargetName() const { return targetName_; }
  void SetTargetName(const std::string& v) { targetName_ = v; }

private:
  TzqTlsStepResult FirstStep(SCHANNEL_CRED& record, TzqMemoryStream& stream);
  TzqTlsStepResult NextStep(SCHANNEL_CRED& record, TzqMemoryStream& stream, bool proceed,
                            TzqCertificateList& certificates, TzqCredentialCertificates& contexts);
  bool VerifyServer();

  std::string targetName_;
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
