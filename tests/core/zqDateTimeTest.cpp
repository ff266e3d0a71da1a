#include "core/zqDateTime.h"

#include <gtest/gtest.h>

#include "core/zqError.h"
#include "tests/support/zqTestSupport.h"

namespace zq {
namespace {

TEST(DateTime, EncodesDaysSinceTheEpochAndBack) {
  EXPECT_DOUBLE_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_DOUBLE_EQ(EncodeDate(1900, 1, 1), 2.0);
  EXPECT_DOUBLE_EQ(EncodeDate(1970, 1, 1), kUnixDateDelta);
  EXPECT_DOUBLE_EQ(EncodeDate(2000, 3, 1) - EncodeDate(2000, 2, 28), 2.0);  // 2000 is a leap year
  EXPECT_DOUBLE_EQ(EncodeDate(1900, 3, 1) - EncodeDate(1900, 2, 28), 1.0);  // 1900 is not
  const TzqDateTime value = EncodeDateTime(1994, 11, 6, 8, 49, 37, 250);
  int y, mo, d, h, mi, s, ms;
  DecodeDate(value, y, mo, d);
  DecodeTime(value, h, mi, s, ms);
  EXPECT_EQ((std::vector<int>{y, mo, d, h, mi, s, ms}), (std::vector<int>{1994, 11, 6, 8, 49, 37, 250}));
  EXPECT_EQ(DayOfWeek(value), 1);  // a Sunday
}

TEST(DateTime, DatesBeforeTheEpochKeepTheirTimeOfDay) {
  const TzqDateTime value = EncodeDateTime(1899, 12, 29, 6, 0, 0, 0);
  EXPECT_DOUBLE_EQ(value, -1.25);
  int y, mo, d, h, mi, s, ms;
  DecodeDate(value, y, mo, d);
  DecodeTime(value, h, mi, s, ms);
  EXPECT_EQ(d, 29);
  EXPECT_EQ(h, 6);
  EXPECT_EQ(UnixMsToDateTime(DateTimeToUnixMs(value)), value);
}

TEST(DateTime, RejectsImpossibleParts) {
  EXPECT_THROW(EncodeDate(2023, 2, 29), EzqConvertError);
  EXPECT_THROW(EncodeDate(2023, 13, 1), EzqConvertError);
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EzqConvertError);
  EXPECT_THROW(EncodeTime(0, 0, 60, 0), EzqConvertError);
  TzqDateTime out = 0;
  EXPECT_TRUE(TryEncodeDate(2024, 2, 29, out));
}

TEST(DateTime, LocalConversionsFollowTheZoneAndDaylightSavingTime) {
  test::TimeZoneScope zone("Europe/Berlin");
  const TzqDateTime winter = EncodeDateTime(2024, 1, 15, 12, 0, 0, 0);
  const TzqDateTime summer = EncodeDateTime(2024, 7, 15, 12, 0, 0, 0);
  EXPECT_NEAR(UtcToLocal(winter) - winter, 1.0 / 24, 1e-9);
  EXPECT_NEAR(UtcToLocal(summer) - summer, 2.0 / 24, 1e-9);
  EXPECT_NEAR(LocalToUtc(UtcToLocal(summer)), summer, 1e-9);
  test::TimeZoneScope west("America/New_York");
  EXPECT_NEAR(UtcToLocal(winter) - winter, -5.0 / 24, 1e-9);
}

TEST(DateTime, ZoneShiftsBeforeTheEpochMoveTheClockTheRightWay) {
  test::TimeZoneScope zone("Etc/GMT-1");  // one hour ahead of UTC, no daylight saving time
  const TzqDateTime utc = EncodeDateTime(1899, 12, 29, 6, 0, 0, 0);
  int h, mi, s, ms;
  DecodeTime(UtcToLocal(utc), h, mi, s, ms);
  EXPECT_EQ(h, 7);
  EXPECT_DOUBLE_EQ(LocalToUtc(UtcToLocal(utc)), utc);
}

TEST(DateTime, NowIsNowUtcShiftedByTheZone) {
  test::TimeZoneScope zone("Asia/Tokyo");  // no daylight saving time
  EXPECT_NEAR(Now() - NowUtc(), 9.0 / 24, 1.0 / 86400);
}

TEST(DateTime, FileTimesCountFrom1601) {
  EXPECT_EQ(DateTimeToFileTime(EncodeDate(1601, 1, 1)), 0);
  EXPECT_DOUBLE_EQ(FileTimeToDateTime(116444736000000000LL), kUnixDateDelta);
}

}  // namespace
}  // namespace zq
