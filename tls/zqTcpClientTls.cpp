#include "tls/zqTcpClientTls.h"

#include "core/zqScopeGuard.h"
#include "net/zqSocketUtils.h"

namespace zq {

TzqTcpClientTls::TzqTcpClientTls(TzqComponent* owner) : TzqTcpClient(owner) {
  // TLS 1.3 included: servers that speak nothing else are common.
  tls_.tlsFlags = {tfUseTLS, tfUseTLS11, tfUseTLS12, tfUseTLS13};
}

void TzqTcpClientTls::SetUseTLS(TzqClientTlsMode value) { Update(useTls_, value); }

std::unique_ptr<TzqNetworkStream> TzqTcpClientTls::CreateNetworkStream() {
  if (useTls_ == ctImplicit || (useTls_ == ctAutomatic && Port() != GetDefaultPort())) return CreateTlsStream();
  return TzqTcpClient::CreateNetworkStream();
}

std::unique_ptr<TzqTlsNetworkStream> TzqTcpClientTls::CreateTlsStream() {
  auto stream = std::make_unique<TzqTlsNetworkStream>();
  stream->SetSettings(tls_);
  stream->SetTargetName(Server());
  stream->GetCertificateCallback = [this](TzqCertificate*& certificate, TzqCertificateList& extra, bool& handled) {
    DoGetCertificate(certificate, extra, handled);
  };
  stream->VerifyServerCallback = [this](TzqCertificate* certificate, const std::string& text, int32_t code,
                                        bool& verified) { DoVerifyServer(certificate, text, code, verified); };
  return stream;
}

void TzqTcpClientTls::StartTls() {
  if (useTls_ == ctNone) SetUseTLS(ctExplicit);
  // A connection that could not switch is closed; a failure to close adds nothing to the first one.
  TzqScopeGuard closeOnFailure([this] { AbandonOpen(); });
  TzqTcpClientConnection& connection = GetConnection();
  connection.SetNetworkStream(CreateTlsStream());
  connection.ReopenStream();
  closeOnFailure.Dismiss();
}

void TzqTcpClientTls::DoGetCertificate(TzqCertificate*& certificate, TzqCertificateList& extraCerts, bool& handled) {
  if (OnGetCertificate) OnGetCertificate(this, certificate, extraCerts, handled);
}

void TzqTcpClientTls::DoVerifyServer(TzqCertificate* certificate, const std::string& statusText, int32_t statusCode,
                                     bool& verified) {
  if (OnVerifyServer) OnVerifyServer(this, certificate, statusText, statusCode, verified);
}

}  // namespace zq
