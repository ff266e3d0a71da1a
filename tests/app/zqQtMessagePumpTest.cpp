// The message pump on Qt's event loop: posted messages and timers reach hidden windows from
// Qt's own loop, and waits end on their objects, on input or on time-out while Qt keeps running.

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "core/zqSystem.h"
#include "platform/zqWaitable.h"
#include "tests/app/zqAppTestSupport.h"

namespace zq {
namespace {

constexpr uint32_t kTestMessage = WM_USER + 7;

class QtMessagePump : public ::testing::Test {
protected:
  QtMessagePump() {
    window = AllocateHiddenWindow([this](TzqMessage& message) {
      received.push_back(message);
      if (OnMessage) OnMessage(message);
    });
  }
  ~QtMessagePump() override { DeallocateHiddenWindow(window); }

  uint32_t Wait(std::vector<TzqWaitable*> objects, uint32_t timeout, bool wakeOnInput = true) {
    return pump.Wait(objects, timeout, wakeOnInput);
  }

  TzqQtMessagePump pump;
  test::PumpScope scope{pump};
  std::vector<TzqMessage> received;
  std::function<void(TzqMessage&)> OnMessage;
  TzqWindowHandle window;
};

TEST_F(QtMessagePump, PostedMessagesReachTheirWindowFromQtsLoopInOrder) {
  ASSERT_TRUE(PostMessage(window, kTestMessage, 1, -1));
  ASSERT_TRUE(PostMessage(window, kTestMessage, 2, -2));
  EXPECT_TRUE(received.empty());
  ASSERT_TRUE(test::ProcessUntil([&] { return received.size() == 2; }));
  EXPECT_EQ(received[0].WParam, 1u);
  EXPECT_EQ(received[0].LParam, -1);
  EXPECT_EQ(received[1].WParam, 2u);
  EXPECT_FALSE(pump.DispatchOne());
}

TEST_F(QtMessagePump, AMessageFromAnotherThreadIsDeliveredOnThePumpsThread) {
  std::thread::id deliveredOn;
  OnMessage = [&](TzqMessage&) { deliveredOn = std::this_thread::get_id(); };
  std::thread poster([this] { PostMessage(window, kTestMessage, 3, 0); });
  poster.join();
  ASSERT_TRUE(test::ProcessUntil([&] { return received.size() == 1; }));
  EXPECT_EQ(deliveredOn, std::this_thread::get_id());
}

TEST_F(QtMessagePump, WaitEndsOnInputAndLeavesTheMessageToDispatchOne) {
  TzqEvent never(true, false);
  QTimer::singleShot(20, [this] { PostMessage(window, kTestMessage, 4, 0); });
  EXPECT_EQ(Wait({&never}, 5000), 1u);
  EXPECT_TRUE(received.empty());
  EXPECT_TRUE(pump.DispatchOne());
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].WParam, 4u);
  EXPECT_FALSE(pump.DispatchOne());
  // Nothing is left for Qt's loop to deliver a second time.
  QCoreApplication::processEvents();
  EXPECT_EQ(received.size(), 1u);
}

TEST_F(QtMessagePump, WaitEndsOnItsObjectWhileQtRuns) {
  TzqEvent first(true, false);
  TzqEvent second(false, false);
  bool queuedRan = false;
  QTimer::singleShot(10, [&] { queuedRan = true; });
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    second.Set();
  });
  const uint32_t result = Wait({&first, &second}, 5000, true);
  setter.join();
  EXPECT_EQ(result, 1u);
  EXPECT_TRUE(queuedRan);
  EXPECT_FALSE(second.IsSet());  // auto-reset: taken by the wait
}

TEST_F(QtMessagePump, WaitTimesOut) {
  TzqEvent never(true, false);
  const uint64_t start = GetTickCount64();
  EXPECT_EQ(Wait({&never}, 40), WAIT_TIMEOUT);
  EXPECT_GE(GetTickCount64() - start, 40u);
  EXPECT_EQ(Wait({&never}, 0), WAIT_TIMEOUT);
  never.Set();
  EXPECT_EQ(Wait({&never}, 0), 0u);
}

TEST_F(QtMessagePump, WaitWithoutInputRunsNothingOfQt) {
  TzqEvent never(true, false);
  bool queuedRan = false;
  QTimer::singleShot(0, [&] { queuedRan = true; });
  ASSERT_TRUE(PostMessage(window, kTestMessage, 5, 0));
  EXPECT_EQ(Wait({&never}, 50, false), WAIT_TIMEOUT);
  EXPECT_FALSE(queuedRan);
  EXPECT_TRUE(received.empty());
  ASSERT_TRUE(test::ProcessUntil([&] { return queuedRan && received.size() == 1; }));
}

TEST_F(QtMessagePump, TimersTickUntilKilledAndMayBeKilledFromTheirOwnTick) {
  OnMessage = [&](TzqMessage& message) {
    if (received.size() == 3) KillTimer(message.Window, message.WParam);
  };
  ASSERT_TRUE(SetTimer(window, 9, 5));
  ASSERT_TRUE(test::ProcessUntil([&] { return received.size() == 3; }));
  EXPECT_EQ(received[0].Msg, WM_TIMER);
  EXPECT_EQ(received[0].WParam, 9u);
  QTest::qWait(40);
  EXPECT_EQ(received.size(), 3u);
  EXPECT_FALSE(KillTimer(window, 9));
}

TEST_F(QtMessagePump, ADueTimerWakesAWaitAndGivesOneTick) {
  TzqEvent never(true, false);
  ASSERT_TRUE(SetTimer(window, 2, 10));
  EXPECT_EQ(Wait({&never}, 5000), 1u);
  EXPECT_TRUE(received.empty());
  EXPECT_TRUE(pump.DispatchOne());
  EXPECT_FALSE(pump.DispatchOne());
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].Msg, WM_TIMER);
  EXPECT_EQ(received[0].WParam, 2u);
  // A wait that lets nothing through leaves ticks waiting; however many came due, one is given.
  ASSERT_TRUE(SetTimer(window, 2, 5));
  EXPECT_EQ(Wait({&never}, 60, false), WAIT_TIMEOUT);
  EXPECT_EQ(Wait({&never}, 5000), 1u);
  EXPECT_TRUE(pump.DispatchOne());
  EXPECT_FALSE(pump.DispatchOne());
  EXPECT_EQ(received.size(), 2u);
  EXPECT_TRUE(KillTimer(window, 2));
}

TEST_F(QtMessagePump, AForgottenWindowGetsNothing) {
  ASSERT_TRUE(PostMessage(window, kTestMessage, 6, 0));
  ASSERT_TRUE(SetTimer(window, 1, 5));
  pump.ForgetWindow(window);
  EXPECT_FALSE(pump.DispatchOne());
  QTest::qWait(30);
  EXPECT_TRUE(received.empty());
}

TEST_F(QtMessagePump, ALoopInsideAWaitDeliversMessagesItself) {
  TzqEvent done(true, false);
  bool deliveredInside = false;
  QTimer::singleShot(10, [&] {
    QEventLoop inner;
    PostMessage(window, kTestMessage, 8, 0);
    OnMessage = [&](TzqMessage&) {
      deliveredInside = true;
      inner.quit();
    };
    QTimer::singleShot(2000, &inner, &QEventLoop::quit);
    inner.exec();
    done.Set();
  });
  EXPECT_EQ(Wait({&done}, 5000), 0u);
  EXPECT_TRUE(deliveredInside);
  EXPECT_EQ(received.size(), 1u);
}

TEST_F(QtMessagePump, InputThatCameWithTheObjectIsStillDelivered) {
  TzqEvent ready(true, false);
  QTimer::singleShot(10, [&] {
    PostMessage(window, kTestMessage, 10, 0);
    ready.Set();
  });
  EXPECT_EQ(Wait({&ready}, 5000), 0u);
  // The caller dispatches nothing after its object won; Qt's loop must deliver the message.
  ASSERT_TRUE(test::ProcessUntil([&] { return received.size() == 1; }, 2000));
}

}  // namespace
}  // namespace zq
