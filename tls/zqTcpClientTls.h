#pragma once
// The TCP client with TLS: publishes the TLS settings and events, and opens a TLS stream
// instead of a plain one when TLS is wanted, from the start (implicit) or later (StartTls).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/zqTcpClient.h"
#include "tls/zqTlsStream.h"

namespace zq {

enum TzqClientTlsMode { ctNone, ctAutomatic, ctImplicit, ctExplicit };

using TzqGetCertificateEvent =
    std::function<void(TzqObject* Sender, TzqCertificate*& ACertificate, TzqCertificateList& AExtraCerts, bool& Handled)>;

class TzqTcpClientTls : public TzqTcpClient {
public:
  explicit TzqTcpClientTls(TzqComponent* owner = nullptr);
  std::string ClassName() const override { return "TzqTcpClientTls"; }

  std::unique_ptr<TzqNetworkStream> CreateNetworkStream() override;
  virtual void SetUseTLS(TzqClientTlsMode value);
  // Switches the open connection to TLS.
  virtual void StartTls();

  std::unique_ptr<TzqTlsNetworkStream> CreateTlsStream();

  TzqClientTlsMode UseTLS() const { return useTls_; }
  TzqCertificateVerifyFlags CertificateFlags() const { return certificateFlags_; }
  void SetCertificateFlags(TzqCertificateVerifyFlags value) { Update(certificateFlags_, value); }
  TzqCertificateChainVerifyFlags CertChainFlags() const { return certChainFlags_; }
  void SetCertChainFlags(TzqCertificateChainVerifyFlags value) { Update(certChainFlags_, value); }
  int32_t CertChainRetrievalTimeout() const { return certChainRetrievalTimeout_; }
  void SetCertChainRetrievalTimeout(int32_t value) { Update(certChainRetrievalTimeout_, value); }
  TzqTlsFlags TLSFlags() const { return tlsFlags_; }
  void SetTLSFlags(TzqTlsFlags value) { Update(tlsFlags_, value); }
  bool UseSystemTLSFlags() const { return useSystemTlsFlags_; }
  void SetUseSystemTLSFlags(bool value) { Update(useSystemTlsFlags_, value); }
  bool SendRootCertificate() const { return sendRootCertificate_; }
  void SetSendRootCertificate(bool value) { Update(sendRootCertificate_, value); }
  bool UseStrongCryptoAlgorithms() const { return useStrongCryptoAlgorithms_; }
  void SetUseStrongCryptoAlgorithms(bool value) { Update(useStrongCryptoAlgorithms_, value); }
  const std::string& SecurityPackage() const { return securityPackage_; }
  void SetSecurityPackage(const std::string& value) { Update(securityPackage_, value); }
  // A PEM file and a hashed directory of trusted CA certificates; when either is set they
  // replace the system store for this client only.
  const std::string& CAFile() const { return caFile_; }
  void SetCAFile(const std::string& value) { Update(caFile_, value); }
  const std::string& CAPath() const { return caPath_; }
  void SetCAPath(const std::string& value) { Update(caPath_, value); }

  TzqGetCertificateEvent OnGetCertificate;
  TzqVerifyPeerEvent OnVerifyServer;

protected:
  virtual void DoGetCertificate(TzqCertificate*& certificate, TzqCertificateList& extraCerts, bool& handled);
  virtual void DoVerifyServer(TzqCertificate* certificate, const std::string& statusText, int32_t statusCode, bool& verified);

private:
  template <typename T>
  void Update(T& field, const T& value) {
    if (field == value) return;
    field = value;
    Changed();
  }

  TzqClientTlsMode useTls_ = ctNone;
  TzqCertificateVerifyFlags certificateFlags_;
  TzqCertificateChainVerifyFlags certChainFlags_;
  int32_t certChainRetrievalTimeout_ = 0;
  // TLS 1.3 included: servers that speak nothing else are common.
  TzqTlsFlags tlsFlags_{tfUseTLS, tfUseTLS11, tfUseTLS12, tfUseTLS13};
  bool useSystemTlsFlags_ = true;
  bool sendRootCertificate_ = false;
  bool useStrongCryptoAlgorithms_ = false;
  std::string securityPackage_;
  std::string caFile_;
  std::string caPath_;
};

}  // namespace zq
