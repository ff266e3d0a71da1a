#include "platform/zqWaitable.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "core/zqError.h"
#include "core/zqSystem.h"

namespace zq {

TzqEvent::TzqEvent(bool manualReset, bool initialState)
    : fd_(eventfd(initialState ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC)), manualReset_(manualReset) {
  if (fd_ < 0) throw EzqError(ErrnoText(errno), errno);
}

TzqEvent::~TzqEvent() { close(fd_); }

void TzqEvent::Set() {
  const uint64_t one = 1;
  // A full counter is still "set"; nothing to report.
  [[maybe_unused]] const ssize_t written = write(fd_, &one, sizeof one);
}

void TzqEvent::Reset() {
  uint64_t value = 0;
  [[maybe_unused]] const ssize_t read_ = read(fd_, &value, sizeof value);
}

bool TzqEvent::IsSet() {
  pollfd p{fd_, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

int TzqEvent::PollDescriptor(short& events, int64_t&) {
  events = POLLIN;
  return fd_;
}

bool TzqEvent::TakeSignal() {
  if (manualReset_) return IsSet();
  uint64_t value = 0;
  return read(fd_, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
}

// An event that was not set when polled is not taken: no read that would only say so.
bool TzqEvent::TakeSignalAfterPoll(short revents) { return (revents & POLLIN) != 0 && TakeSignal(); }

}  // namespace zq
