#include "platform/zqMessagePump.h"

#include <poll.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "core/zqSystem.h"

namespace zq {

namespace {

struct TzqWindowEntry {
  std::shared_ptr<TzqWindowProc> proc;
  TzqMessagePump* pump;
};

std::mutex gWindowsLock;
std::map<TzqWindowHandle, TzqWindowEntry> gWindows;
TzqWindowHandle gNextWindow = 1;

TzqMessagePump* PumpOf(TzqWindowHandle window) {
  std::lock_guard<std::mutex> guard(gWindowsLock);
  auto it = gWindows.find(window);
  return it == gWindows.end() ? nullptr : it->second.pump;
}

int64_t Lower(int64_t current, int64_t candidate) {
  if (candidate < 0) return current;
  return current < 0 ? candidate : std::min(current, candidate);
}

class TzqDefaultMessagePump : public TzqMessagePump {
public:
  void Post(const TzqMessage& message) override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      queue_.push_back(message);
    }
    posted_ = true;
    wake_.Set();
  }

  bool SetTimer(TzqWindowHandle window, uintptr_t id, uint32_t elapse) override {
    std::lock_guard<std::mutex> guard(lock_);
    const uint64_t due = GetTickCount64() + std::max<uint32_t>(elapse, 1);
    for (auto& timer : timers_) {
      if (timer.window == window && timer.id == id) {
        timer.elapse = elapse;
        timer.due = due;
        return true;
      }
    }
    timers_.push_back({window, id, elapse, due});
    return true;
  }

  bool KillTimer(TzqWindowHandle window, uintptr_t id) override {
    std::lock_guard<std::mutex> guard(lock_);
    const auto before = timers_.size();
    std::erase_if(timers_, [&](const TzqTimer& t) { return t.window == window && t.id == id; });
    return timers_.size() != before;
  }

  // Polls first and asks the objects after, with what the poll saw: a wait that finds its
  // object ready costs the one poll. The objects still come before input and the time-out.
  uint32_t Wait(std::span<TzqWaitable* const> objects, uint32_t timeout, bool wakeOnInput) override {
    const uint64_t start = GetTickCount64();
    // The usual few objects need no heap for their poll entries.
    std::array<pollfd, 8> fewFds;
    std::vector<pollfd> manyFds;
    const size_t count = objects.size() + (wakeOnInput ? 1 : 0);
    if (count > fewFds.size()) manyFds.resize(count);
    pollfd* const fds = count > fewFds.size() ? manyFds.data() : fewFds.data();
    for (;;) {
      // The wake-up event is drained only when something was posted (one system call less
      // per wait on the hot path).
      if (wakeOnInput && posted_.exchange(false)) wake_.Reset();
      int64_t limit = -1;
      bool inputDue = false;
      if (wakeOnInput) {
        const int64_t untilInput = MillisecondsUntilInput();
        inputDue = untilInput == 0;
        limit = untilInput;
      }
      bool timedOut = false;
      if (timeout != INFINITE) {
        const int64_t left = static_cast<int64_t>(start + timeout) - static_cast<int64_t>(GetTickCount64());
        timedOut = left <= 0;
        limit = Lower(limit, std::max<int64_t>(left, 0));
      }
      // One entry per object, -1 (not polled) for an object that names no descriptor now.
      for (size_t i = 0; i < objects.size(); ++i) {
        short events = 0;
        const int fd = objects[i]->PollDescriptor(events, limit);
        fds[i] = {fd >= 0 ? fd : -1, fd >= 0 ? events : short{0}, 0};
      }
      if (wakeOnInput) {
        short events = 0;
        int64_t unused = -1;
        fds[objects.size()] = {wake_.PollDescriptor(events, unused), events, 0};
      }
      const int pollTimeout = inputDue || timedOut ? 0
                              : limit < 0          ? -1
                                                   : static_cast<int>(std::min<int64_t>(limit, 1 << 30));
      if (::poll(fds, count, pollTimeout) < 0) {
        if (errno != EINTR) return WAIT_FAILED;
        for (size_t i = 0; i < count; ++i) fds[i].revents = 0;
      }
      for (size_t i = 0; i < objects.size(); ++i)
        if (objects[i]->TakeSignalAfterPoll(fds[i].revents)) return static_cast<uint32_t>(i);
      if (inputDue) return static_cast<uint32_t>(objects.size());
      if (timedOut) return WAIT_TIMEOUT;
    }
  }

  bool DispatchOne() override {
    TzqMessage message;
    if (!TakeMessage(message)) return false;
    DeliverMessage(message);
    return true;
  }

  void ForgetWindow(TzqWindowHandle window) override {
    std::lock_guard<std::mutex> guard(lock_);
    std::erase_if(queue_, [&](const TzqMessage& m) { return m.Window == window; });
    std::erase_if(timers_, [&](const TzqTimer& t) { return t.window == window; });
  }

private:
  struct TzqTimer {
    TzqWindowHandle window;
    uintptr_t id;
    uint32_t elapse;
    uint64_t due;
  };

  // 0 when a message or a due timer waits; otherwise the time to the next timer (-1: none).
  int64_t MillisecondsUntilInput() {
    std::lock_guard<std::mutex> guard(lock_);
    if (!queue_.empty()) return 0;
    int64_t result = -1;
    const uint64_t now = GetTickCount64();
    for (const auto& timer : timers_)
      result = Lower(result, timer.due <= now ? 0 : static_cast<int64_t>(timer.due - now));
    return result;
  }

  // Posted messages first; a due timer gives one WM_TIMER however often it came due.
  bool TakeMessage(TzqMessage& message) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!queue_.empty()) {
      message = queue_.front();
      queue_.pop_front();
      return true;
    }
    const uint64_t now = GetTickCount64();
    for (auto& timer : timers_) {
      if (timer.due > now) continue;
      timer.due = now + std::max<uint32_t>(timer.elapse, 1);
      message = TzqMessage{timer.window, WM_TIMER, timer.id, 0};
      return true;
    }
    return false;
  }

  std::mutex lock_;
  std::deque<TzqMessage> queue_;
  std::vector<TzqTimer> timers_;
  TzqEvent wake_{false, false};
  std::atomic<bool> posted_{false};
};

thread_local TzqMessagePump* tInstalledPump = nullptr;
thread_local std::unique_ptr<TzqMessagePump> tDefaultPump;

}  // namespace

TzqMessagePump& CurrentMessagePump() {
  if (tInstalledPump != nullptr) return *tInstalledPump;
  if (!tDefaultPump) tDefaultPump = CreateDefaultMessagePump();
  return *tDefaultPump;
}

void InstallMessagePump(TzqMessagePump* pump) { tInstalledPump = pump; }

std::unique_ptr<TzqMessagePump> CreateDefaultMessagePump() { return std::make_unique<TzqDefaultMessagePump>(); }

TzqWindowHandle AllocateHiddenWindow(TzqWindowProc proc) {
  TzqMessagePump* pump = &CurrentMessagePump();
  std::lock_guard<std::mutex> guard(gWindowsLock);
  const TzqWindowHandle window = gNextWindow++;
  gWindows[window] = {std::make_shared<TzqWindowProc>(std::move(proc)), pump};
  return window;
}

void DeallocateHiddenWindow(TzqWindowHandle window) {
  TzqMessagePump* pump = PumpOf(window);
  if (pump == nullptr) return;
  pump->ForgetWindow(window);
  std::lock_guard<std::mutex> guard(gWindowsLock);
  gWindows.erase(window);
}

bool DeliverMessage(TzqMessage& message) {
  std::shared_ptr<TzqWindowProc> proc;
  {
    std::lock_guard<std::mutex> guard(gWindowsLock);
    auto it = gWindows.find(message.Window);
    if (it == gWindows.end()) return false;
    proc = it->second.proc;
  }
  if (*proc) (*proc)(message);
  return true;
}

bool PostMessage(TzqWindowHandle window, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  TzqMessagePump* pump = PumpOf(window);
  if (pump == nullptr) return false;
  pump->Post({window, msg, wParam, lParam});
  return true;
}

bool SetTimer(TzqWindowHandle window, uintptr_t id, uint32_t elapse) {
  TzqMessagePump* pump = PumpOf(window);
  return pump != nullptr && pump->SetTimer(window, id, elapse);
}

bool KillTimer(TzqWindowHandle window, uintptr_t id) {
  TzqMessagePump* pump = PumpOf(window);
  return pump != nullptr && pump->KillTimer(window, id);
}

uint32_t MsgWaitForMultipleObjects(std::span<TzqWaitable* const> objects, uint32_t timeout, uint32_t wakeMask) {
  return CurrentMessagePump().Wait(objects, timeout, wakeMask != 0);
}

}  // namespace zq
