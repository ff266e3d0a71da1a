// Connections and the network stream against scripted loopback servers.

#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <algorithm>

#include "codec/zqUtils.h"
#include "core/zqSystem.h"
#include "net/zqSocket.h"
#include "tests/net/integration/zqRecordingStream.h"
#include "tests/support/zqLoopback.h"

namespace zq {
namespace {

using test::Pause;
using test::ReadExactly;
using test::ScriptedServer;
using test::WriteAll;

std::string Text(TzqMemoryStream& stream) {
  stream.SetPosition(0);
  const TzqByteArray bytes = stream.ReadRemaining();
  return std::string(bytes.begin(), bytes.end());
}

struct Client {
  TzqTcpClientConnection connection;

  explicit Client(const ScriptedServer& server, int32_t timeOut = 5000,
                  std::unique_ptr<TzqNetworkStream> stream = std::make_unique<TzqNetworkStream>()) {
    connection.SetTimeOut(timeOut);
    connection.SetNetworkStream(std::move(stream));
    connection.OpenConnection(server.Address(), server.Port());
  }

  // Reads until at least count bytes have arrived (or the connection ends).
  std::string Read(size_t count) {
    TzqMemoryStream data;
    for (int i = 0; i < 1000 && static_cast<size_t>(data.Size()) < count && connection.Active(); ++i)
      connection.ReadData(&data);
    return Text(data);
  }
};

// Calls handler from the message pump every period ms while alive.
class Ticker {
public:
  Ticker(uint32_t period, std::function<void()> handler)
      : window_(CreateMessageWindow([this](TzqMessage& m) {
          if (m.Msg == WM_TIMER) {
            ++ticks;
            handler_();
          }
        })),
        handler_(std::move(handler)) {
    SetTimer(window_, 1, period);
  }
  ~Ticker() { DestroyMessageWindow(window_); }
  int ticks = 0;

private:
  TzqWindowHandle window_;
  std::function<void()> handler_;
};

class ConnectionFamilies : public ::testing::TestWithParam<bool> {};

TEST_P(ConnectionFamilies, ExchangesDataAndReportsBothEnds) {
  ScriptedServer server(
      [](int fd) {
        EXPECT_EQ(ReadExactly(fd, 5), "hello");
        WriteAll(fd, "world!");
      },
      GetParam());
  Client client(server);
  EXPECT_TRUE(client.connection.Active());
  EXPECT_EQ(client.connection.PeerIP(), server.Address());
  EXPECT_EQ(client.connection.PeerPort(), server.Port());
  EXPECT_EQ(client.connection.LocalIP(), server.Address());
  EXPECT_GT(client.connection.LocalPort(), 0);
  client.connection.WriteText("hello", "us-ascii");
  EXPECT_EQ(client.Read(6), "world!");
  EXPECT_EQ(server.Errors(), "");
}

INSTANTIATE_TEST_SUITE_P(Loopback, ConnectionFamilies, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "IPv6" : "IPv4"; });

TEST(Connection, SetsNoDelayOnTheSocket) {
  ScriptedServer server([](int) {});
  Client client(server);
  int value = 0;
  socklen_t length = sizeof value;
  ASSERT_EQ(getsockopt(client.connection.Socket().Handle(), IPPROTO_TCP, TCP_NODELAY, &value, &length), 0);
  EXPECT_NE(value, 0);
}

TEST(Connection, ReadLimitTakesOnlyWhatWasAskedFor) {
  const std::string hundred = [] {
    std::string s;
    for (int i = 0; i < 100; ++i) s += static_cast<char>('0' + i % 10);
    return s;
  }();
  ScriptedServer server([&](int fd) {
    WriteAll(fd, hundred);
    ReadExactly(fd, 1);
  });
  Client client(server);
  Pause(100);  // all 100 bytes are waiting
  TzqMemoryStream first;
  client.connection.InitProgress(0, 0);
  client.connection.SetReadLimit(10);
  client.connection.ReadData(&first);
  EXPECT_EQ(Text(first), hundred.substr(0, 10));
  client.connection.SetReadLimit(-1);
  EXPECT_EQ(client.Read(90), hundred.substr(10));
  client.connection.WriteText("x", "us-ascii");
}

TEST(Connection, PeerThatClosesAfterSendingLeavesItInactive) {
  ScriptedServer server([](int fd) {
    WriteAll(fd, "bye");
    shutdown(fd, SHUT_WR);
  });
  Client client(server);
  Pause(100);
  TzqMemoryStream data;
  client.connection.ReadData(&data);
  EXPECT_EQ(Text(data), "bye");
  EXPECT_FALSE(client.connection.Active());
  EXPECT_TRUE(client.connection.IsPeerClosedGracefully());
}

TEST(Connection, DeferPeerCloseKeepsItOpenUntilAsked) {
  ScriptedServer server([](int fd) { WriteAll(fd, "bye"); });
  Client client(server);
  Pause(100);
  client.connection.SetDeferPeerClose(true);
  TzqMemoryStream data;
  client.connection.ReadData(&data);
  EXPECT_EQ(Text(data), "bye");
  EXPECT_TRUE(client.connection.Active());
  EXPECT_TRUE(client.connection.IsClosed());
  client.connection.CloseIfClosed();
  EXPECT_FALSE(client.connection.Active());
}

TEST(Connection, BytesAheadOfAResetAreReadBeforeItIsRaised) {
  ScriptedServer server([](int fd) {
    WriteAll(fd, "last words");
    Pause(20);
    const linger now{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
  });
  Client client(server);
  Pause(200);  // the bytes and the reset both wait when the client first looks
  TzqMemoryStream data;
  client.connection.ReadData(&data);
  EXPECT_EQ(Text(data), "last words");
  EXPECT_FALSE(client.connection.PeerClosed());  // not taken for an orderly end
  try {
    client.connection.ReadData(&data);
    ADD_FAILURE() << "the reset was lost";
  } catch (const EzqSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), WSAECONNRESET);
  }
  EXPECT_FALSE(client.connection.Active());
}

TEST(Connection, ReadUntilClosedCollectsEveryPiece) {
  ScriptedServer server([](int fd) {
    for (const char* piece : {"one ", "two ", "three"}) {
      WriteAll(fd, piece);
      Pause(50);
    }
  });
  Client client(server);
  client.connection.SetReadUntilClosed(true);
  TzqMemoryStream data;
  client.connection.ReadData(&data);
  EXPECT_EQ(Text(data), "one two three");
  EXPECT_FALSE(client.connection.Active());
}

TEST(Connection, LargeWriteToSlowReaderResumesAndKeepsIncomingData) {
  std::string payload(12 * 1024 * 1024, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>((i * 131) >> 7);
  std::string received;
  ScriptedServer server([&](int fd) {
    WriteAll(fd, "early");  // arrives while the client is still writing
    while (received.size() < payload.size()) {
      received += ReadExactly(fd, std::min<size_t>(256 * 1024, payload.size() - received.size()));
      Pause(2);
    }
    WriteAll(fd, "done");
  });
  Client client(server, 10000);
  int64_t lastProgress = 0;
  bool ordered = true;
  client.connection.OnProgress = [&](TzqObject*, int64_t done, int64_t) {
    ordered = ordered && done > lastProgress;
    lastProgress = done;
  };
  TzqMemoryStream source(payload);
  client.connection.InitProgress(0, static_cast<int64_t>(payload.size()));
  client.connection.WriteData(&source);
  EXPECT_EQ(source.Position(), source.Size());
  EXPECT_EQ(lastProgress, static_cast<int64_t>(payload.size()));
  EXPECT_TRUE(ordered);
  EXPECT_EQ(client.Read(9), "earlydone");
  ASSERT_EQ(received.size(), payload.size());
  EXPECT_TRUE(received == payload);
  EXPECT_EQ(server.Errors(), "");
}

TEST(Connection, AbortFromAPostedMessageEndsTheWait) {
  ScriptedServer server([](int fd) { test::ReadUntilClosed(fd, 10000); });
  Client client(server, 20000);
  int handled = 0;
  const TzqWindowHandle window = CreateMessageWindow([&](TzqMessage& m) {
    if (m.Msg != WM_USER + 7) return;
    ++handled;
    client.connection.Abort();
  });
  // Taken before the poster starts: under a slow build the thread may be well on its way first.
  const uint64_t start = GetTickCount64();
  std::thread poster([&] {
    Pause(100);
    PostMessage(window, WM_USER + 7, 0, 0);
  });
  TzqMemoryStream data;
  client.connection.ReadData(&data);
  const uint64_t elapsed = GetTickCount64() - start;
  poster.join();
  DestroyMessageWindow(window);
  EXPECT_TRUE(client.connection.Aborted());
  EXPECT_EQ(handled, 1);
  EXPECT_GE(elapsed, 90u);
  EXPECT_LT(elapsed, 5000u);
  EXPECT_EQ(data.Size(), 0);
}

TEST(Connection, TimesOutWhileMessagesKeepArriving) {
  ScriptedServer server([](int fd) { test::ReadUntilClosed(fd, 10000); });
  Client client(server, 300);
  Ticker ticker(20, [] {});
  const uint64_t start = GetTickCount64();
  TzqMemoryStream data;
  try {
    client.connection.ReadData(&data);
    FAIL() << "no time-out";
  } catch (const EzqSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), -1);
    EXPECT_STREQ(e.what(), "Timeout error occured");
  }
  const uint64_t elapsed = GetTickCount64() - start;
  EXPECT_GE(elapsed, 290u);
  EXPECT_LT(elapsed, 3000u);
  EXPECT_GE(ticker.ticks, 5);
}

TEST(Connection, DisabledMessageProcessingDispatchesNothing) {
  ScriptedServer server([](int fd) { test::ReadUntilClosed(fd, 10000); });
  Client client(server, 200);
  client.connection.SetDisableGuiProcessing(true);
  Ticker ticker(20, [] {});
  TzqMemoryStream data;
  EXPECT_THROW(client.connection.ReadData(&data), EzqSocketError);
  EXPECT_EQ(ticker.ticks, 0);
}

TEST(Connection, RefusedConnectCarriesTheWinsockCode) {
  const int listener = test::ListenOn(false, 0);
  const int port = test::LocalPort(listener);
  close(listener);
  TzqTcpClientConnection connection;
  connection.SetNetworkStream(std::make_unique<TzqNetworkStream>());
  try {
    connection.OpenConnection("127.0.0.1", port);
    FAIL() << "connected";
  } catch (const EzqSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10061);
    EXPECT_EQ(std::string(e.what()), WsaErrorText(10061));
  }
  EXPECT_FALSE(connection.Active());
}

TEST(Connection, ConnectTimeOutAndItsFallbackToTimeOut) {
  ScriptedServer server([](int) {}, false, 2);
  SetConnectEventDelay(5000);
  for (const bool ownTimeOut : {true, false}) {
    TzqTcpClientConnection connection;
    connection.SetNetworkStream(std::make_unique<TzqNetworkStream>());
    connection.SetTimeOut(ownTimeOut ? 10000 : 200);
    connection.SetConnectTimeOut(ownTimeOut ? 200 : 0);
    const uint64_t start = GetTickCount64();
    try {
      connection.OpenConnection(server.Address(), server.Port());
      ADD_FAILURE() << "connected";
    } catch (const EzqSocketError& e) {
      EXPECT_EQ(e.ErrorCode(), -1);
    }
    EXPECT_LT(GetTickCount64() - start, 3000u);
  }
  SetConnectEventDelay(0);
}

TEST(Connection, NamesAreNotAddresses) {
  TzqTcpClientConnection connection;
  connection.SetNetworkStream(std::make_unique<TzqNetworkStream>());
  try {
    connection.OpenConnection("localhost", 80);
    FAIL();
  } catch (const EzqSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), -2);
  }
}

TEST(Connection, ResetByPeerIsAnErrorAndLaterUseIsToo) {
  // The server resets only once the client has opened and spoken, so the reset meets a read.
  ScriptedServer server([](int fd) {
    ReadExactly(fd, 1);
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  });
  Client client(server);
  TzqMemoryStream go("g");
  client.connection.WriteData(&go);
  Pause(150);
  TzqMemoryStream data;
  try {
    client.connection.ReadData(&data);
    FAIL() << "read after a reset succeeded";
  } catch (const EzqSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10054);
  }
  EXPECT_FALSE(client.connection.Active());
  TzqMemoryStream more("x");
  try {
    client.connection.WriteData(&more);
    FAIL() << "write on a closed connection succeeded";
  } catch (const EzqSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10038);
  }
}

TEST(Connection, WriteToAPeerThatWentAwayFails) {
  ScriptedServer server([](int) {});
  Client client(server);
  Pause(150);
  const std::string block(64 * 1024, 'x');
  try {
    for (int i = 0; i < 200; ++i) {
      TzqMemoryStream data(block);
      client.connection.WriteData(&data);
      Pause(5);
    }
    FAIL() << "writes kept succeeding";
  } catch (const EzqSocketError& e) {
    EXPECT_TRUE(e.ErrorCode() == 10053 || e.ErrorCode() == 10054 || e.ErrorCode() == 10038) << e.ErrorCode();
  }
}

TEST(Connection, BandwidthLimitPausesAfterEachBatch) {
  ScriptedServer server([](int fd) {
    WriteAll(fd, std::string(2000, 'b'));
    test::ReadUntilClosed(fd, 10000);
  });
  Client client(server);
  Pause(100);
  client.connection.SetBatchSize(1000);
  client.connection.SetBitsPerSec(8000);
  std::vector<uint64_t> arrivals;
  const uint64_t start = GetTickCount64();
  client.connection.OnProgress = [&](TzqObject*, int64_t, int64_t) { arrivals.push_back(GetTickCount64() - start); };
  client.connection.InitProgress(0, 0);
  client.connection.SetReadLimit(2000);
  TzqMemoryStream data;
  client.connection.ReadData(&data);
  const uint64_t elapsed = GetTickCount64() - start;
  EXPECT_EQ(data.Size(), 2000);
  ASSERT_EQ(arrivals.size(), 2u);
  // The second batch waits for the pause after the first (1000 bytes at 8000 bit/s).
  EXPECT_GE(arrivals[1] - arrivals[0], 900u);
  EXPECT_GE(elapsed, 1800u);
  EXPECT_LT(elapsed, 8000u);
}

// A client whose socket calls are recorded.
struct RecordedClient {
  test::TzqRecordingStream* calls;
  Client client;
  explicit RecordedClient(const ScriptedServer& server, std::unique_ptr<test::TzqRecordingStream> stream =
                                                            std::make_unique<test::TzqRecordingStream>())
      : calls(stream.get()), client(server, 5000, std::move(stream)) {}
  // Reads under the limit until it is reached (or the connection ends).
  std::string ReadLimited(int64_t limit) {
    TzqMemoryStream data;
    client.connection.InitProgress(0, 0);
    TzqReadLimitScope scope(client.connection, limit);
    for (int i = 0; i < 1000 && data.Size() < limit && client.connection.Active(); ++i) {
      client.connection.GetNetworkStream().ResetCounter();
      client.connection.SetReadLimit(limit - data.Size());
      client.connection.ReadData(&data);
    }
    return Text(data);
  }
};

std::string Pattern(size_t size) {
  std::string text(size, ' ');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return text;
}

TEST(Connection, LargeBatchesStopExactlyAtTheReadLimit) {
  const std::string sent = Pattern(700000);
  ScriptedServer server([&](int fd) {
    WriteAll(fd, sent);
    ReadExactly(fd, 1);
  });
  RecordedClient recorded(server);
  TzqLargeBatchScope large(recorded.client.connection);
  EXPECT_EQ(recorded.ReadLimited(300001), sent.substr(0, 300001));
  EXPECT_EQ(*std::max_element(recorded.calls->asked.begin(), recorded.calls->asked.end()), kLargeBatchSize);
  EXPECT_EQ(recorded.ReadLimited(399999), sent.substr(300001));
  recorded.client.connection.WriteText("x", "us-ascii");
}

TEST(Connection, BatchSizeStaysUnderABandwidthLimitEvenForLargeBatches) {
  ScriptedServer server([](int fd) {
    WriteAll(fd, std::string(3000, 'b'));
    test::ReadUntilClosed(fd, 10000);
  });
  RecordedClient recorded(server);
  Pause(100);
  TzqTcpClientConnection& connection = recorded.client.connection;
  connection.SetBatchSize(1000);
  connection.SetBitsPerSec(800000);  // 10 ms after each piece
  TzqLargeBatchScope large(connection);
  EXPECT_EQ(recorded.ReadLimited(3000), std::string(3000, 'b'));
  EXPECT_EQ(recorded.calls->asked, (std::vector<int>{1000, 1000, 1000}));
}

TEST(Connection, AShortPieceUnderALimitEndsTheReadWithoutAskingAgain) {
  ScriptedServer server([](int fd) {
    WriteAll(fd, std::string(100, 's'));
    ReadExactly(fd, 1);
  });
  RecordedClient recorded(server);
  Pause(100);
  TzqMemoryStream data;
  recorded.client.connection.InitProgress(0, 0);
  {
    TzqReadLimitScope scope(recorded.client.connection, 8192);
    recorded.client.connection.ReadData(&data);
  }
  EXPECT_EQ(data.Size(), 100);
  EXPECT_EQ(recorded.calls->asked, std::vector<int>{8192});
  EXPECT_EQ(recorded.calls->WouldBlocks(), 0);
  EXPECT_FALSE(recorded.client.connection.GetNetworkStream().HasReadData());
  recorded.client.connection.WriteText("x", "us-ascii");
}

// What stays behind a piece the limit cut is read at once by the next read, before any wait.
TEST(Connection, APieceCutByTheLimitLeavesTheRestForTheNextRead) {
  ScriptedServer server([](int fd) {
    WriteAll(fd, "0123456789abcdef");
    ReadExactly(fd, 1);
  });
  RecordedClient recorded(server);
  Pause(100);
  EXPECT_EQ(recorded.ReadLimited(10), "0123456789");
  EXPECT_TRUE(recorded.client.connection.GetNetworkStream().HasReadData());
  EXPECT_EQ(recorded.ReadLimited(6), "abcdef");
  EXPECT_EQ(recorded.calls->WouldBlocks(), 0);
  recorded.client.connection.WriteText("x", "us-ascii");
}

TEST(NetworkStream, BindRangeSkipsAPortInUse) {
  const int port = test::FreePort();
  const int taken = test::ListenOn(false, port);
  ASSERT_GE(taken, 0);
  TzqTcpConnection connection;
  connection.SetNetworkStream(std::make_unique<TzqNetworkStream>());
  connection.CreateSocket(kAfInet, SOCK_STREAM, IPPROTO_TCP);
  auto address = TzqIPAddress::ParseAddress("127.0.0.1");
  try {
    connection.GetNetworkStream().BindRange(*address, port, port + 2);
    connection.GetNetworkStream().Listen();
    EXPECT_GT(connection.LocalPort(), port);
    EXPECT_LE(connection.LocalPort(), port + 2);
  } catch (const EzqSocketError& e) {
    ADD_FAILURE() << "ports " << port + 1 << ", " << port + 2 << " taken too: " << e.what();
  }
  close(taken);
  EXPECT_THROW(connection.GetNetworkStream().BindRange(*address, 0, 5), EzqSocketError);
}

TEST(NetworkStream, ListenAndAcceptTakeOverTheSocket) {
  TzqTcpConnection server;
  server.SetNetworkStream(std::make_unique<TzqNetworkStream>());
  server.CreateSocket(kAfInet, SOCK_STREAM, IPPROTO_TCP);
  auto any = TzqIPAddress::ParseAddress("127.0.0.1");
  server.GetNetworkStream().Bind(*any, 0);
  server.GetNetworkStream().Listen();
  const int port = server.LocalPort();
  ASSERT_GT(port, 0);
  const TzqSocketHandle listening = server.Socket().Handle();
  socklen_t length = 0;
  sockaddr_storage address = test::LoopbackAddress(false, port, length);
  const int peer = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(::connect(peer, reinterpret_cast<sockaddr*>(&address), length), 0);
  Pause(50);
  server.GetNetworkStream().Accept();
  EXPECT_NE(server.Socket().Handle(), listening);
  EXPECT_EQ(server.PeerIP(), "127.0.0.1");
  EXPECT_EQ(server.PeerPort(), test::LocalPort(peer));
  ::close(peer);
}

TEST(NetworkStream, DatagramsGoBothWays) {
  TzqTcpConnection a;
  TzqTcpConnection b;
  for (TzqTcpConnection* c : {&a, &b}) {
    c->SetNetworkStream(std::make_unique<TzqNetworkStream>());
    c->CreateSocket(kAfInet, SOCK_DGRAM, IPPROTO_UDP);
    auto any = TzqIPAddress::ParseAddress("127.0.0.1");
    c->GetNetworkStream().Bind(*any, 0);
  }
  auto where = TzqIPAddress::ParseAddress("127.0.0.1");
  int length = where->SockAddrLength();
  ASSERT_EQ(winsock::getsockname(b.Socket().Handle(), where->SockAddr(), &length), 0);
  TzqMemoryStream message("datagram");
  auto to = TzqIPAddress::ParseAddress("127.0.0.1");
  EXPECT_TRUE(a.GetNetworkStream().SendTo(&message, *to, where->GetPort()));
  TzqByteArray received;
  auto from = TzqIPAddress::ParseAddress("127.0.0.1");
  int32_t port = 0;
  bool got = false;
  for (int i = 0; i < 100 && !got; ++i, Pause(10)) got = b.GetNetworkStream().ReceiveFrom(received, *from, port);
  EXPECT_TRUE(got);
  EXPECT_EQ(std::string(received.begin(), received.end()), "datagram");
  EXPECT_GT(port, 0);
}

}  // namespace
}  // namespace zq
