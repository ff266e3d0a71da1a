// The TCP client and its SOCKS streams against scripted loopback servers (exact bytes).

#include <gtest/gtest.h>

#include "core/zqSystem.h"
#include "net/zqTcpClient.h"
#include "tests/support/zqLoopback.h"

namespace zq {
namespace {

using test::Pause;
using test::ReadExactly;
using test::ScriptedServer;
using test::WriteAll;

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

std::string ReadSome(TzqTcpClient& client, size_t count) {
  TzqMemoryStream data;
  for (int i = 0; i < 100 && static_cast<size_t>(data.Size()) < count && client.Active(); ++i)
    client.GetConnection().ReadData(&data);
  data.SetPosition(0);
  const TzqByteArray bytes = data.ReadRemaining();
  return std::string(bytes.begin(), bytes.end());
}

void UseFirewall(TzqTcpClient& client, const ScriptedServer& server, TzqFirewallType type) {
  client.FirewallSettings().SetServer(server.Address());
  client.FirewallSettings().SetPort(server.Port());
  client.FirewallSettings().SetFirewallType(type);
  client.SetTimeOut(5000);
}

template <typename E = EzqSocksFirewallError>
E OpenFails(TzqTcpClient& client) {
  try {
    client.Open();
  } catch (const E& e) {
    EXPECT_FALSE(client.Active());
    return e;
  }
  ADD_FAILURE() << "Open succeeded";
  return E("", 0);
}

TEST(TcpClient, OpenAndCloseFireOncePerChange) {
  ScriptedServer server([](int fd) { test::ReadUntilClosed(fd); });
  TzqTcpClient client;
  int opens = 0, closes = 0;
  client.OnOpen = [&](TzqObject*) { ++opens; };
  client.OnClose = [&](TzqObject*) { ++closes; };
  client.SetServer(server.Address());
  client.SetPort(server.Port());
  client.Open();
  client.Open();
  EXPECT_TRUE(client.Active());
  EXPECT_EQ(opens, 1);
  client.Close();
  client.Close();
  EXPECT_FALSE(client.Active());
  EXPECT_EQ(closes, 1);
  for (int i = 0; i < 100 && server.Accepted() == 0; ++i) Pause(10);
  EXPECT_EQ(server.Accepted(), 1);
}

class KeepAliveClient : public TzqTcpClient {
public:
  void DoKeepAlive() override {
    ++ticks;
    if (ticks == 2) throw EzqSocketError("swallowed", 1);
  }
  int ticks = 0;
};

// Dispatches the thread's messages for ms milliseconds.
void Pump(uint32_t ms) {
  TzqEvent never(false, false);
  const uint64_t start = GetTickCount64();
  try {
    while (true) WaitForSocketEvent(&never, nullptr, start, false, static_cast<int32_t>(ms));
  } catch (const EzqSocketError&) {
  }
}

TEST(TcpClient, KeepAliveTicksOnThePumpUntilClosed) {
  ScriptedServer server([](int fd) { test::ReadUntilClosed(fd); });
  KeepAliveClient client;
  client.SetServer(server.Address());
  client.SetPort(server.Port());
  client.SetKeepAlive(40);
  client.Open();
  Pump(400);
  // A tick that raises does not stop the timer.
  EXPECT_GE(client.ticks, 4);
  client.Close();
  const int ticks = client.ticks;
  Pump(150);
  EXPECT_EQ(client.ticks, ticks);
}

TEST(TcpClient, FailedOpenLeavesNothingOpen) {
  const int listener = test::ListenOn(false, 0);
  const int port = test::LocalPort(listener);
  close(listener);
  TzqTcpClient client;
  int opens = 0;
  client.OnOpen = [&](TzqObject*) { ++opens; };
  client.SetServer("127.0.0.1");
  client.SetPort(port);
  EXPECT_EQ(OpenFails<EzqSocketError>(client).ErrorCode(), 10061);
  EXPECT_EQ(opens, 0);
}

TEST(Socks5, RepliesInPiecesAndBytesAfterTheReplyGoToTheCaller) {
  ScriptedServer server([](int fd) {
    EXPECT_EQ(ReadExactly(fd, 3), B({5, 1, 0}));
    WriteAll(fd, B({5}));
    Pause(50);
    WriteAll(fd, B({0}));
    EXPECT_EQ(ReadExactly(fd, 19), B({5, 1, 0, 3, 12}) + "example.test" + B({0, 80}));
    WriteAll(fd, B({5, 0, 0, 1, 127}));
    Pause(50);
    WriteAll(fd, B({0, 0, 1, 0, 80}) + "EXTRA");
    EXPECT_EQ(ReadExactly(fd, 4), "ping");
  });
  TzqTcpClient client;
  client.SetServer("example.test");  // never resolved here: the firewall gets the name
  client.SetPort(80);
  UseFirewall(client, server, ftSocks5);
  client.Open();
  EXPECT_TRUE(client.Active());
  EXPECT_EQ(client.GetConnection().PeerPort(), server.Port());
  EXPECT_EQ(ReadSome(client, 5), "EXTRA");
  client.GetConnection().WriteText("ping", "us-ascii");
  client.Close();
  EXPECT_EQ(server.Errors(), "");
}

TEST(Socks5, LogsInAndTakesALongIPv6Reply) {
  ScriptedServer server([](int fd) {
    EXPECT_EQ(ReadExactly(fd, 3), B({5, 1, 2}));
    WriteAll(fd, B({5, 2}));
    EXPECT_EQ(ReadExactly(fd, 11), B({1, 4}) + "user" + B({4}) + "pass");
    WriteAll(fd, B({1, 0}));
    EXPECT_EQ(ReadExactly(fd, 10), B({5, 1, 0, 1, 127, 0, 0, 1, 0x1F, 0x90}));
    std::string reply = B({5, 0, 0, 4}) + std::string(15, '\0') + B({1, 0x1F, 0x90});
    WriteAll(fd, reply.substr(0, 12));
    Pause(50);
    WriteAll(fd, reply.substr(12) + "after");
  });
  TzqTcpClient client;
  client.SetServer("127.0.0.1");
  client.SetPort(8080);
  UseFirewall(client, server, ftSocks5);
  client.FirewallSettings().SetUserName("user");
  client.FirewallSettings().SetPassword("pass");
  client.Open();
  EXPECT_EQ(ReadSome(client, 5), "after");
  EXPECT_EQ(server.Errors(), "");
}

TEST(Socks5, SendsANumericIPv6TargetAsAddressType4) {
  ScriptedServer server([](int fd) {
    ReadExactly(fd, 3);
    WriteAll(fd, B({5, 0}));
    EXPECT_EQ(ReadExactly(fd, 22), B({5, 1, 0, 4}) + std::string(15, '\0') + B({1, 0, 80}));
    WriteAll(fd, B({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
  });
  TzqTcpClient client;
  client.SetServer("::1");
  client.SetPort(80);
  UseFirewall(client, server, ftSocks5);
  client.Open();
  EXPECT_TRUE(client.Active());
  EXPECT_EQ(server.Errors(), "");
}

TEST(Socks5, RefusalsCarryTheServersCode) {
  struct Case {
    std::string reply;
    int code;
    const char* message;
  };
  const Case cases[] = {
      {B({5, 0xFF}), 255, "SOCKS error: No acceptable authentication methods"},
      {B({5, 0, 5, 5, 0, 1, 0, 0, 0, 0, 0, 0}), 5, "SOCKS error: Connection refused"},
      {B({5, 0, 5, 0, 0, 3, 0, 0, 0, 0, 0, 0}), 3, "SOCKS error: Address type not supported"},
      {B({5, 0, 5, 0x2A, 0, 1, 0, 0, 0, 0, 0, 0}), 0x2A, "Unknown SOCKS error occured"},
  };
  for (const Case& c : cases) {
    ScriptedServer server([&](int fd) {
      ReadExactly(fd, 3);
      WriteAll(fd, c.reply.substr(0, 2));
      if (c.reply.size() > 2) {
        ReadExactly(fd, 10);
        WriteAll(fd, c.reply.substr(2));
      }
      test::ReadUntilClosed(fd);
    });
    TzqTcpClient client;
    client.SetServer("127.0.0.1");
    client.SetPort(80);
    UseFirewall(client, server, ftSocks5);
    const auto e = OpenFails(client);
    EXPECT_EQ(e.ErrorCode(), c.code);
    EXPECT_STREQ(e.what(), c.message);
  }
}

TEST(Socks5, OverlongFieldsFailBeforeAnythingIsSent) {
  for (int field = 0; field < 3; ++field) {
    std::string seen = "unset";
    ScriptedServer server([&](int fd) { seen = test::ReadUntilClosed(fd); });
    TzqTcpClient client;
    client.SetServer(field == 2 ? std::string(256, 'h') : "127.0.0.1");
    client.SetPort(80);
    UseFirewall(client, server, ftSocks5);
    client.FirewallSettings().SetUserName(field == 0 ? std::string(256, 'u') : "u");
    client.FirewallSettings().SetPassword(field == 1 ? std::string(300, 'p') : "p");
    EXPECT_EQ(OpenFails(client).ErrorCode(), kSocksFieldTooLongCode);
    client.Close();
    Pause(20);
    EXPECT_EQ(seen, "") << field;
  }
}

TEST(Socks4, SendsTheResolvedAddressAndUserId) {
  ScriptedServer server([](int fd) {
    EXPECT_EQ(ReadExactly(fd, 12), B({4, 1, 0x1F, 0x90, 127, 0, 0, 1}) + "abc" + B({0}));
    WriteAll(fd, B({0, 90, 0, 0, 0, 0}));
    Pause(50);
    WriteAll(fd, B({0, 0}) + "hi");
  });
  TzqTcpClient client;
  client.SetServer("localhost");
  client.SetPort(8080);
  UseFirewall(client, server, ftSocks4);
  client.FirewallSettings().SetUserName("abc");
  client.Open();
  EXPECT_EQ(ReadSome(client, 2), "hi");
  EXPECT_EQ(server.Errors(), "");
}

TEST(Socks4, RejectionsAndIPv6TargetsFail) {
  ScriptedServer server([](int fd) {
    ReadExactly(fd, 9);
    WriteAll(fd, B({0, 92, 0, 0, 0, 0, 0, 0}));
    test::ReadUntilClosed(fd);
  });
  TzqTcpClient client;
  client.SetServer("127.0.0.1");
  client.SetPort(80);
  UseFirewall(client, server, ftSocks4);
  const auto rejected = OpenFails(client);
  EXPECT_EQ(rejected.ErrorCode(), 92);
  EXPECT_STREQ(rejected.what(),
               "SOCKS error: request rejected becasue SOCKS server cannot connect to identd on the client");

  std::string seen = "unset";
  ScriptedServer second([&](int fd) { seen = test::ReadUntilClosed(fd); });
  client.SetServer("::1");
  UseFirewall(client, second, ftSocks4);
  EXPECT_EQ(OpenFails(client).ErrorCode(), kInvalidAddressFamilyCode);
  client.Close();
  Pause(20);
  EXPECT_EQ(seen, "");
}

TEST(Socks4a, CarriesTheHostNameAfterTheUserId) {
  ScriptedServer server([](int fd) {
    EXPECT_EQ(ReadExactly(fd, 24), B({4, 1, 0, 80, 0, 0, 0, 1}) + "me" + B({0}) + "example.test" + B({0}));
    WriteAll(fd, B({0, 90, 0, 0, 0, 0, 0, 0}));
  });
  TzqTcpClient client;
  client.SetServer("example.test");
  client.SetPort(80);
  UseFirewall(client, server, ftSocks4a);
  client.FirewallSettings().SetUserName("me");
  client.Open();
  EXPECT_TRUE(client.Active());
  EXPECT_EQ(server.Errors(), "");
}

TEST(Socks, ServerThatHangsUpMidReplyIsAnError) {
  ScriptedServer server([](int fd) {
    ReadExactly(fd, 3);
    WriteAll(fd, B({5}));
  });
  TzqTcpClient client;
  client.SetServer("127.0.0.1");
  client.SetPort(80);
  UseFirewall(client, server, ftSocks5);
  EXPECT_GT(OpenFails<EzqSocketError>(client).ErrorCode(), 0);
}

TEST(Socks, ResolvesLocallyWhenAskedTo) {
  ScriptedServer server([](int fd) {
    ReadExactly(fd, 3);
    WriteAll(fd, B({5, 0}));
    EXPECT_EQ(ReadExactly(fd, 10), B({5, 1, 0, 1, 127, 0, 0, 1, 0, 80}));
    WriteAll(fd, B({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
  });
  TzqTcpClient client;
  client.SetServer("localhost");
  client.SetPort(80);
  UseFirewall(client, server, ftSocks5);
  client.FirewallSettings().SetNeedResolveIP(false);
  client.Open();
  EXPECT_TRUE(client.Active());
  EXPECT_EQ(server.Errors(), "");
}

}  // namespace
}  // namespace zq
