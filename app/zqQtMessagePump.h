#pragma once
// The GUI thread's message pump on Qt's event loop. A blocking network call waits in a nested
// QEventLoop, so the window keeps painting and taking clicks while it waits; posted messages
// and timers travel through Qt and reach their hidden windows from whichever loop is running.

#include <QObject>

#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/zqMessagePump.h"

class QEventLoop;
class QTimer;

namespace zq {

class TzqQtMessagePump : public TzqMessagePump {
public:
  // Serves the calling thread, which must run Qt's event loop (a QCoreApplication exists).
  TzqQtMessagePump();
  ~TzqQtMessagePump() override;
  TzqQtMessagePump(const TzqQtMessagePump&) = delete;
  TzqQtMessagePump& operator=(const TzqQtMessagePump&) = delete;

  void Post(const TzqMessage& message) override;
  // Timers belong to the pump's thread: set and kill them there.
  bool SetTimer(TzqWindowHandle window, uintptr_t id, uint32_t elapse) override;
  bool KillTimer(TzqWindowHandle window, uintptr_t id) override;
  uint32_t Wait(std::span<TzqWaitable* const> objects, uint32_t timeout, bool wakeOnInput) override;
  bool DispatchOne() override;
  void ForgetWindow(TzqWindowHandle window) override;

private:
  struct TzqTimer {
    TzqWindowHandle window;
    uintptr_t id;
    QTimer* timer;
    bool due;
  };
  // A Wait that lets input end it: the Qt loop level it runs at and the nested loop, if any.
  struct TzqWaitFrame {
    int level;
    QEventLoop* loop;
  };

  void InputArrived();
  void KickLater();
  bool InputWaiting();
  bool TakeMessage(TzqMessage& message);
  void StopTimer(TzqTimer& timer);
  void KeepResponsive();
  uint32_t WaitForInput(std::span<TzqWaitable* const> objects, uint32_t timeout);
  void RunNestedLoop(std::span<TzqWaitable* const> objects, int64_t limit);

  std::mutex lock_;
  std::deque<TzqMessage> queue_;
  std::vector<TzqTimer> timers_;
  std::vector<TzqWaitFrame*> waits_;
  uint64_t lastProcessed_ = 0;
  // Waits that must not dispatch anything are plain polls, as without a GUI.
  std::unique_ptr<TzqMessagePump> plain_;
  // Last, so that Qt drops what is still queued for this pump before the rest goes.
  std::unique_ptr<QObject> context_;
};

}  // namespace zq
