#pragma once
// The TCP client with TLS: publishes the TLS settings and events, and opens a TLS stream
// instead of a plain one when TLS is wanted, from the start (implicit) or later (StartTls).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/zqApi.h"
#include "net/zqTcpClient.h"
#include "tls/zqTlsStream.h"

namespace zq {

/// When a TzqTcpClientTls speaks TLS: ctNone never; ctImplicit from the connection's start;
/// ctAutomatic from the start when Port is not GetDefaultPort(); ctExplicit after StartTls.
enum TzqClientTlsMode { ctNone, ctAutomatic, ctImplicit, ctExplicit };

/// OnGetCertificate: asked for a client certificate during the handshake. ACertificate starts
/// null; one set (and any in AExtraCerts) stays the handler's and must outlive the handshake.
using TzqGetCertificateEvent =
    std::function<void(TzqObject* Sender, TzqCertificate*& ACertificate, TzqCertificateList& AExtraCerts, bool& Handled)>;

/// The TCP client with TLS: publishes the TLS settings and events and gives each connection a
/// TLS stream when UseTLS asks for one. Settings take effect at the next handshake.
///
/// The server certificate is checked against the system store (or CAFile and CAPath) and the
/// host name Server; a refusal that no CertificateFlags ignore and no OnVerifyServer handler
/// overrules ends the connection with EzqSocketError, ErrorCode the CryptoAPI verdict
/// (0x800B0109 untrusted root, 0x800B0101 expired, 0x800B010F name mismatch, ...). A failed
/// handshake raises EzqSSPIError.
class ZQ_API TzqTcpClientTls : public TzqTcpClient {
public:
  /// An owner destroys the client with itself. TLS 1.0 to 1.3 offered, no TLS by default.
  explicit TzqTcpClientTls(TzqComponent* owner = nullptr);
  /// "TzqTcpClientTls".
  std::string ClassName() const override { return "TzqTcpClientTls"; }

  /// A TLS stream (CreateTlsStream) when UseTLS wants TLS from the start, else a plain one.
  std::unique_ptr<TzqNetworkStream> CreateNetworkStream() override;
  /// Sets UseTLS; it takes effect at the next connection.
  virtual void SetUseTLS(TzqClientTlsMode value);
  /// Switches the open connection to TLS (UseTLS becomes ctExplicit when it was ctNone) and
  /// runs the handshake. On failure the connection is closed and the error rethrown.
  virtual void StartTls();

  /// A new TLS stream carrying this client's settings and events, the caller's to own.
  std::unique_ptr<TzqTlsNetworkStream> CreateTlsStream();

  /// When the connection speaks TLS (ctNone).
  TzqClientTlsMode UseTLS() const { return useTls_; }
  /// Faults of the server certificate to ignore (name, date, unknown authority, revocation, ...).
  TzqCertificateVerifyFlags CertificateFlags() const { return certificateFlags_; }
  /// Sets CertificateFlags.
  void SetCertificateFlags(TzqCertificateVerifyFlags value) { Update(certificateFlags_, value); }
  /// How the server's chain is built and its revocation checked (none of them by default).
  TzqCertificateChainVerifyFlags CertChainFlags() const { return certChainFlags_; }
  /// Sets CertChainFlags.
  void SetCertChainFlags(TzqCertificateChainVerifyFlags value) { Update(certChainFlags_, value); }
  /// Milliseconds chain building may spend fetching certificates by URL (0: the default).
  /// Chains are built from local certificates here, so nothing waits on it.
  int32_t CertChainRetrievalTimeout() const { return certChainRetrievalTimeout_; }
  /// Sets CertChainRetrievalTimeout.
  void SetCertChainRetrievalTimeout(int32_t value) { Update(certChainRetrievalTimeout_, value); }
  /// The protocol versions offered (TLS 1.0 to 1.3 by default). SSL 2 and 3 are accepted and
  /// never offered; a set with nothing OpenSSL can offer fails the handshake.
  TzqTlsFlags TLSFlags() const { return tlsFlags_; }
  /// Sets TLSFlags.
  void SetTLSFlags(TzqTlsFlags value) { Update(tlsFlags_, value); }
  /// Stored and passed on (true); the versions offered always come from TLSFlags.
  bool UseSystemTLSFlags() const { return useSystemTlsFlags_; }
  /// Sets UseSystemTLSFlags.
  void SetUseSystemTLSFlags(bool value) { Update(useSystemTlsFlags_, value); }
  /// Send the root of the client certificate's chain too (false).
  bool SendRootCertificate() const { return sendRootCertificate_; }
  /// Sets SendRootCertificate.
  void SetSendRootCertificate(bool value) { Update(sendRootCertificate_, value); }
  /// Offer only forward-secret AEAD cipher suites (false).
  bool UseStrongCryptoAlgorithms() const { return useStrongCryptoAlgorithms_; }
  /// Sets UseStrongCryptoAlgorithms.
  void SetUseStrongCryptoAlgorithms(bool value) { Update(useStrongCryptoAlgorithms_, value); }
  /// The security provider's package by name; blank: the provider's TLS package. A name the
  /// provider does not know fails the handshake with EzqSSPIError.
  const std::string& SecurityPackage() const { return securityPackage_; }
  /// Sets SecurityPackage.
  void SetSecurityPackage(const std::string& value) { Update(securityPackage_, value); }
  /// A PEM file and a hashed directory of trusted CA certificates; when either is set they
  /// replace the system store for this client only.
  const std::string& CAFile() const { return caFile_; }
  /// Sets CAFile.
  void SetCAFile(const std::string& value) { Update(caFile_, value); }
  /// The hashed directory (c_rehash names) of trusted CA certificates; see CAFile.
  const std::string& CAPath() const { return caPath_; }
  /// Sets CAPath.
  void SetCAPath(const std::string& value) { Update(caPath_, value); }

  /// Asked for a client certificate when the server requests one.
  TzqGetCertificateEvent OnGetCertificate;
  /// Told the verdict on the server certificate: AVerified whether it passed, AStatusCode and
  /// AStatusText the CryptoAPI verdict when not. Setting AVerified accepts or refuses the server.
  TzqVerifyPeerEvent OnVerifyServer;

protected:
  /// Raises OnGetCertificate; a subclass may override it to supply a certificate.
  virtual void DoGetCertificate(TzqCertificate*& certificate, TzqCertificateList& extraCerts, bool& handled);
  /// Raises OnVerifyServer; a subclass may override it to judge the server.
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
