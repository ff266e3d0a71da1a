#pragma once
// Date-times as days since 1899-12-30 00:00 in a double; the fraction is the time of day.

#include <cstdint>

#include "core/zqApi.h"

namespace zq {

using TzqDateTime = double;

constexpr double kMillisecondsPerDay = 86400000.0;
constexpr double kSecondsPerDay = 86400.0;
// Days from 1899-12-30 to 1970-01-01.
constexpr double kUnixDateDelta = 25569.0;

ZQ_API bool IsLeapYear(int year);
ZQ_API int DaysInMonth(int year, int month);

ZQ_API bool TryEncodeDate(int year, int month, int day, TzqDateTime& result);
ZQ_API bool TryEncodeTime(int hour, int minute, int second, int millisecond, TzqDateTime& result);
// Raise EzqConvertError on out-of-range parts.
ZQ_API TzqDateTime EncodeDate(int year, int month, int day);
ZQ_API TzqDateTime EncodeTime(int hour, int minute, int second, int millisecond);
ZQ_API TzqDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int millisecond);

ZQ_API void DecodeDate(TzqDateTime value, int& year, int& month, int& day);
ZQ_API void DecodeTime(TzqDateTime value, int& hour, int& minute, int& second, int& millisecond);
// 1 = Sunday … 7 = Saturday.
ZQ_API int DayOfWeek(TzqDateTime value);

// Milliseconds since 1970-01-01 UTC, and back (no time zone involved).
ZQ_API int64_t DateTimeToUnixMs(TzqDateTime value);
ZQ_API TzqDateTime UnixMsToDateTime(int64_t milliseconds);

// The current time, local and UTC.
ZQ_API TzqDateTime Now();
ZQ_API TzqDateTime NowUtc();
// Conversions through the system's time-zone rules (daylight saving time included).
ZQ_API TzqDateTime UtcToLocal(TzqDateTime utc);
ZQ_API TzqDateTime LocalToUtc(TzqDateTime local);

// Windows file times: 100 ns units since 1601-01-01 UTC.
ZQ_API TzqDateTime FileTimeToDateTime(int64_t fileTime);
ZQ_API int64_t DateTimeToFileTime(TzqDateTime value);

}  // namespace zq
