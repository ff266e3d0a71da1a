// The default message pump: posted messages, timers, hidden windows and waits.

#include "platform/zqMessagePump.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "core/zqSystem.h"

namespace zq {
namespace {

struct Window {
  std::vector<TzqMessage> received;
  TzqWindowHandle handle = AllocateHiddenWindow([this](TzqMessage& m) { received.push_back(m); });
  ~Window() { DeallocateHiddenWindow(handle); }
};

void DispatchAll() {
  while (CurrentMessagePump().DispatchOne()) {
  }
}

TEST(MessagePump, PostedMessagesArriveInOrderWithTheirParameters) {
  Window window;
  EXPECT_TRUE(PostMessage(window.handle, WM_USER + 1, 7, -3));
  EXPECT_TRUE(PostMessage(window.handle, WM_USER + 2, 8, 9));
  EXPECT_TRUE(window.received.empty());
  DispatchAll();
  ASSERT_EQ(window.received.size(), 2u);
  EXPECT_EQ(window.received[0].Msg, WM_USER + 1);
  EXPECT_EQ(window.received[0].WParam, 7u);
  EXPECT_EQ(window.received[0].LParam, -3);
  EXPECT_EQ(window.received[1].Msg, WM_USER + 2);
}

TEST(MessagePump, APostFromAnotherThreadWakesTheWait) {
  Window window;
  TzqEvent never(false, false);
  TzqWaitable* objects[] = {&never};
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    PostMessage(window.handle, WM_USER, 1, 2);
  });
  const uint64_t start = GetTickCount64();
  EXPECT_EQ(MsgWaitForMultipleObjects(objects, 5000, QS_ALLEVENTS), 1u);
  EXPECT_LT(GetTickCount64() - start, 2000u);
  poster.join();
  DispatchAll();
  EXPECT_EQ(window.received.size(), 1u);
}

TEST(MessagePump, WaitReportsTheSignalledObjectOrTheTimeOut) {
  TzqEvent first(false, false);
  TzqEvent second(true, false);
  TzqWaitable* objects[] = {&first, &second};
  EXPECT_EQ(MsgWaitForMultipleObjects(objects, 30, 0), WAIT_TIMEOUT);
  second.Set();
  EXPECT_EQ(MsgWaitForMultipleObjects(objects, 1000, 0), 1u);
  EXPECT_EQ(MsgWaitForMultipleObjects(objects, 1000, 0), 1u);  // manual reset stays set
  first.Set();
  EXPECT_EQ(MsgWaitForMultipleObjects(objects, 1000, 0), 0u);
  second.Reset();
  EXPECT_EQ(MsgWaitForMultipleObjects(objects, 30, 0), WAIT_TIMEOUT);  // auto reset was taken
}

TEST(MessagePump, WithoutTheInputMaskMessagesDoNotWake) {
  Window window;
  PostMessage(window.handle, WM_USER, 0, 0);
  TzqEvent never(false, false);
  TzqWaitable* objects[] = {&never};
  EXPECT_EQ(MsgWaitForMultipleObjects(objects, 50, 0), WAIT_TIMEOUT);
  EXPECT_EQ(MsgWaitForMultipleObjects(objects, 50, QS_ALLEVENTS), 1u);
  DispatchAll();
}

TEST(MessagePump, TimersTickUntilKilled) {
  Window window;
  ASSERT_TRUE(SetTimer(window.handle, 5, 20));
  TzqEvent never(false, false);
  TzqWaitable* objects[] = {&never};
  const uint64_t start = GetTickCount64();
  while (GetTickCount64() - start < 200) {
    if (MsgWaitForMultipleObjects(objects, 50, QS_ALLEVENTS) == 1u) DispatchAll();
  }
  const size_t ticks = window.received.size();
  EXPECT_GE(ticks, 4u);
  for (const auto& m : window.received) {
    EXPECT_EQ(m.Msg, WM_TIMER);
    EXPECT_EQ(m.WParam, 5u);
  }
  EXPECT_TRUE(KillTimer(window.handle, 5));
  EXPECT_FALSE(KillTimer(window.handle, 5));
  EXPECT_EQ(MsgWaitForMultipleObjects(objects, 80, QS_ALLEVENTS), WAIT_TIMEOUT);
  EXPECT_EQ(window.received.size(), ticks);
}

TEST(MessagePump, ADestroyedWindowGetsNothingMore) {
  auto window = std::make_unique<Window>();
  const TzqWindowHandle handle = window->handle;
  PostMessage(handle, WM_USER, 0, 0);
  SetTimer(handle, 1, 1);
  window.reset();
  EXPECT_FALSE(PostMessage(handle, WM_USER, 0, 0));
  EXPECT_FALSE(SetTimer(handle, 1, 1));
  DispatchAll();  // nothing to deliver, and nothing crashes
  TzqMessage stale{handle, WM_USER, 0, 0};
  EXPECT_FALSE(DeliverMessage(stale));
}

TEST(MessagePump, AnInstalledPumpServesTheThread) {
  auto pump = CreateDefaultMessagePump();
  InstallMessagePump(pump.get());
  EXPECT_EQ(&CurrentMessagePump(), pump.get());
  {
    Window window;
    PostMessage(window.handle, WM_USER, 0, 0);
    EXPECT_TRUE(pump->DispatchOne());
    EXPECT_EQ(window.received.size(), 1u);
  }
  InstallMessagePump(nullptr);
  EXPECT_NE(&CurrentMessagePump(), pump.get());
}

}  // namespace
}  // namespace zq
