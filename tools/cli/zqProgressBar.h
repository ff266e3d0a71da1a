#pragma once
// The progress line zq draws on a terminal for transfers that last: from the first report
// after a second, at most every 200 ms, on one line rewritten in place.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

namespace zq::cli {

class TzqProgressBar {
public:
  // Milliseconds from any fixed point.
  using TzqClock = std::function<uint64_t()>;

  // enabled false: never draws (not a terminal, or -s).
  TzqProgressBar(std::ostream& out, bool enabled, TzqClock clock);
  // done bytes of total (total <= 0: unknown).
  void Update(int64_t done, int64_t total);
  // Ends the line with the last report drawn, when a line was drawn at all.
  void Finish();

  // "[####      ]  40%  1.2 MiB" for width 10, or "1.2 MiB" when total is unknown.
  static std::string Render(int64_t done, int64_t total, int width);
  static std::string Size(int64_t bytes);

private:
  std::ostream& out_;
  bool enabled_;
  TzqClock clock_;
  uint64_t start_;
  uint64_t lastDrawn_ = 0;
  bool drawn_ = false;
  int64_t lastDone_ = 0;
  int64_t lastTotal_ = 0;
};

}  // namespace zq::cli
