#include "tls/zqTcpClientTls.h"

#include <gtest/gtest.h>

namespace zq {
namespace {

class HttpLikeClient : public TzqTcpClientTls {
public:
  int32_t GetDefaultPort() const override { return 80; }
};

TEST(TcpClientTls, DefaultsAndChangeNotificationOnRealChangesOnly) {
  TzqTcpClientTls client;
  EXPECT_EQ(client.UseTLS(), ctNone);
  EXPECT_TRUE(client.TLSFlags() == (TzqTlsFlags{tfUseTLS, tfUseTLS11, tfUseTLS12, tfUseTLS13}));
  EXPECT_EQ(client.CAFile(), "");
  EXPECT_EQ(client.CAPath(), "");
  EXPECT_TRUE(client.UseSystemTLSFlags());
  EXPECT_FALSE(client.SendRootCertificate());
  EXPECT_FALSE(client.UseStrongCryptoAlgorithms());
  EXPECT_EQ(client.CertChainRetrievalTimeout(), 0);
  EXPECT_TRUE(client.CertificateFlags().Empty());
  int changes = 0;
  client.OnChanged = [&](TzqObject*) { ++changes; };
  client.SetUseTLS(ctImplicit);
  client.SetUseTLS(ctImplicit);
  client.SetSecurityPackage("x");
  client.SetSecurityPackage("x");
  client.SetTLSFlags({tfUseTLS13});
  client.SetCertificateFlags({cfIgnoreDateInvalid});
  client.SetCertificateFlags({cfIgnoreDateInvalid});
  client.SetCAFile("/ca.pem");
  client.SetCAFile("/ca.pem");
  EXPECT_EQ(changes, 5);
}

TEST(TcpClientTls, StreamKindFollowsTheModeAndThePort) {
  HttpLikeClient client;
  auto isTls = [&] { return dynamic_cast<TzqTlsNetworkStream*>(client.CreateNetworkStream().get()) != nullptr; };
  client.SetPort(443);
  EXPECT_FALSE(isTls());
  client.SetUseTLS(ctAutomatic);
  EXPECT_TRUE(isTls());
  client.SetPort(80);
  EXPECT_FALSE(isTls());
  client.SetUseTLS(ctImplicit);
  EXPECT_TRUE(isTls());
  client.SetUseTLS(ctExplicit);
  EXPECT_FALSE(isTls());
}

TEST(TcpClientTls, TlsStreamsTakeTheSettingsAndReachTheirEngine) {
  TzqTcpClientTls client;
  client.SetServer("example.test");
  client.SetTLSFlags({tfUseTLS12, tfUseTLS13});
  client.SetCertificateFlags({cfIgnoreRevocation});
  client.SetCertChainFlags({rfCheckEndOnly});
  client.SetCertChainRetrievalTimeout(1500);
  client.SetSendRootCertificate(true);
  client.SetSecurityPackage(" pkg ");
  client.SetCAFile("/trust/ca.pem");
  client.SetCAPath("/trust/dir");
  std::unique_ptr<TzqTlsNetworkStream> stream = client.CreateTlsStream();
  EXPECT_EQ(stream->TargetName(), "example.test");
  EXPECT_TRUE(stream->Settings() == client.TlsSettings());
  EXPECT_EQ(stream->Settings().caFile, "/trust/ca.pem");
  EXPECT_EQ(stream->Settings().certChainRetrievalTimeout, 1500u);
  EXPECT_FALSE(stream->RequireClientCertificate());
  // a stream keeps the settings it was made with
  client.SetCAPath("/later");
  EXPECT_EQ(stream->Settings().caPath, "/trust/dir");
  EXPECT_EQ(stream->Engine(), nullptr);

  stream->BeforeConnect();
  auto* engine = dynamic_cast<TzqTlsClientSspi*>(stream->Engine());
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(engine->TargetName(), "example.test");
  EXPECT_EQ(engine->CAFile(), "/trust/ca.pem");
  EXPECT_EQ(engine->CAPath(), "/trust/dir");
  EXPECT_TRUE(engine->TLSFlags() == (TzqTlsFlags{tfUseTLS12, tfUseTLS13}));
  EXPECT_TRUE(engine->CertificateFlags().Contains(cfIgnoreRevocation));
  EXPECT_TRUE(engine->CertChainFlags().Contains(rfCheckEndOnly));
  EXPECT_TRUE(engine->SendRootCertificate());
  EXPECT_EQ(engine->CertChainRetrievalTimeout(), 1500u);
  EXPECT_STREQ(engine->PackageName(), " pkg ");
  EXPECT_EQ(stream->PendingAction(), kPendingWrite);
  stream->SetTargetName("other.test");
  EXPECT_EQ(engine->TargetName(), "other.test");
  TzqTlsSettings changed = stream->Settings();
  changed.caFile = "/other/ca.pem";
  changed.securityPackage = "";
  stream->SetSettings(changed);
  EXPECT_EQ(engine->CAFile(), "/other/ca.pem");
  EXPECT_STREQ(engine->PackageName(), "Microsoft Unified Security Protocol Provider");

  TzqTlsNetworkStream copy;
  copy.AssignFrom(*stream);
  EXPECT_EQ(copy.TargetName(), "other.test");
  EXPECT_TRUE(copy.Settings() == changed);

  copy.SetRequireClientCertificate(true);
  copy.BeforeAccept();
  auto* server = dynamic_cast<TzqTlsServerSspi*>(copy.Engine());
  ASSERT_NE(server, nullptr);
  EXPECT_TRUE(server->RequireClientCertificate());
  EXPECT_EQ(copy.State(), srAwaitingPeer);
  EXPECT_EQ(copy.PendingAction(), kPendingRead);
}

TEST(TcpClientTls, EventsReceiveTheComponentAsSender) {
  TzqTcpClientTls client;
  TzqObject* sender = nullptr;
  client.OnGetCertificate = [&](TzqObject* s, TzqCertificate*&, TzqCertificateList&, bool& handled) {
    sender = s;
    handled = true;
  };
  std::unique_ptr<TzqTlsNetworkStream> stream = client.CreateTlsStream();
  TzqCertificate* certificate = nullptr;
  TzqCertificateList extra(false);
  bool handled = false;
  stream->GetCertificateCallback(certificate, extra, handled);
  EXPECT_EQ(sender, &client);
  EXPECT_TRUE(handled);
}

}  // namespace
}  // namespace zq
