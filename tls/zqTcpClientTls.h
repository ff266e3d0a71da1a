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
  // The published TLS properties below, as one value.
  const TzqTlsSettings& TlsSettings() const { return tls_; }
  TzqCertificateVerifyFlags CertificateFlags() const { return tls_.certificateFlags; }
  void SetCertificateFlags(TzqCertificateVerifyFlags value) { Update(tls_.certificateFlags, value); }
  TzqCertificateChainVerifyFlags CertChainFlags() const { return tls_.certChainFlags; }
  void SetCertChainFlags(TzqCertificateChainVerifyFlags value) { Update(tls_.certChainFlags, value); }
  int32_t CertChainRetrievalTimeout() const { return static_cast<int32_t>(tls_.certChainRetrievalTimeout); }
  void SetCertChainRetrievalTimeout(int32_t value) { Update(tls_.certChainRetrievalTimeout, static_cast<uint32_t>(value)); }
  TzqTlsFlags TLSFlags() const { return tls_.tlsFlags; }
  void SetTLSFlags(TzqTlsFlags value) { Update(tls_.tlsFlags, value); }
  bool UseSystemTLSFlags() const { return tls_.useSystemTlsFlags; }
  void SetUseSystemTLSFlags(bool value) { Update(tls_.useSystemTlsFlags, value); }
  bool SendRootCertificate() const { return tls_.sendRootCertificate; }
  void SetSendRootCertificate(bool value) { Update(tls_.sendRootCertificate, value); }
  bool UseStrongCryptoAlgorithms() const { return tls_.useStrongCryptoAlgorithms; }
  void SetUseStrongCryptoAlgorithms(bool value) { Update(tls_.useStrongCryptoAlgorithms, value); }
  const std::string& SecurityPackage() const { return tls_.securityPackage; }
  void SetSecurityPackage(const std::string& value) { Update(tls_.securityPackage, value); }
  // A PEM file and a hashed directory of trusted CA certificates; when either is set they
  // replace the system store for this client only.
  const std::string& CAFile() const { return tls_.caFile; }
  void SetCAFile(const std::string& value) { Update(tls_.caFile, value); }
  const std::string& CAPath() const { return tls_.caPath; }
  void SetCAPath(const std::string& value) { Update(tls_.caPath, value); }

  TzqGetCertificateEvent OnGetCertificate;
  TzqVerifyPeerEvent OnVerifyServer;

protected:
  virtual void DoGetCertificate(TzqCertificate*& certificate, TzqCertificateList& extraCerts, bool& handled);
  virtual void DoVerifyServer(TzqCertificate* certificate, const std::string& statusText, int32_t statusCode, bool& verified);

private:
  TzqClientTlsMode useTls_ = ctNone;
  TzqTlsSettings tls_;
};

}  // namespace zq
