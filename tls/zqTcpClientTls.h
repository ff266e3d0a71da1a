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
using TzqGetCertificateEvent = std::function<void(TzqObject* Sender, TzqCertificate*& ACertificate,
                                                  TzqCertificateList& AExtraCerts, bool& Handled)>;

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
  /// The published TLS properties below, as one value.
  const TzqTlsSettings& TlsSettings() const { return tls_; }
  /// Faults of the server certificate to ignore (name, date, unknown authority, revocation, ...).
  TzqCertificateVerifyFlags CertificateFlags() const { return tls_.certificateFlags; }
  /// Sets CertificateFlags.
  void SetCertificateFlags(TzqCertificateVerifyFlags value) { Update(tls_.certificateFlags, value); }
  /// How the server's chain is built and its revocation checked (none of them by default).
  TzqCertificateChainVerifyFlags CertChainFlags() const { return tls_.certChainFlags; }
  /// Sets CertChainFlags.
  void SetCertChainFlags(TzqCertificateChainVerifyFlags value) { Update(tls_.certChainFlags, value); }
  /// Milliseconds chain building may spend fetching certificates by URL (0: the default).
  /// Chains are built from local certificates here, so nothing waits on it.
  int32_t CertChainRetrievalTimeout() const { return static_cast<int32_t>(tls_.certChainRetrievalTimeout); }
  /// Sets CertChainRetrievalTimeout.
  void SetCertChainRetrievalTimeout(int32_t value) {
    Update(tls_.certChainRetrievalTimeout, static_cast<uint32_t>(value));
  }
  /// The protocol versions offered (TLS 1.0 to 1.3 by default). SSL 2 and 3 are accepted and
  /// never offered; a set with nothing OpenSSL can offer fails the handshake.
  TzqTlsFlags TLSFlags() const { return tls_.tlsFlags; }
  /// Sets TLSFlags.
  void SetTLSFlags(TzqTlsFlags value) { Update(tls_.tlsFlags, value); }
  /// Stored and passed on (true); the versions offered always come from TLSFlags.
  bool UseSystemTLSFlags() const { return tls_.useSystemTlsFlags; }
  /// Sets UseSystemTLSFlags.
  void SetUseSystemTLSFlags(bool value) { Update(tls_.useSystemTlsFlags, value); }
  /// Send the root of the client certificate's chain too (false).
  bool SendRootCertificate() const { return tls_.sendRootCertificate; }
  /// Sets SendRootCertificate.
  void SetSendRootCertificate(bool value) { Update(tls_.sendRootCertificate, value); }
  /// Offer only forward-secret AEAD cipher suites (false).
  bool UseStrongCryptoAlgorithms() const { return tls_.useStrongCryptoAlgorithms; }
  /// Sets UseStrongCryptoAlgorithms.
  void SetUseStrongCryptoAlgorithms(bool value) { Update(tls_.useStrongCryptoAlgorithms, value); }
  /// The security provider's package by name; blank: the provider's TLS package. A name the
  /// provider does not know fails the handshake with EzqSSPIError.
  const std::string& SecurityPackage() const { return tls_.securityPackage; }
  /// Sets SecurityPackage.
  void SetSecurityPackage(const std::string& value) { Update(tls_.securityPackage, value); }
  /// A PEM file and a hashed directory of trusted CA certificates; when either is set they
  /// replace the system store for this client only.
  const std::string& CAFile() const { return tls_.caFile; }
  /// Sets CAFile.
  void SetCAFile(const std::string& value) { Update(tls_.caFile, value); }
  /// The hashed directory (c_rehash names) of trusted CA certificates; see CAFile.
  const std::string& CAPath() const { return tls_.caPath; }
  /// Sets CAPath.
  void SetCAPath(const std::string& value) { Update(tls_.caPath, value); }

  /// Asked for a client certificate when the server requests one.
  TzqGetCertificateEvent OnGetCertificate;
  /// Told the verdict on the server certificate: AVerified whether it passed, AStatusCode and
  /// AStatusText the CryptoAPI verdict when not. Setting AVerified accepts or refuses the server.
  TzqVerifyPeerEvent OnVerifyServer;

protected:
  /// Raises OnGetCertificate; a subclass may override it to supply a certificate.
  virtual void DoGetCertificate(TzqCertificate*& certificate, TzqCertificateList& extraCerts, bool& handled);
  /// Raises OnVerifyServer; a subclass may override it to judge the server.
  virtual void DoVerifyServer(TzqCertificate* certificate, const std::string& statusText, int32_t statusCode,
                              bool& verified);

private:
  TzqClientTlsMode useTls_ = ctNone;
  TzqTlsSettings tls_;
};

}  // namespace zq
