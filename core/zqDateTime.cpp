#include "core/zqDateTime.h"

#include <cmath>
#include <ctime>

#include "core/zqError.h"

namespace zq {

namespace {

const char* const sDateEncodeError = "Invalid argument to date encode";
const char* const sTimeEncodeError = "Invalid argument to time encode";

// File times of 1970-01-01 (100 ns ticks since 1601-01-01).
constexpr int64_t kFileTimeUnixEpoch = 116444736000000000LL;

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  // Days since 1970-01-01 (Howard Hinnant's algorithm).
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (month <= 2));
}

// Milliseconds of a date-time counted from 1899-12-30, rounded to the nearest one. Negative
// date-times keep the day count's sign and the time of day's absolute value (-1.25 is
// 1899-12-29 06:00).
int64_t ToMilliseconds(TzqDateTime value) {
  const double days = std::trunc(value);
  const double fraction = std::fabs(value - days);
  return static_cast<int64_t>(days) * 86400000LL + std::llround(fraction * kMillisecondsPerDay);
}

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

}  // namespace

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

bool TryEncodeDate(int year, int month, int day, TzqDateTime& result) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return false;
  const int64_t fromUnix = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  result = static_cast<double>(fromUnix) + kUnixDateDelta;
  return true;
}

bool TryEncodeTime(int hour, int minute, int second, int millisecond, TzqDateTime& result) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || millisecond < 0 ||
      millisecond > 999)
    return false;
  result = (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond) / kMillisecondsPerDay;
  return true;
}

TzqDateTime EncodeDate(int year, int month, int day) {
  TzqDateTime result = 0;
  if (!TryEncodeDate(year, month, day, result)) throw EzqConvertError(sDateEncodeError);
  return result;
}

TzqDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
  TzqDateTime result = 0;
  if (!TryEncodeTime(hour, minute, second, millisecond, result)) throw EzqConvertError(sTimeEncodeError);
  return result;
}

TzqDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int millisecond) {
  const TzqDateTime date = EncodeDate(year, month, day);
  const TzqDateTime time = EncodeTime(hour, minute, second, millisecond);
  return date >= 0 ? date + time : date - time;
}

void DecodeDate(TzqDateTime value, int& year, int& month, int& day) {
  const int64_t days = FloorDiv(ToMilliseconds(value), 86400000LL);
  CivilFromDays(days - static_cast<int64_t>(kUnixDateDelta), year, month, day);
}

void DecodeTime(TzqDateTime value, int& hour, int& minute, int& second, int& millisecond) {
  const int64_t total = ToMilliseconds(value);
  int64_t ms = total - FloorDiv(total, 86400000LL) * 86400000LL;
  millisecond = static_cast<int>(ms % 1000);
  ms /= 1000;
  second = static_cast<int>(ms % 60);
  ms /= 60;
  minute = static_cast<int>(ms % 60);
  hour = static_cast<int>(ms / 60);
}

int DayOfWeek(TzqDateTime value) {
  const int64_t days = FloorDiv(ToMilliseconds(value), 86400000LL);
  // 1899-12-30 was a Saturday (7).
  const int64_t index = (days % 7 + 7 + 6) % 7;
  return static_cast<int>(index) + 1;
}

int64_t DateTimeToUnixMs(TzqDateTime value) {
  return ToMilliseconds(value) - static_cast<int64_t>(kUnixDateDelta) * 86400000LL;
}

TzqDateTime UnixMsToDateTime(int64_t milliseconds) {
  const int64_t ms = milliseconds + static_cast<int64_t>(kUnixDateDelta) * 86400000LL;
  if (ms >= 0) return static_cast<double>(ms) / kMillisecondsPerDay;
  // Before 1899-12-30: negative day number, positive time of day.
  int64_t days = ms / 86400000LL;
  int64_t rest = ms % 86400000LL;
  if (rest < 0) {
    days -= 1;
    rest += 86400000LL;
  }
  return static_cast<double>(days) - static_cast<double>(rest) / kMillisecondsPerDay;
}

TzqDateTime NowUtc() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return UnixMsToDateTime(static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
}

TzqDateTime Now() { return UtcToLocal(NowUtc()); }

TzqDateTime UtcToLocal(TzqDateTime utc) {
  const int64_t ms = DateTimeToUnixMs(utc);
  time_t seconds = static_cast<time_t>(ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000));
  tm local{};
  if (!localtime_r(&seconds, &local)) return utc;
  return UnixMsToDateTime(ms + static_cast<int64_t>(local.tm_gmtoff) * 1000);
}

TzqDateTime LocalToUtc(TzqDateTime local) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
  DecodeDate(local, year, month, day);
  DecodeTime(local, hour, minute, second, millisecond);
  tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  parts.tm_isdst = -1;
  const time_t seconds = mktime(&parts);
  if (seconds == static_cast<time_t>(-1) && parts.tm_year != 69) return local;
  return UnixMsToDateTime(DateTimeToUnixMs(local) - static_cast<int64_t>(parts.tm_gmtoff) * 1000);
}

TzqDateTime FileTimeToDateTime(int64_t fileTime) { return UnixMsToDateTime((fileTime - kFileTimeUnixEpoch) / 10000); }

int64_t DateTimeToFileTime(TzqDateTime value) { return DateTimeToUnixMs(value) * 10000 + kFileTimeUnixEpoch; }

}  // namespace zq
