// CONNECT tunnels through a real squid on loopback (tests/peers/squid-peer.sh), without proxy
// authorization and with Basic, Digest and NTLM, to a scripted loopback server and to s_server.

#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/zqText.h"
#include "http/zqHttpProxy.h"
#include "net/zqTcpClient.h"
#include "tests/http/integration/zqTunnelSupport.h"
#include "tests/support/zqLoopback.h"
#include "tests/support/zqPeerProcesses.h"
#include "tests/tls/integration/zqTlsPeers.h"
#include "tls/zqTcpClientTls.h"

namespace zq {
namespace {

using test::ReadExactly;
using test::ScriptedServer;
using test::WriteAll;

// One squid of squid-peer.sh, stopped by PID when destroyed.
class SquidPeer {
public:
  explicit SquidPeer(const std::string& kind) : port_(test::FreePort()) {
    processes_.Start("squid-peer.sh", {kind, processes_.RunDir(), std::to_string(port_)}, 20);
  }

  int Port() const { return port_; }

private:
  int port_;
  test::PeerProcesses processes_;
};

// squid takes a while to stop: each kind is started once for all the tests that use it.
class SquidTunnel : public ::testing::Test {
protected:
  static const SquidPeer& Squid(const std::string& kind) {
    std::unique_ptr<SquidPeer>& peer = peers_[kind];
    if (!peer) peer = std::make_unique<SquidPeer>(kind);
    return *peer;
  }
  static void TearDownTestSuite() { peers_.clear(); }

private:
  static inline std::map<std::string, std::unique_ptr<SquidPeer>> peers_;
};

// The far end of the tunnels: answers "ping" with "pong" on each connection.
class PongServer : public ScriptedServer {
public:
  PongServer()
      : ScriptedServer(
            [](int fd) {
              if (ReadExactly(fd, 4) == "ping") WriteAll(fd, "pong");
              test::ReadUntilClosed(fd);
            },
            false, 4) {}
};

struct Tunnel {
  TzqHttpProxy proxy;
  TzqTcpClient client;
  int requests = 0;

  Tunnel(const SquidPeer& squid, const PongServer& far, const std::string& user, const std::string& password) {
    proxy.SetServer("127.0.0.1");
    proxy.SetPort(squid.Port());
    proxy.SetTimeOut(5000);
    proxy.SetUserName(user);
    proxy.SetPassword(password);
    proxy.OnSendRequest = [this](TzqObject*, const std::string&, int32_t, const TzqStringList&) { ++requests; };
    client.SetProxy(&proxy);
    client.SetServer("127.0.0.1");
    client.SetPort(far.Port());
  }

  // Opens the tunnel and asks the far server through it.
  std::string PingThrough() {
    client.Open();
    client.GetConnection().WriteText("ping", "us-ascii");
    const std::string reply = test::ReceiveUpTo(client.GetConnection(), 4);
    client.Close();
    return reply;
  }
};

TEST_F(SquidTunnel, WithoutProxyAuthorization) {
  const SquidPeer& squid = Squid("open");
  PongServer far;
  Tunnel tunnel(squid, far, "", "");
  EXPECT_EQ(tunnel.PingThrough(), "pong");
  EXPECT_EQ(tunnel.proxy.StatusCode(), 200);
  EXPECT_EQ(tunnel.requests, 1);
}

TEST_F(SquidTunnel, BasicAnsweredAndSentFirst) {
  const SquidPeer& squid = Squid("basic");
  PongServer far;
  Tunnel detected(squid, far, "proxyuser", "proxypass");
  EXPECT_EQ(detected.PingThrough(), "pong");
  EXPECT_EQ(detected.requests, 2);  // the 407, then the answer

  Tunnel first(squid, far, "proxyuser", "proxypass");
  first.proxy.SetAuthorizationType(atBasic);
  EXPECT_EQ(first.PingThrough(), "pong");
  EXPECT_EQ(first.requests, 1);
}

TEST_F(SquidTunnel, WrongCredentialsEndInTheProxysRefusal) {
  const SquidPeer& squid = Squid("basic");
  PongServer far;
  Tunnel tunnel(squid, far, "proxyuser", "wrong");
  tunnel.proxy.SetMaxAuthRetries(2);
  try {
    tunnel.client.Open();
    ADD_FAILURE() << "the tunnel opened";
  } catch (const EzqHttpProxyError& e) {
    EXPECT_EQ(e.ErrorCode(), 407);
    EXPECT_EQ(std::string(e.what()), "HTTP/1.1 407 Proxy Authentication Required");
    EXPECT_NE(e.ResponseText().find("</html>"), std::string::npos);  // squid's error page
  }
  EXPECT_EQ(tunnel.requests, 3);
  EXPECT_FALSE(tunnel.client.Active());
}

TEST_F(SquidTunnel, Digest) {
  const SquidPeer& squid = Squid("digest");
  PongServer far;
  Tunnel tunnel(squid, far, "proxyuser", "proxypass");
  EXPECT_EQ(tunnel.PingThrough(), "pong");
  EXPECT_EQ(tunnel.requests, 2);
}

// squid's NTLM helper checks the exchange, not the password. squid keeps the connection with
// "Connection: keep-alive" only, which an HTTP/1.1 request takes as kept; the three legs need it.
TEST_F(SquidTunnel, NtlmThreeLegsOnOneConnection) {
  const SquidPeer& squid = Squid("ntlm");
  PongServer far;
  Tunnel tunnel(squid, far, "DOM\\ntlmuser", "ntlmpass");
  tunnel.proxy.SetRequestVersion(hvHttp1_1);
  std::vector<std::string> authorizations;
  tunnel.proxy.OnSendRequest = [&](TzqObject*, const std::string&, int32_t, const TzqStringList& header) {
    std::string value;
    for (int i = 0; i < header.Count(); ++i)
      if (StartsText("Proxy-Authorization: ", header[i])) value = header[i].substr(21, 17);
    authorizations.push_back(value);
  };
  EXPECT_EQ(tunnel.PingThrough(), "pong");
  EXPECT_EQ(tunnel.proxy.StatusCode(), 200);
  // Nothing, the negotiate message, the answer to squid's challenge.
  EXPECT_EQ(authorizations, (std::vector<std::string>{"", "NTLM TlRMTVNTUAAB", "NTLM TlRMTVNTUAAD"}));
  EXPECT_EQ(far.Accepted(), 1);
}

// A TLS client names the tunnel as its proxy: the handshake runs over the open tunnel.
TEST_F(SquidTunnel, TlsClientThroughTheTunnel) {
  test::TlsPeer server("server", {"-www"});
  for (const char* kind : {"open", "basic"}) {
    const SquidPeer& squid = Squid(kind);
    TzqHttpProxy proxy;
    proxy.SetServer("127.0.0.1");
    proxy.SetPort(squid.Port());
    proxy.SetUserName("proxyuser");
    proxy.SetPassword("proxypass");
    TzqTcpClientTls client;
    client.SetProxy(&proxy);
    client.SetServer("localhost");
    client.SetPort(server.Port());
    client.SetUseTLS(ctImplicit);
    client.SetTimeOut(10000);
    client.Open();
    client.GetConnection().WriteText("GET / HTTP/1.0\r\n\r\n", "us-ascii");
    EXPECT_EQ(test::ReceiveUpTo(client.GetConnection(), 15).substr(0, 15), "HTTP/1.0 200 ok") << kind;
    client.Close();
  }
}

}  // namespace
}  // namespace zq
