// TCP client properties, notifications and the choice of stream, without opening anything.

#include <gtest/gtest.h>

#include "net/zqTcpClient.h"

namespace zq {
namespace {

class Proxy : public TzqTcpProxy {
public:
  using TzqTcpProxy::TzqTcpProxy;
  void OpenTunnel(const std::string&, int32_t) override {}
  void OpenTunnelOn(TzqTcpConnection&, const std::string&, int32_t) override {}
};

TEST(TcpClient, Defaults) {
  TzqTcpClient client;
  EXPECT_EQ(client.Port(), 0);
  EXPECT_EQ(client.BatchSize(), 8192);
  EXPECT_EQ(client.TimeOut(), 60000);
  EXPECT_EQ(client.BitsPerSec(), 0);
  EXPECT_FALSE(client.UseIpV6());
  EXPECT_EQ(client.KeepAlive(), 0);
  EXPECT_EQ(client.ConnectTimeOut(), 0);
  EXPECT_FALSE(client.DisableGuiProcessing());
  EXPECT_EQ(client.FirewallSettings().Port(), 1080);
  EXPECT_EQ(client.FirewallSettings().FirewallType(), ftSocks4);
  EXPECT_TRUE(client.FirewallSettings().NeedResolveIP());
  EXPECT_FALSE(client.Active());
  EXPECT_GE(WinsockUsers(), 1);
}

TEST(TcpClient, SettersNotifyOnlyOnARealChange) {
  TzqTcpClient client;
  int changes = 0;
  client.OnChanged = [&](TzqObject*) { ++changes; };
  client.SetServer("a");
  client.SetServer("a");
  client.SetPort(80);
  client.SetPort(80);
  client.SetTimeOut(60000);
  client.SetTimeOut(1000);
  client.SetBatchSize(8192);
  client.SetBatchSize(100);
  client.SetLocalBinding("127.0.0.1");
  client.SetUseIpV6(true);
  client.SetBitsPerSec(1);
  client.SetKeepAlive(5);
  client.SetConnectTimeOut(7);
  client.SetDisableGuiProcessing(true);
  EXPECT_EQ(changes, 10);
  EXPECT_EQ(client.GetConnection().TimeOut(), 1000);
  EXPECT_EQ(client.GetConnection().LocalBinding(), "127.0.0.1");
  TzqFirewallSettings settings;
  settings.SetServer("fw");
  settings.SetFirewallType(ftSocks5);
  client.SetFirewallSettings(settings);
  EXPECT_EQ(client.FirewallSettings().Server(), "fw");
  EXPECT_EQ(client.FirewallSettings().FirewallType(), ftSocks5);
  EXPECT_EQ(changes, 10);
}

TEST(TcpClient, ProxyLendsItsConnectionAndIsForgottenWhenFreed) {
  TzqTcpClient client;
  auto proxy = std::make_unique<Proxy>();
  proxy->SetTimeOut(1234);
  client.SetProxy(proxy.get());
  EXPECT_EQ(client.TimeOut(), 1234);
  EXPECT_EQ(&client.GetConnection(), &proxy->GetConnection());
  client.SetTimeOut(99);
  EXPECT_EQ(proxy->TimeOut(), 99);
  proxy.reset();
  EXPECT_EQ(client.Proxy(), nullptr);
  EXPECT_EQ(client.TimeOut(), 60000);
}

TEST(TcpClient, OpenRefusesABatchSizeBelowOne) {
  TzqTcpClient client;
  client.SetServer("127.0.0.1");
  client.SetPort(1);
  client.SetBatchSize(0);
  try {
    client.Open();
    FAIL();
  } catch (const EzqSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), -4);
    EXPECT_STREQ(e.what(), "Invalid Batch Size");
  }
  EXPECT_FALSE(client.Active());
}

TEST(TcpClient, CreatesTheSocksStreamOfTheFirewallType) {
  TzqTcpClient client;
  client.FirewallSettings().SetUserName("u");
  client.FirewallSettings().SetFirewallType(ftSocks4a);
  auto socks = client.CreateSocksStream(std::make_unique<TzqNetworkStream>(), "example.test", 70);
  EXPECT_EQ(socks->ClassName(), "TzqSocks4aNetworkStream");
  EXPECT_EQ(socks->TargetServer(), "example.test");
  EXPECT_EQ(socks->TargetPort(), 70);
  EXPECT_EQ(socks->UserName(), "u");
  client.FirewallSettings().SetFirewallType(ftSocks5);
  client.FirewallSettings().SetNeedResolveIP(false);
  socks = client.CreateSocksStream(std::make_unique<TzqNetworkStream>(), "localhost", 70);
  EXPECT_EQ(socks->ClassName(), "TzqSocks5NetworkStream");
  EXPECT_EQ(socks->TargetServer(), "127.0.0.1");
  client.FirewallSettings().SetFirewallType(static_cast<TzqFirewallType>(7));
  try {
    client.CreateSocksStream(std::make_unique<TzqNetworkStream>(), "h", 1);
    FAIL();
  } catch (const EzqTcpClientError& e) {
    EXPECT_EQ(e.ErrorCode(), -101);
    EXPECT_STREQ(e.what(), "Unsupported firewall type");
  }
}

TEST(FirewallSettings, AssignCopiesAllSix) {
  TzqFirewallSettings a;
  a.SetFirewallType(ftSocks4a);
  a.SetUserName("u");
  a.SetPassword("p");
  a.SetServer("s");
  a.SetPort(9);
  a.SetNeedResolveIP(false);
  TzqFirewallSettings b;
  b.Assign(a);
  EXPECT_EQ(b.FirewallType(), ftSocks4a);
  EXPECT_EQ(b.UserName(), "u");
  EXPECT_EQ(b.Password(), "p");
  EXPECT_EQ(b.Server(), "s");
  EXPECT_EQ(b.Port(), 9);
  EXPECT_FALSE(b.NeedResolveIP());
  EXPECT_THROW(b.Assign(TzqPersistent()), EzqConvertError);
}

TEST(Connection, RequiresANetworkStream) {
  TzqTcpClientConnection connection;
  try {
    connection.GetNetworkStream();
    FAIL();
  } catch (const EzqSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), -5);
  }
  TzqMemoryStream data("x");
  try {
    connection.WriteData(&data);
    FAIL();
  } catch (const EzqSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10038);
  }
  try {
    connection.ReopenStream();
    FAIL();
  } catch (const EzqSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), -6);
  }
}

TEST(NetworkStream, BatchSizeHonoursTheReadLimitAndPendingActionsDoNotStack) {
  TzqTcpClientConnection connection;
  connection.SetNetworkStream(std::make_unique<TzqNetworkStream>());
  TzqNetworkStream& stream = connection.GetNetworkStream();
  connection.SetBatchSize(100);
  EXPECT_EQ(stream.GetBatchSize(), 100);
  connection.SetReadLimit(10);
  EXPECT_EQ(stream.GetBatchSize(), 10);
  stream.AddBytes(4);
  EXPECT_EQ(stream.GetBatchSize(), 6);
  EXPECT_FALSE(stream.IsLimitReached());
  stream.AddBytes(6);
  EXPECT_TRUE(stream.IsLimitReached());
  EXPECT_TRUE(stream.IsOperationComplete());
  EXPECT_EQ(connection.ProgressDone(), 10);
  connection.InitProgress(0, 50);
  EXPECT_EQ(stream.ByteCounter(), 0);
  connection.SetBatchSize(0);
  EXPECT_THROW(stream.GetBatchSize(), EzqSocketError);
  stream.SetPendingAction(kPendingRead);
  stream.SetPendingAction(kPendingWrite);
  EXPECT_EQ(stream.PendingAction(), kPendingRead);
}

}  // namespace
}  // namespace zq
