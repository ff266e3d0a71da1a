#include "app/zqQtMessagePump.h"

#include <poll.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <algorithm>

#include "core/zqSystem.h"

namespace zq {

namespace {

// How long a run of waits that find their objects already signalled may go without letting
// Qt paint and take input.
constexpr uint64_t kResponsiveInterval = 50;
// A descriptor that only a hang-up or an error can signal is looked at this often (Qt's
// notifiers cannot wait for those alone).
constexpr int64_t kHangUpCheckInterval = 20;

int LoopLevel() { return QThread::currentThread()->loopLevel(); }

int64_t Lower(int64_t current, int64_t candidate) {
  if (candidate < 0) return current;
  return current < 0 ? candidate : std::min(current, candidate);
}

bool HungUp(int fd) {
  pollfd p{fd, 0, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace

TzqQtMessagePump::TzqQtMessagePump() : plain_(CreateDefaultMessagePump()), context_(std::make_unique<QObject>()) {}

TzqQtMessagePump::~TzqQtMessagePump() {
  // The timers are children of the context and go with it.
  context_.reset();
}

void TzqQtMessagePump::Post(const TzqMessage& message) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    queue_.push_back(message);
  }
  KickLater();
}

void TzqQtMessagePump::KickLater() {
  QMetaObject::invokeMethod(
      context_.get(), [this] { InputArrived(); }, Qt::QueuedConnection);
}

bool TzqQtMessagePump::SetTimer(TzqWindowHandle window, uintptr_t id, uint32_t elapse) {
  const int interval = static_cast<int>(std::clamp<uint32_t>(elapse, 1, 1u << 30));
  for (auto& timer : timers_) {
    if (timer.window == window && timer.id == id) {
      timer.timer->start(interval);
      return true;
    }
  }
  auto* qtimer = new QTimer(context_.get());
  timers_.push_back({window, id, qtimer, false});
  QObject::connect(qtimer, &QTimer::timeout, context_.get(), [this, qtimer] {
    for (auto& timer : timers_)
      if (timer.timer == qtimer) timer.due = true;
    InputArrived();
  });
  qtimer->start(interval);
  return true;
}

void TzqQtMessagePump::StopTimer(TzqTimer& timer) {
  // The timer may be the one whose time-out is being handled right now.
  timer.timer->stop();
  timer.timer->deleteLater();
}

bool TzqQtMessagePump::KillTimer(TzqWindowHandle window, uintptr_t id) {
  auto it =
      std::find_if(timers_.begin(), timers_.end(), [&](const TzqTimer& t) { return t.window == window && t.id == id; });
  if (it == timers_.end()) return false;
  StopTimer(*it);
  timers_.erase(it);
  return true;
}

void TzqQtMessagePump::ForgetWindow(TzqWindowHandle window) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    std::erase_if(queue_, [&](const TzqMessage& m) { return m.Window == window; });
  }
  std::erase_if(timers_, [&](TzqTimer& t) {
    if (t.window != window) return false;
    StopTimer(t);
    return true;
  });
}

// A message or timer reached Qt's side. A wait of ours running this very loop returns and
// leaves it to its caller; any other loop (the main one, a modal box) delivers it itself.
void TzqQtMessagePump::InputArrived() {
  if (!waits_.empty() && waits_.back()->level == LoopLevel()) {
    if (waits_.back()->loop != nullptr && InputWaiting()) waits_.back()->loop->quit();
    return;
  }
  DispatchOne();
}

bool TzqQtMessagePump::InputWaiting() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!queue_.empty()) return true;
  }
  return std::any_of(timers_.begin(), timers_.end(), [](const TzqTimer& t) { return t.due; });
}

// Posted messages first; a timer that came due gives one WM_TIMER however often it did.
bool TzqQtMessagePump::TakeMessage(TzqMessage& message) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!queue_.empty()) {
      message = queue_.front();
      queue_.pop_front();
      return true;
    }
  }
  for (auto& timer : timers_) {
    if (!timer.due) continue;
    timer.due = false;
    message = TzqMessage{timer.window, WM_TIMER, timer.id, 0};
    return true;
  }
  return false;
}

bool TzqQtMessagePump::DispatchOne() {
  TzqMessage message;
  if (!TakeMessage(message)) return false;
  DeliverMessage(message);
  return true;
}

uint32_t TzqQtMessagePump::Wait(std::span<TzqWaitable* const> objects, uint32_t timeout, bool wakeOnInput) {
  if (!wakeOnInput) return plain_->Wait(objects, timeout, false);
  const uint32_t result = WaitForInput(objects, timeout);
  // Input that came while the objects won stays queued: make sure some loop delivers it.
  if (result != objects.size() && InputWaiting()) KickLater();
  return result;
}

uint32_t TzqQtMessagePump::WaitForInput(std::span<TzqWaitable* const> objects, uint32_t timeout) {
  const uint64_t start = GetTickCount64();
  KeepResponsive();
  for (;;) {
    for (size_t i = 0; i < objects.size(); ++i)
      if (objects[i]->TakeSignal()) return static_cast<uint32_t>(i);
    if (InputWaiting()) return static_cast<uint32_t>(objects.size());
    int64_t limit = -1;
    if (timeout != INFINITE) {
      limit = static_cast<int64_t>(start + timeout) - static_cast<int64_t>(GetTickCount64());
      if (limit <= 0) return WAIT_TIMEOUT;
    }
    RunNestedLoop(objects, limit);
  }
}

// Lets Qt handle what is pending when waits have kept it away for a while.
void TzqQtMessagePump::KeepResponsive() {
  const uint64_t now = GetTickCount64();
  if (now - lastProcessed_ < kResponsiveInterval) return;
  lastProcessed_ = now;
  TzqWaitFrame frame{LoopLevel(), nullptr};
  waits_.push_back(&frame);
  QCoreApplication::processEvents();
  waits_.pop_back();
}

// One turn of a nested loop: it ends when an object's descriptor is ready, input arrives or
// limit ms (-1: none) pass.
void TzqQtMessagePump::RunNestedLoop(std::span<TzqWaitable* const> objects, int64_t limit) {
  QEventLoop loop;
  std::vector<std::unique_ptr<QSocketNotifier>> notifiers;
  auto watch = [&](int fd, QSocketNotifier::Type type) {
    auto notifier = std::make_unique<QSocketNotifier>(fd, type);
    QSocketNotifier* raw = notifier.get();
    QObject::connect(raw, &QSocketNotifier::activated, &loop, [raw, &loop] {
      raw->setEnabled(false);
      loop.quit();
    });
    notifiers.push_back(std::move(notifier));
  };
  for (TzqWaitable* object : objects) {
    short events = 0;
    const int fd = object->PollDescriptor(events, limit);
    if (fd < 0) continue;
    if (events & POLLIN) watch(fd, QSocketNotifier::Read);
    if (events & POLLOUT) watch(fd, QSocketNotifier::Write);
    if (events & POLLPRI) watch(fd, QSocketNotifier::Exception);
    if ((events & (POLLIN | POLLOUT | POLLPRI)) == 0) {
      if (HungUp(fd)) return;
      limit = Lower(limit, kHangUpCheckInterval);
    }
  }
  QTimer timer;
  timer.setSingleShot(true);
  timer.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
  if (limit >= 0) timer.start(static_cast<int>(std::min<int64_t>(limit, 1 << 30)));
  TzqWaitFrame frame{LoopLevel() + 1, &loop};
  waits_.push_back(&frame);
  loop.exec();
  waits_.pop_back();
  lastProcessed_ = GetTickCount64();
}

}  // namespace zq
