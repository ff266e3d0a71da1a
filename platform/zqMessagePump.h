#pragma once
// The thread's message pump: messages posted to hidden message windows, timers, and the wait
// "for these objects, or for input, until a time-out" that every blocking network call uses.
// Each thread has its own pump; a default one (no GUI) is made on first use, and a front end
// can install one built on its own event loop so that blocking calls keep it responsive.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "core/zqApi.h"
#include "platform/zqWaitable.h"

namespace zq {

using TzqWindowHandle = uintptr_t;  // 0 = none

constexpr uint32_t WM_TIMER = 275;
constexpr uint32_t WM_USER = 0x0400;

struct ZQ_API TzqMessage {
  TzqWindowHandle Window = 0;
  uint32_t Msg = 0;
  uintptr_t WParam = 0;
  intptr_t LParam = 0;
};

using TzqWindowProc = std::function<void(TzqMessage& message)>;

// Results of MsgWaitForMultipleObjects besides the index of a signalled object.
constexpr uint32_t WAIT_OBJECT_0 = 0;
constexpr uint32_t WAIT_TIMEOUT = 258;
constexpr uint32_t WAIT_FAILED = 0xFFFFFFFF;
constexpr uint32_t INFINITE = 0xFFFFFFFF;
constexpr uint32_t QS_ALLEVENTS = 0xBF;

class ZQ_API TzqMessagePump {
public:
  virtual ~TzqMessagePump() = default;

  // Queues a message for a window of this pump's thread; may be called from any thread.
  virtual void Post(const TzqMessage& message) = 0;
  // Starts (or restarts) timer id of a window: a WM_TIMER every elapse ms.
  virtual bool SetTimer(TzqWindowHandle window, uintptr_t id, uint32_t elapse) = 0;
  virtual bool KillTimer(TzqWindowHandle window, uintptr_t id) = 0;
  // Waits until one of objects is signalled (its index), or, when wakeOnInput, until a
  // message or a due timer is waiting (objects.size()), or until timeout ms have passed
  // (WAIT_TIMEOUT; INFINITE = no limit).
  virtual uint32_t Wait(std::span<TzqWaitable* const> objects, uint32_t timeout, bool wakeOnInput) = 0;
  // Takes one waiting message (or due timer) off the queue and delivers it; false when none.
  virtual bool DispatchOne() = 0;
  // Drops what is queued for a window and its timers (the window is going away).
  virtual void ForgetWindow(TzqWindowHandle window) = 0;
};

// The calling thread's pump (the default one unless another was installed).
ZQ_API TzqMessagePump& CurrentMessagePump();
// Installs a pump for the calling thread (not owned); nullptr returns to the default one.
ZQ_API void InstallMessagePump(TzqMessagePump* pump);
// A pump without GUI, for threads that install nothing.
ZQ_API std::unique_ptr<TzqMessagePump> CreateDefaultMessagePump();

// Hidden message windows: a handle whose messages reach proc on the creating thread.
ZQ_API TzqWindowHandle AllocateHiddenWindow(TzqWindowProc proc);
ZQ_API void DeallocateHiddenWindow(TzqWindowHandle window);
// Hands a message to its window's procedure; false when the window no longer exists.
ZQ_API bool DeliverMessage(TzqMessage& message);

// The Windows calls, on the pump of the window's thread (PostMessage from any thread).
ZQ_API bool PostMessage(TzqWindowHandle window, uint32_t msg, uintptr_t wParam, intptr_t lParam);
ZQ_API bool SetTimer(TzqWindowHandle window, uintptr_t id, uint32_t elapse);
ZQ_API bool KillTimer(TzqWindowHandle window, uintptr_t id);
ZQ_API uint32_t MsgWaitForMultipleObjects(std::span<TzqWaitable* const> objects, uint32_t timeout, uint32_t wakeMask);

}  // namespace zq
