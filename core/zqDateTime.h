#pragma once
// Date-times as days since 1899-12-30 00:00 in a double; the fraction is the time of day.

#include <cstdint>

namespace zq {

using TzqDateTime = double;

constexpr double kMillisecondsPerDay = 86400000.0;
constexpr double kSecondsPerDay = 86400.0;
// Days from 1899-12-30 to 1970-01-01.
constexpr double kUnixDateDelta = 25569.0;

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

bool TryEncodeDate(int year, int month, int day, TzqDateTime& result);
bool TryEncodeTime(int hour, int minute, int second, int millisecond, TzqDateTime& result);
// Raise EzqConvertError on out-of-range parts.
TzqDateTime EncodeDate(int year, int month, int day);
TzqDateTime EncodeTime(int hour, int minute, int second, int millisecond);
TzqDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int millisecond);

void DecodeDate(TzqDateTime value, int& year, int& month, int& day);
void DecodeTime(TzqDateTime value, int& hour, int& minute, int& second, int& millisecond);
// 1 = Sunday … 7 = Saturday.
int DayOfWeek(TzqDateTime value);

// Milliseconds since 1970-01-01 UTC, and back (no time zone involved).
int64_t DateTimeToUnixMs(TzqDateTime value);
TzqDateTime UnixMsToDateTime(int64_t milliseconds);

// The current time, local and UTC.
TzqDateTime Now();
TzqDateTime NowUtc();
// Conversions through the system's time-zone rules (daylight saving time included).
TzqDateTime UtcToLocal(TzqDateTime utc);
TzqDateTime LocalToUtc(TzqDateTime local);

// Windows file times: 100 ns units since 1601-01-01 UTC.
TzqDateTime FileTimeToDateTime(int64_t fileTime);
int64_t DateTimeToFileTime(TzqDateTime value);

}  // namespace zq
