// SOCKS requests and replies byte by byte, without a socket.

#include "net/zqSocks.h"

#include <gtest/gtest.h>

namespace zq {
namespace {

TzqByteArray Bytes(std::initializer_list<int> values) {
  TzqByteArray bytes;
  for (int v : values) bytes.push_back(static_cast<uint8_t>(v));
  return bytes;
}

TzqByteArray Bytes(const std::string& text) { return TzqByteArray(text.begin(), text.end()); }

TzqByteArray Join(TzqByteArray a, const TzqByteArray& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A SOCKS stream on a connection that is never opened.
template <typename S>
struct Fixture {
  TzqTcpClientConnection connection;
  S* socks;

  Fixture(const std::string& target, int port, const std::string& user = "", const std::string& password = "") {
    auto stream = std::make_unique<S>(std::make_unique<TzqNetworkStream>());
    socks = stream.get();
    socks->SetTargetServer(target);
    socks->SetTargetPort(port);
    socks->SetUserName(user);
    socks->SetPassword(password);
    connection.SetNetworkStream(std::move(stream));
  }
};

TEST(Socks4Request, IsVersionCommandPortAddressAndUserId) {
  Fixture<TzqSocks4NetworkStream> f("10.0.0.1", 80, "abc");
  EXPECT_EQ(f.socks->BuildRequest(), Bytes({0x04, 0x01, 0x00, 0x50, 0x0A, 0x00, 0x00, 0x01, 0x61, 0x62, 0x63, 0x00}));
  EXPECT_EQ(f.socks->PendingAction(), kPendingWrite);
  EXPECT_EQ(f.socks->ExpectedReplyLength(), 8);
}

TEST(Socks4Request, ResolvesANameItself) {
  Fixture<TzqSocks4NetworkStream> f("localhost", 1080);
  EXPECT_EQ(f.socks->BuildRequest(), Bytes({4, 1, 0x04, 0x38, 127, 0, 0, 1, 0}));
}

TEST(Socks4aRequest, CarriesTheNameAfterTheUserId) {
  Fixture<TzqSocks4aNetworkStream> named("example.test", 443, "id");
  EXPECT_EQ(named.socks->BuildRequest(), Join(Join(Bytes({4, 1, 0x01, 0xBB, 0, 0, 0, 1}), Bytes("id")),
                                              Join(Bytes({0}), Join(Bytes("example.test"), Bytes({0})))));
  Fixture<TzqSocks4aNetworkStream> numeric("192.0.2.7", 443);
  EXPECT_EQ(numeric.socks->BuildRequest(), Bytes({4, 1, 0x01, 0xBB, 192, 0, 2, 7, 0}));
  Fixture<TzqSocks4aNetworkStream> v6("::1", 443);
  EXPECT_THROW(v6.socks->BuildRequest(), EzqSocksFirewallError);
}

TEST(Socks4Reply, NeedsEightBytesAndResult90) {
  Fixture<TzqSocks4NetworkStream> f("10.0.0.1", 80);
  f.socks->ClearPendingAction();
  EXPECT_FALSE(f.socks->ParseReply(Bytes({0, 90, 0, 0})));
  EXPECT_EQ(f.socks->PendingAction(), kPendingRead);
  try {
    f.socks->ParseReply(Bytes({0, 93, 0, 0, 0, 0, 0, 0}));
    FAIL();
  } catch (const EzqSocksFirewallError& e) {
    EXPECT_EQ(e.ErrorCode(), 93);
    EXPECT_STREQ(e.what(),
                 "SOCKS error: request rejected because the client program and identd report different user-ids");
  }
  EXPECT_TRUE(f.socks->ParseReply(Bytes({0, 90, 0, 0, 0, 0, 0, 0})));
  EXPECT_EQ(f.socks->State(), TzqSocksNetworkStream::ssPassThrough);
}

// A reply of the wrong version says so, never "Request granted" or "Succeeded".
TEST(SocksReply, WrongVersionIsReportedAsSuch) {
  auto message = [](TzqSocksNetworkStream& socks, const TzqByteArray& reply) {
    try {
      socks.ParseReply(reply);
    } catch (const EzqSocksFirewallError& e) {
      EXPECT_EQ(e.ErrorCode(), kSocksWrongVersionCode);
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  Fixture<TzqSocks4NetworkStream> socks4("10.0.0.1", 80);
  EXPECT_EQ(message(*socks4.socks, Bytes({4, 90, 0, 0, 0, 0, 0, 0})),
            "SOCKS error: the server replied with version 4 where 0 was expected");
  Fixture<TzqSocks5NetworkStream> greeting("example.test", 80, "me", "pw");
  greeting.socks->BuildRequest();
  EXPECT_EQ(message(*greeting.socks, Bytes({4, 0})),
            "SOCKS error: the server replied with version 4 where 5 was expected");
  Fixture<TzqSocks5NetworkStream> login("example.test", 80, "me", "pw");
  login.socks->ParseReply(Bytes({5, 2}));
  EXPECT_EQ(message(*login.socks, Bytes({5, 0})),
            "SOCKS error: the server replied with version 5 where 1 was expected");
  Fixture<TzqSocks5NetworkStream> connect("example.test", 80);
  connect.socks->ParseReply(Bytes({5, 0}));
  EXPECT_EQ(message(*connect.socks, Bytes({0, 0, 0, 1, 1, 2, 3, 4, 0, 80})),
            "SOCKS error: the server replied with version 0 where 5 was expected");
  EXPECT_EQ(connect.socks->State(), TzqSocksNetworkStream::ssConnectRequest);
}

TEST(Socks5Handshake, WalksGreetingLoginAndConnect) {
  Fixture<TzqSocks5NetworkStream> f("example.test", 8080, "me", "secret");
  EXPECT_EQ(f.socks->BuildRequest(), Bytes({5, 1, 2}));
  EXPECT_EQ(f.socks->ExpectedReplyLength(), 2);
  EXPECT_FALSE(f.socks->ParseReply(Bytes({5})));
  EXPECT_TRUE(f.socks->ParseReply(Bytes({5, 2})));
  EXPECT_EQ(f.socks->State(), TzqSocksNetworkStream::ssAuthenticate);
  EXPECT_EQ(f.socks->BuildRequest(), Join(Join(Bytes({1, 2}), Bytes("me")), Join(Bytes({6}), Bytes("secret"))));
  EXPECT_TRUE(f.socks->ParseReply(Bytes({1, 0})));
  EXPECT_EQ(f.socks->BuildRequest(), Join(Join(Bytes({5, 1, 0, 3, 12}), Bytes("example.test")), Bytes({0x1F, 0x90})));
  EXPECT_EQ(f.socks->ExpectedReplyLength(), 10);
  EXPECT_TRUE(f.socks->ParseReply(Bytes({5, 0, 0, 1, 1, 2, 3, 4, 0, 80})));
  EXPECT_EQ(f.socks->State(), TzqSocksNetworkStream::ssPassThrough);
}

TEST(Socks5Handshake, GreetingWithoutUserOffersNoAuthentication) {
  Fixture<TzqSocks5NetworkStream> f("192.0.2.1", 80);
  EXPECT_EQ(f.socks->BuildRequest(), Bytes({5, 1, 0}));
  try {
    f.socks->ParseReply(Bytes({5, 0xFF}));
    FAIL();
  } catch (const EzqSocksFirewallError& e) {
    EXPECT_EQ(e.ErrorCode(), 255);
    EXPECT_STREQ(e.what(), "SOCKS error: No acceptable authentication methods");
  }
}

TEST(Socks5Handshake, NumericTargetsAndIPv6Replies) {
  Fixture<TzqSocks5NetworkStream> f("2001:db8::5", 80);
  f.socks->BuildRequest();
  f.socks->ParseReply(Bytes({5, 0}));
  EXPECT_EQ(f.socks->BuildRequest(),
            Bytes({5, 1, 0, 4, 0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0, 80}));
  TzqByteArray reply = Bytes({5, 0, 0, 4});
  reply.resize(10);
  EXPECT_FALSE(f.socks->ParseReply(reply));
  EXPECT_EQ(f.socks->ExpectedReplyLength(), 22);
  reply.resize(22);
  EXPECT_TRUE(f.socks->ParseReply(reply));
}

TEST(Socks5Handshake, TooLongFieldsAreRefusedBeforeTheGreeting) {
  Fixture<TzqSocks5NetworkStream> user("192.0.2.1", 80, std::string(256, 'u'));
  EXPECT_THROW(user.socks->BuildRequest(), EzqSocksFirewallError);
  Fixture<TzqSocks5NetworkStream> host(std::string(256, 'h'), 80);
  try {
    host.socks->BuildRequest();
    FAIL();
  } catch (const EzqSocksFirewallError& e) {
    EXPECT_EQ(e.ErrorCode(), kSocksFieldTooLongCode);
    EXPECT_STREQ(e.what(), "SOCKS error: the host name is longer than 255 bytes");
  }
  Fixture<TzqSocks5NetworkStream> fits(std::string(255, 'h'), 80, std::string(255, 'u'), std::string(255, 'p'));
  EXPECT_EQ(fits.socks->BuildRequest(), Bytes({5, 1, 2}));
}

TEST(Socks5Texts, CoverEveryCode) {
  EXPECT_EQ(Socks5ErrorText(0), "Succeeded");
  EXPECT_EQ(Socks5ErrorText(1), "General SOCKS server failure");
  EXPECT_EQ(Socks5ErrorText(2), "SOCKS error: connection not allowed by ruleset");
  EXPECT_EQ(Socks5ErrorText(4), "SOCKS error: Host unreachable");
  EXPECT_EQ(Socks5ErrorText(6), "SOCKS error: TTL expired");
  EXPECT_EQ(Socks5ErrorText(7), "SOCKS error: Command not supported");
  EXPECT_EQ(Socks5ErrorText(8), "SOCKS error: Address type not supported");
  EXPECT_EQ(Socks5ErrorText(9), "Unknown SOCKS error occured");
  EXPECT_EQ(Socks4ErrorText(91), "SOCKS error: request rejected or failed");
  EXPECT_EQ(Socks4ErrorText(1), "Unknown SOCKS error occured");
}

TEST(SocksStream, CopiesTargetAndLoginFromAnotherSocksStream) {
  Fixture<TzqSocks5NetworkStream> f("example.test", 21, "u", "p");
  TzqSocks4NetworkStream other(nullptr);
  other.AssignFrom(*f.socks);
  EXPECT_EQ(other.TargetServer(), "example.test");
  EXPECT_EQ(other.TargetPort(), 21);
  EXPECT_EQ(other.UserName(), "u");
  EXPECT_EQ(other.Password(), "p");
}

}  // namespace
}  // namespace zq
