#include "tools/cli/zqProgressBar.h"

#include <algorithm>
#include <ostream>

#include "core/zqError.h"

namespace zq::cli {

namespace {

constexpr uint64_t kQuietMs = 1000;
constexpr uint64_t kRedrawMs = 200;
constexpr int kBarWidth = 40;

}  // namespace

TzqProgressBar::TzqProgressBar(std::ostream& out, bool enabled, TzqClock clock)
    : out_(out), enabled_(enabled), clock_(std::move(clock)), start_(clock_()) {}

void TzqProgressBar::Update(int64_t done, int64_t total) {
  if (!enabled_) return;
  lastDone_ = done;
  lastTotal_ = total;
  const uint64_t now = clock_();
  if (now - start_ < kQuietMs || (drawn_ && now - lastDrawn_ < kRedrawMs)) return;
  out_ << "\r" << Render(done, total, kBarWidth) << std::flush;
  lastDrawn_ = now;
  drawn_ = true;
}

void TzqProgressBar::Finish() {
  // The last report may have come too soon to be drawn: the line ends on it.
  if (drawn_) out_ << "\r" << Render(lastDone_, lastTotal_, kBarWidth) << "\n" << std::flush;
  drawn_ = false;
}

std::string TzqProgressBar::Render(int64_t done, int64_t total, int width) {
  if (total <= 0) return Size(done);
  const int64_t shown = std::clamp<int64_t>(done, 0, total);
  const int filled = static_cast<int>(shown * width / total);
  const int percent = static_cast<int>(shown * 100 / total);
  return "[" + std::string(filled, '#') + std::string(width - filled, ' ') + "] " + Format("%3d%%  ", percent) +
         Size(done);
}

std::string TzqProgressBar::Size(int64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return Format("%lld B", static_cast<long long>(bytes));
  double value = static_cast<double>(bytes) / 1024;
  int unit = 0;
  while (value >= 1024 && unit < 3) {
    value /= 1024;
    ++unit;
  }
  return Format("%.1f %s", value, kUnits[unit]);
}

}  // namespace zq::cli
