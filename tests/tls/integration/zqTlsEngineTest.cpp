// The TLS engine against OpenSSL's own client and server on loopback, over plain sockets.

#include <gtest/gtest.h>

#include <thread>

#include "tests/tls/integration/zqTlsPeers.h"
#include "tls/zqSspiTls.h"

namespace zq {
namespace {

using test::TlsCertificates;
using test::TlsPeer;

struct TlsVersion {
  const char* option;
  TzqTlsFlags flags;
  uint32_t protocol;
};

class EngineAgainstSServer : public ::testing::TestWithParam<TlsVersion> {};

TEST_P(EngineAgainstSServer, HandshakeVerifyAndAPage) {
  TlsPeer peer("server", {"-www", GetParam().option});
  int fd = test::ConnectTo(peer.Port());
  TzqTlsClientSspi client;
  client.SetTargetName("localhost");
  client.SetTLSFlags(GetParam().flags);
  TzqCertificateList none(false);
  TzqTlsStepResult result = test::DriveHandshake(fd, client, none, true);
  EXPECT_TRUE(result == srOk || result == srOkWithExtra);
  EXPECT_TRUE(client.ServerVerified());
  EXPECT_EQ(client.NegotiatedProtocol(), GetParam().protocol);
  test::WriteAll(fd, test::Seal(client, "GET / HTTP/1.0\r\n\r\n"));
  std::string page = test::OpenAll(fd, client);
  EXPECT_EQ(page.rfind("HTTP/1.0 200 ok\r\n", 0), 0u) << page.substr(0, 200);
  ::close(fd);
}

INSTANTIATE_TEST_SUITE_P(Versions, EngineAgainstSServer,
                         ::testing::Values(TlsVersion{"-tls1_2", kDefaultTlsFlags, SP_PROT_TLS1_2_CLIENT},
                                           TlsVersion{"-tls1_3", {tfUseTLS12, tfUseTLS13}, SP_PROT_TLS1_3_CLIENT}),
                         [](const auto& info) { return std::string(info.param.option + 1); });

TEST(EngineAgainstSServer, ProtocolMismatchIsAnSspiError) {
  TlsPeer peer("server", {"-www", "-tls1_3"});
  int fd = test::ConnectTo(peer.Port());
  TzqTlsClientSspi client;  // offers TLS 1.0 to 1.2 only
  TzqCertificateList none(false);
  try {
    test::DriveHandshake(fd, client, none, true);
    ADD_FAILURE() << "handshake succeeded";
  } catch (const EzqSSPIError& e) {
    EXPECT_LT(e.ErrorCode(), 0);
  }
  ::close(fd);
}

TEST(ServerEngine, AnswersSClient) {
  int listener = test::ListenOn(false, 0);
  int port = test::LocalPort(listener);
  const TlsCertificates& pki = TlsCertificates::Get();
  test::TempDir dir;
  std::string output = dir.File("s_client.out");
  std::thread client([&] {
    std::string command =
        "(printf 'ping\\n'; sleep 2) | timeout 20 openssl s_client -connect 127.0.0.1:" + std::to_string(port) +
        " -servername localhost -verify_return_error -quiet -CAfile '" + pki.File("ca.pem") + "' > '" + output +
        "' 2>&1";
    std::system(command.c_str());
  });
  pollfd p{listener, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 10000), 1);
  int fd = ::accept(listener, nullptr, nullptr);
  TzqTlsServerSspi server;
  TzqCertificateList certificates(true);
  certificates.Add(pki.Load("server").release());
  EXPECT_EQ(test::DriveHandshake(fd, server, certificates, false), srOk);
  TzqMemoryStream input, plain;
  while (plain.DataString().find('\n') == std::string::npos) {
    test::Append(input, test::ReadSomeBytes(fd));
    if (server.Decrypt(input, plain, input) == srOk) input.Clear();
  }
  EXPECT_EQ(plain.DataString(), "ping\n");
  test::WriteAll(fd, test::Seal(server, "pong\n"));
  TzqMemoryStream token;
  EXPECT_EQ(server.CloseSession(token), srSendFinal);
  test::SendRest(fd, token);
  client.join();
  ::close(fd);
  ::close(listener);
  std::ifstream file(output);
  std::string text(std::istreambuf_iterator<char>(file), {});
  EXPECT_NE(text.find("pong"), std::string::npos) << text;
  EXPECT_EQ(text.find("verify error"), std::string::npos) << text;
}

}  // namespace
}  // namespace zq
