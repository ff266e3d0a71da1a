// The TCP client through real SOCKS servers on loopback: dante (SOCKS 4 and 5, with and without
// user name and password), microsocks (SOCKS 5 with user name and password) and ssh -D
// (SOCKS 4a). Each opens a connection to a loopback echo server and exchanges data.

#include <gtest/gtest.h>

#include <cctype>
#include <memory>

#include "net/zqTcpClient.h"
#include "tests/support/zqLoopback.h"

namespace zq {
namespace {

using test::ScriptedServer;
using test::SocksPeer;

// Answers the five bytes it gets in upper case.
std::unique_ptr<ScriptedServer> EchoServer(bool ipv6 = false) {
  return std::make_unique<ScriptedServer>(
      [](int fd) {
        std::string text = test::ReadExactly(fd, 5);
        for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        test::WriteAll(fd, text);
      },
      ipv6);
}

struct Route {
  TzqFirewallType type;
  std::string firewall = "127.0.0.1";
  std::string target = "";  // empty: the echo server's address
  std::string user = "";
  std::string password = "";
  bool ipv6Target = false;
};

void Configure(TzqTcpClient& client, const SocksPeer& peer, const Route& route, const ScriptedServer& echo) {
  client.SetServer(route.target.empty() ? echo.Address() : route.target);
  client.SetPort(echo.Port());
  client.SetTimeOut(10000);
  TzqFirewallSettings& firewall = client.FirewallSettings();
  firewall.SetServer(route.firewall);
  firewall.SetPort(peer.Port());
  firewall.SetFirewallType(route.type);
  firewall.SetUserName(route.user);
  firewall.SetPassword(route.password);
}

void ExchangeThrough(const SocksPeer& peer, const Route& route) {
  auto echo = EchoServer(route.ipv6Target);
  TzqTcpClient client;
  Configure(client, peer, route, *echo);
  client.Open();
  ASSERT_TRUE(client.Active());
  EXPECT_EQ(client.GetConnection().PeerPort(), peer.Port());
  client.GetConnection().WriteText("hello", "us-ascii");
  TzqMemoryStream answer;
  for (int i = 0; i < 50 && answer.Size() < 5 && client.Active(); ++i) client.GetConnection().ReadData(&answer);
  answer.SetPosition(0);
  const TzqByteArray bytes = answer.ReadRemaining();
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "HELLO");
  client.Close();
  EXPECT_EQ(echo->Errors(), "");
}

EzqSocksFirewallError RefusedBy(const SocksPeer& peer, const Route& route) {
  auto echo = EchoServer();
  TzqTcpClient client;
  Configure(client, peer, route, *echo);
  try {
    client.Open();
  } catch (const EzqSocksFirewallError& e) {
    EXPECT_FALSE(client.Active());
    return e;
  }
  ADD_FAILURE() << "the SOCKS server let the connection through";
  return EzqSocksFirewallError("", 0);
}

template <typename Peer>
class PeerSuite : public ::testing::Test {
protected:
  static void SetUpTestSuite() { peer_ = Peer::Start().release(); }
  static void TearDownTestSuite() {
    delete peer_;
    peer_ = nullptr;
  }
  static const SocksPeer& Peer_() { return *peer_; }
  static inline SocksPeer* peer_ = nullptr;
};

struct DanteOpen {
  static std::unique_ptr<SocksPeer> Start() { return std::make_unique<SocksPeer>("dante-noauth"); }
};
struct DanteLogin {
  static std::unique_ptr<SocksPeer> Start() { return std::make_unique<SocksPeer>("dante-userpass"); }
};
struct MicrosocksLogin {
  static std::unique_ptr<SocksPeer> Start() {
    return std::make_unique<SocksPeer>("microsocks", std::vector<std::string>{"127.0.0.1", "msuser", "mspass"});
  }
};
struct SshDynamic {
  static std::unique_ptr<SocksPeer> Start() {
    return std::make_unique<SocksPeer>("ssh", std::vector<std::string>{std::to_string(test::FreePort())});
  }
};

using DanteNoAuth = PeerSuite<DanteOpen>;
using DanteUserPass = PeerSuite<DanteLogin>;
using Microsocks = PeerSuite<MicrosocksLogin>;
using SshSocks = PeerSuite<SshDynamic>;

TEST_F(DanteNoAuth, Socks4ToIPv4) { ExchangeThrough(Peer_(), {ftSocks4}); }

TEST_F(DanteNoAuth, Socks5ToIPv4AndIPv6OverBothLoopbacks) {
  ExchangeThrough(Peer_(), {ftSocks5});
  ExchangeThrough(Peer_(), {.type = ftSocks5, .firewall = "::1", .target = "::1", .ipv6Target = true});
}

TEST_F(DanteNoAuth, Socks5WithAHostNameForTheServerToResolve) {
  ExchangeThrough(Peer_(), {.type = ftSocks5, .target = "localhost"});
}

TEST_F(DanteNoAuth, Socks4aIsRefused) {
  const auto e = RefusedBy(Peer_(), {.type = ftSocks4a, .target = "localhost"});
  EXPECT_EQ(e.ErrorCode(), 91);
  EXPECT_STREQ(e.what(), "SOCKS error: request rejected or failed");
}

TEST_F(DanteUserPass, Socks5WithUserNameAndPassword) {
  ExchangeThrough(Peer_(), {.type = ftSocks5, .user = "socksuser", .password = "sockspass"});
  ExchangeThrough(Peer_(), {.type = ftSocks5,
                            .firewall = "::1",
                            .target = "::1",
                            .user = "socksuser",
                            .password = "sockspass",
                            .ipv6Target = true});
}

TEST_F(DanteUserPass, WrongPasswordAndNoLoginAreRefused) {
  const auto wrong = RefusedBy(Peer_(), {.type = ftSocks5, .user = "socksuser", .password = "wrong"});
  EXPECT_STREQ(wrong.what(), "SOCKS error: authentication failed");
  EXPECT_NE(wrong.ErrorCode(), 0);
  const auto none = RefusedBy(Peer_(), {ftSocks5});
  EXPECT_STREQ(none.what(), "SOCKS error: No acceptable authentication methods");
  EXPECT_EQ(none.ErrorCode(), 255);
}

TEST_F(Microsocks, Socks5WithUserNameAndPassword) {
  ExchangeThrough(Peer_(), {.type = ftSocks5, .user = "msuser", .password = "mspass"});
  ExchangeThrough(Peer_(), {.type = ftSocks5, .target = "localhost", .user = "msuser", .password = "mspass"});
}

TEST_F(Microsocks, WrongPasswordIsRefused) {
  const auto e = RefusedBy(Peer_(), {.type = ftSocks5, .user = "msuser", .password = "nope"});
  EXPECT_STREQ(e.what(), "SOCKS error: authentication failed");
}

TEST_F(SshSocks, Socks4aWithAHostName) {
  ExchangeThrough(Peer_(), {.type = ftSocks4a, .target = "localhost"});
  ExchangeThrough(Peer_(), {.type = ftSocks4a, .user = "anyone"});
}

TEST_F(SshSocks, Socks4AndSocks5) {
  ExchangeThrough(Peer_(), {ftSocks4});
  ExchangeThrough(Peer_(), {.type = ftSocks5, .target = "localhost"});
}

}  // namespace
}  // namespace zq
