// The Internet date, clock and zone parsers. Invariants: a date either raises EzqConvertError or
// gives 0 or a date-time within years 1..9999; a clock time lies within one day; a zone offset
// within ±100 hours.
// Input: the text.

#include <cmath>
#include <cstdint>
#include <string_view>

#include "codec/zqUtils.h"

using namespace zq;

namespace {

constexpr double kFirstDay = -693593.0;  // 0001-01-01
constexpr double kLastDay = 2958466.0;   // 10000-01-01

template <typename Parse>
void Check(Parse parse, double low, double high) {
  double value = 0;
  try {
    value = parse();
  } catch (const EzqConvertError&) {
    return;
  }
  if (!std::isfinite(value) || value < low || value > high) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // A day either way of the range for the local zone's offset.
  Check([&] { return ParseInternetDate(text); }, kFirstDay - 1, kLastDay + 1);
  Check([&] { return ParseClockTime(text); }, -1.0, 1.0);
  Check([&] { return ParseZoneOffset(text); }, -100.0 / 24, 100.0 / 24);
  return 0;
}
