#pragma once
// The TLS network stream: runs a TLS session over the connection's socket inside the
// connection's ordinary read and write loops. It performs the handshake, protects what is
// written, decrypts what is read, keeps partial records and surplus plaintext between calls,
// and checks the server's certificate.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/zqApi.h"
#include "net/zqSocket.h"
#include "tls/zqSspiTls.h"

namespace zq {

// Asked for a client certificate (or a server's own certificate); ACertificate starts null.
using TzqGetCertificateCallback = std::function<void(TzqCertificate*& ACertificate, TzqCertificateList& AExtraCerts, bool& Handled)>;
// Told the verdict on the peer's certificate; may change AVerified.
using TzqVerifyServerCallback =
    std::function<void(TzqCertificate* ACertificate, const std::string& AStatusText, int32_t AStatusCode, bool& AVerified)>;

class ZQ_API TzqTlsNetworkStream : public TzqNetworkStream {
public:
  TzqTlsNetworkStream();
  ~TzqTlsNetworkStream() override;

  std::string ClassName() const override { return "TzqTlsNetworkStream"; }

  void AssignFrom(const TzqNetworkStream& other) override;
  void PrepareClose(bool notifyPeer) override;
  // Empty: the stream tells the connection itself once its handshake has finished.
  void NotifyReady() override {}
  bool ReadToStream(TzqStream* stream) override;
  bool WriteFromStream(TzqStream* stream) override;
  int32_t GetReadBatchSize() override;
  int32_t GetWriteBatchSize() override;
  bool IsLimitReached() override;
  void ResetCounter() override;
  void AddBytes(int64_t n) override;
  void BeforeConnect() override;
  void BeforeAccept() override;

  TzqTlsStepResult State() const { return state_; }
  int64_t RawByteCounter() const { return rawByteCounter_; }
  bool ServerVerified() const { return serverVerified_; }
  // The current engine (null before a session opens).
  TzqTlsSspi* Engine();

  TzqGetCertificateCallback GetCertificateCallback;
  TzqVerifyServerCallback VerifyServerCallback;

  TzqCertificateVerifyFlags CertificateFlags() const { return certificateFlags_; }
  void SetCertificateFlags(TzqCertificateVerifyFlags v);
  const std::string& TargetName() const { return targetName_; }
  void SetTargetName(const std::string& v);
  // A client's own trust anchors, used instead of the system store when set.
  const std::string& CAFile() const { return caFile_; }
  void SetCAFile(const std::string& v);
  const std::string& CAPath() const { return caPath_; }
  void SetCAPath(const std::string& v);
  TzqTlsFlags TLSFlags() const { return tlsFlags_; }
  void SetTLSFlags(TzqTlsFlags v);
  bool RequireClientCertificate() const { return requireClientCertificate_; }
  void SetRequireClientCertificate(bool v);
  const std::string& SecurityPackage() const { return securityPackage_; }
  void SetSecurityPackage(const std::string& v);
  bool UseStrongCryptoAlgorithms() const { return useStrongCryptoAlgorithms_; }
  void SetUseStrongCryptoAlgorithms(bool v);
  bool SendRootCertificate() const { return sendRootCertificate_; }
  void SetSendRootCertificate(bool v);
  TzqCertificateChainVerifyFlags CertChainFlags() const { return certChainFlags_; }
  void SetCertChainFlags(TzqCertificateChainVerifyFlags v);
  uint32_t CertChainRetrievalTimeout() const { return certChainRetrievalTimeout_; }
  void SetCertChainRetrievalTimeout(uint32_t v);
  bool UseSystemTLSFlags() const { return useSystemTlsFlags_; }
  void SetUseSystemTLSFlags(bool v);

private:
  void RunHandshakeStep(TzqStream* target);
  void ProcessReceived(TzqMemoryStream& received, TzqStream* target);
  bool SendProtected(TzqStream* source, int64_t count);
  void CheckServerVerified();
  int32_t RecordOverhead();
  // Creates the engine of a new session with this stream's settings.
  void OpenSession(std::unique_ptr<TzqTlsSspi> engine);
  void CopySettingsTo(TzqTlsSspi& engine) const;
  TzqTlsSspi& RequireEngine();

  TzqMemoryStream decrypted_;
  TzqMemoryStream outgoing_;
  TzqMemoryStream tlsInput_;
  TzqMemoryStream received_;  // one socket read, before it is processed
  std::unique_ptr<TzqTlsSspi> engine_;
  TzqTlsStepResult state_ = srOk;
  int32_t recordOverhead_ = 0;
  bool handshakePending_ = false;
  int64_t pendingChunkSize_ = 0;
  TzqCertificateVerifyFlags certificateFlags_;
  std::string targetName_;
  std::string caFile_;
  std::string caPath_;
  TzqTlsFlags tlsFlags_ = kDefaultTlsFlags;
  bool serverVerified_ = false;
  bool requireClientCertificate_ = false;
  std::mutex engineLock_;
  int64_t rawByteCounter_ = 0;
  bool sending_ = false;  // bytes the base counts while sending are not received bytes
  std::string securityPackage_;
  bool useStrongCryptoAlgorithms_ = false;
  bool sendRootCertificate_ = false;
  TzqCertificateChainVerifyFlags certChainFlags_;
  uint32_t certChainRetrievalTimeout_ = 0;
  bool useSystemTlsFlags_ = true;
};

}  // namespace zq
