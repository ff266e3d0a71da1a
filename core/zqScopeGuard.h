#pragma once
// Cleanup written once: it runs when the scope ends, by return or by exception.

#include <utility>

namespace zq {

template <class Cleanup>
class TzqScopeGuard {
public:
  explicit TzqScopeGuard(Cleanup cleanup) : cleanup_(std::move(cleanup)) {}
  TzqScopeGuard(const TzqScopeGuard&) = delete;
  TzqScopeGuard& operator=(const TzqScopeGuard&) = delete;
  // A cleanup that throws while an exception is already on its way would end the program;
  // the first error is the one worth reporting, so a failing cleanup is dropped.
  ~TzqScopeGuard() {
    if (!active_) return;
    try {
      cleanup_();
    } catch (...) {
    }
  }
  // For the paths where the work succeeded and the cleanup must not run.
  void Dismiss() noexcept { active_ = false; }

private:
  Cleanup cleanup_;
  bool active_ = true;
};

}  // namespace zq
