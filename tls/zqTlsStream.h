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
using TzqGetCertificateCallback =
    std::function<void(TzqCertificate*& ACertificate, TzqCertificateList& AExtraCerts, bool& Handled)>;
// Told the verdict on the peer's certificate; may change AVerified.
using TzqVerifyServerCallback = std::function<void(TzqCertificate* ACertificate, const std::string& AStatusText,
                                                   int32_t AStatusCode, bool& AVerified)>;

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

  // The settings every session of this stream starts with; a change reaches a running engine too.
  const TzqTlsSettings& Settings() const { return settings_; }
  void SetSettings(const TzqTlsSettings& v);
  const std::string& TargetName() const { return targetName_; }
  void SetTargetName(const std::string& v);
  bool RequireClientCertificate() const { return requireClientCertificate_; }
  void SetRequireClientCertificate(bool v);

private:
  void RunHandshakeStep(TzqStream* target);
  // Reads from the socket into the TLS input; false when nothing came.
  bool ReceiveRecords();
  void ProcessReceived(TzqStream* target);
  bool SendProtected(TzqStream* source, int64_t count);
  void CheckServerVerified();
  int32_t RecordOverhead();
  // Creates the engine of a new session with this stream's settings.
  void OpenSession(std::unique_ptr<TzqTlsSspi> engine);
  void CopySettingsTo(TzqTlsSspi& engine) const;
  void UpdateEngine();
  TzqTlsSspi& RequireEngine();

  TzqMemoryStream decrypted_;
  TzqMemoryStream outgoing_;
  TzqMemoryStream tlsInput_;
  std::unique_ptr<TzqTlsSspi> engine_;
  TzqTlsStepResult state_ = srOk;
  int32_t recordOverhead_ = 0;
  bool handshakePending_ = false;
  int64_t pendingChunkSize_ = 0;
  TzqTlsSettings settings_;
  std::string targetName_;
  bool serverVerified_ = false;
  bool requireClientCertificate_ = false;
  std::mutex engineLock_;
  int64_t rawByteCounter_ = 0;
  bool sending_ = false;  // bytes the base counts while sending are not received bytes
};

}  // namespace zq
