#pragma once
// Objects a thread can wait on: kernel-style events (an eventfd each) and the socket events of
// zqSocketApi. A waiter polls the descriptor each object names and then asks the object
// whether it is really signalled, which lets an object report readiness that poll() alone
// cannot express (a socket event signals only for the network events that are due). A waiter
// that hands over what its poll saw spares the object asking the system again.

#include <cstdint>

#include "core/zqApi.h"

namespace zq {

class ZQ_API TzqWaitable {
public:
  virtual ~TzqWaitable() = default;
  // The descriptor to poll and the poll events that may signal this object; -1 when nothing
  // can signal it now. timeoutHint is lowered when the object becomes signalled on its own
  // after a while (in milliseconds; left alone otherwise).
  virtual int PollDescriptor(short& events, int64_t& timeoutHint) = 0;
  // True when signalled; an auto-reset object is reset by a true answer.
  virtual bool TakeSignal() = 0;
  // The same, right after a poll of the descriptor PollDescriptor named: revents is what that
  // poll saw there (0 when no descriptor was named or nothing happened).
  virtual bool TakeSignalAfterPoll(short revents) {
    (void)revents;
    return TakeSignal();
  }

protected:
  TzqWaitable() = default;
  TzqWaitable(const TzqWaitable&) = delete;
  TzqWaitable& operator=(const TzqWaitable&) = delete;
};

// An event object (CreateEvent): manual or auto reset. Construction raises EzqError with the
// system's text when no descriptor is left.
class ZQ_API TzqEvent : public TzqWaitable {
public:
  TzqEvent(bool manualReset, bool initialState);
  ~TzqEvent() override;

  void Set();
  void Reset();
  bool IsSet();

  int PollDescriptor(short& events, int64_t& timeoutHint) override;
  bool TakeSignal() override;
  bool TakeSignalAfterPoll(short revents) override;

private:
  int fd_;
  bool manualReset_;
};

}  // namespace zq
