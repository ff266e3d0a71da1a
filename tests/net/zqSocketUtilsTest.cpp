// Socket errors, the socket wait and the host resolvers (names of the tests' own, never the
// machine's hosts file).

#include "net/zqSocketUtils.h"

#include <gtest/gtest.h>

#include "codec/zqUtils.h"
#include "core/zqSystem.h"

namespace zq {
namespace {

struct WithoutAddressLists {
  WithoutAddressLists() { SetAddressListFunctionsAvailable(false); }
  ~WithoutAddressLists() { SetAddressListFunctionsAvailable(true); }
};

// Runs handler from the pump every period ms while alive.
class Ticker {
public:
  Ticker(uint32_t period, std::function<void()> handler) : handler_(std::move(handler)) {
    window_ = CreateMessageWindow([this](TzqMessage& m) {
      if (m.Msg != WM_TIMER) return;
      ++ticks;
      handler_();
    });
    SetTimer(window_, 1, period);
  }
  ~Ticker() { DestroyMessageWindow(window_); }
  int ticks = 0;

private:
  std::function<void()> handler_;
  TzqWindowHandle window_ = 0;
};

TEST(SocketError, CarriesTheSystemTextOrTheLibrarysMessage) {
  try {
    RaiseSocketError(WSAECONNREFUSED);
  } catch (const EzqSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10061);
    EXPECT_EQ(std::string(e.what()), WsaErrorText(10061));
  }
  try {
    RaiseSocketMessage(sInvalidBatchSize, kInvalidBatchSizeCode);
  } catch (const EzqSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), -4);
    EXPECT_STREQ(e.what(), "Invalid Batch Size");
  }
  const EzqSocksFirewallError socks("x", 91);
  EXPECT_NE(dynamic_cast<const EzqSocketError*>(&socks), nullptr);
}

TEST(WaitForSocketEvent, TimesOutEvenWhileMessagesKeepArriving) {
  TzqEvent never(false, false);
  Ticker ticker(10, [] {});
  const uint64_t start = GetTickCount64();
  int falses = 0;
  try {
    while (!WaitForSocketEvent(&never, nullptr, start, false, 200)) ++falses;
    FAIL() << "signalled";
  } catch (const EzqSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), -1);
    EXPECT_STREQ(e.what(), "Timeout error occured");
  }
  EXPECT_GE(GetTickCount64() - start, 199u);
  EXPECT_LT(GetTickCount64() - start, 2000u);
  EXPECT_GE(falses, 3);
  EXPECT_GE(ticker.ticks, 3);
}

TEST(WaitForSocketEvent, NoLimitNeverTimesOutAndAbortGivesFalse) {
  TzqEvent socket(true, false);
  TzqEvent abort(false, false);
  int round = 0;
  Ticker ticker(30, [&] {
    if (++round == 3) socket.Set();
  });
  const uint64_t start = GetTickCount64() - 100000;  // long past any limit
  bool result = false;
  while (!(result = WaitForSocketEvent(&socket, &abort, start, false, -1))) {
  }
  EXPECT_TRUE(result);
  socket.Reset();
  abort.Set();
  EXPECT_FALSE(WaitForSocketEvent(&socket, &abort, GetTickCount64(), true, 1000));
}

TEST(Resolvers, LiteralsComeBackUnchanged) {
  for (const char* literal : {"127.0.0.1", "::1", "fe80::1", "10.20.30.40"}) {
    EXPECT_EQ(ResolveHostAddress(literal, false), literal);
    EXPECT_EQ(TzqHostResolver6(true).ResolveHost(literal), literal);
  }
  EXPECT_EQ(TzqHostResolver4().ResolveHost("10.20.30.40"), "10.20.30.40");
}

// Names of the tests' own, answered without the machine's hosts file.
struct OwnHosts {
  OwnHosts() {
    SetHostOverride("v4only.zq.test", "127.0.0.1");
    SetHostOverride("v6only.zq.test", "::1");
  }
  ~OwnHosts() {
    SetHostOverride("v4only.zq.test", "");
    SetHostOverride("v6only.zq.test", "");
  }
};

TEST(Resolvers, PreferenceFallsBackToTheFamilyThereIs) {
  OwnHosts hosts;
  EXPECT_EQ(TzqHostResolver6(true).ResolveHost("v4only.zq.test"), "127.0.0.1");
  EXPECT_EQ(TzqHostResolver6(false).ResolveHost("v4only.zq.test"), "127.0.0.1");
  EXPECT_EQ(TzqHostResolver6(false).ResolveHost("v6only.zq.test"), "::1");
  EXPECT_EQ(ResolveHostAddress("v6only.zq.test", false), "::1");
  TzqStringList all;
  all.Add("stale");
  TzqHostResolver6(false).ResolveAll("v4only.zq.test", all);
  ASSERT_EQ(all.Count(), 1);
  EXPECT_EQ(all[0], "127.0.0.1");
}

TEST(Resolvers, TheIPv4PathAnswersThroughTheMessagePump) {
  OwnHosts hosts;
  WithoutAddressLists off;
  EXPECT_EQ(ResolveHostAddress("v4only.zq.test", true), "127.0.0.1");
  TzqStringList all;
  TzqHostResolver4().ResolveAll("v4only.zq.test", all);
  ASSERT_EQ(all.Count(), 1);
  EXPECT_EQ(all[0], "127.0.0.1");
  EXPECT_THROW(TzqHostResolver4().ResolveHost("v6only.zq.test"), EzqSocketError);
}

}  // namespace
}  // namespace zq
