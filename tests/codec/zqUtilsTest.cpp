#include "codec/zqUtils.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "core/zqCodePage.h"
#include "tests/support/zqTestSupport.h"

namespace zq {
namespace {

using test::TimeZoneScope;

void ExpectSameTime(TzqDateTime actual, TzqDateTime expected) { EXPECT_NEAR(actual, expected, 0.1 / 86400); }

const TzqDateTime kUtc1994 = EncodeDateTime(1994, 11, 6, 8, 49, 37, 0);
constexpr double kHour = 1.0 / 24;

TEST(ParseInternetDate, AcrossTimeZonesWithTheRulesOfThatDate) {
  const char* const date = "Sun, 06 Nov 1994 08:49:37 GMT";
  const struct {
    const char* zone;
    double november, june;
  } zones[] = {{"UTC", 0, 0}, {"Europe/Berlin", 1, 2}, {"America/New_York", -5, -4}};
  for (const auto& z : zones) {
    TimeZoneScope scope(z.zone);
    ExpectSameTime(ParseInternetDate(date), kUtc1994 + z.november * kHour);
    ExpectSameTime(ParseInternetDate("Mon, 06 Jun 1994 08:49:37 GMT"),
                   EncodeDateTime(1994, 6, 6, 8, 49, 37, 0) + z.june * kHour);
  }
}

TEST(ParseInternetDate, ZonesYearsAndMissingParts) {
  TimeZoneScope scope("UTC");
  ExpectSameTime(ParseInternetDate("  Sun, 06 Nov 1994 08:49:37 +0200"), kUtc1994 - 2 * kHour);
  ExpectSameTime(ParseInternetDate("06 Nov 1994 08:49:37 -0130 extra"), kUtc1994 + 1.5 * kHour);
  ExpectSameTime(ParseInternetDate("Sun, 06 nov 1994 8:49:37PM EST"), kUtc1994 + 0.5);  // one clock word
  ExpectSameTime(ParseInternetDate("Sat, 06 Nov 10 08:49:37 GMT"), EncodeDateTime(2010, 11, 6, 8, 49, 37, 0));
  ExpectSameTime(ParseInternetDate("Mon, 06 Nov 11 08:49:37 GMT"), EncodeDateTime(1911, 11, 6, 8, 49, 37, 0));
  ExpectSameTime(ParseInternetDate("Sun, 06 Nov 94 08:49:37 GMT"), kUtc1994);
  ExpectSameTime(ParseInternetDate("Mon, 06 Nov 0100 08:49:37 GMT"), EncodeDateTime(100, 11, 6, 8, 49, 37, 0));

  // No month word: the current month.
  int year = 0, month = 0, day = 0, nowYear = 0, nowMonth = 0, nowDay = 0;
  DecodeDate(ParseInternetDate("Sun, 06 1994 08:49:37 GMT"), year, month, day);
  DecodeDate(Now(), nowYear, nowMonth, nowDay);
  EXPECT_EQ(year * 10000 + month * 100 + day, 1994 * 10000 + nowMonth * 100 + 6);
  // No year word, or a zero day: 0.
  EXPECT_EQ(ParseInternetDate("Sun, 06 Nov 1994"), 0);
  EXPECT_EQ(ParseInternetDate("Sun, 00 Nov 1994 08:49:37 GMT"), 0);
  for (const char* bad :
       {"Sun, xx Nov 1994 08:49:37 GMT", "Sun, 06 Nov 19x4 08:49:37 GMT", "Sun, 06 Xyz 1994 08:49:37 GMT",
        "Sun, 31 Nov 1994 08:49:37 GMT", "Sun, 06 Nov 1994 25:49:37 GMT", "", ","})
    EXPECT_THROW(ParseInternetDate(bad), EzqConvertError) << bad;
}

TEST(ParseClockTime, TwelveHourClock) {
  ExpectSameTime(ParseClockTime("12:30:00 AM"), EncodeTime(0, 30, 0, 0));
  ExpectSameTime(ParseClockTime("01:05:00 PM"), EncodeTime(13, 5, 0, 0));
  ExpectSameTime(ParseClockTime("12:15 pm"), EncodeTime(12, 15, 0, 0));
  ExpectSameTime(ParseClockTime("7:x:5"), EncodeTime(7, 0, 5, 0));
  EXPECT_THROW(ParseClockTime("24:00 PM"), EzqConvertError);
}

TEST(ParseZoneOffset, SignedHoursAndMinutes) {
  EXPECT_DOUBLE_EQ(ParseZoneOffset("+0200"), 2 * kHour);
  EXPECT_DOUBLE_EQ(ParseZoneOffset("-0130"), -1.5 * kHour);
  for (const char* zone : {"GMT", "", "+020", "+2500", "+0260", "+0a00", "+-100"})
    EXPECT_EQ(ParseZoneOffset(zone), 0) << zone;
}

TEST(FileTimeToLocalDateTime, ZonesAndLimits) {
  constexpr int64_t kUnixEpoch = 116444736000000000LL;
  {
    TimeZoneScope scope("Europe/Berlin");
    ExpectSameTime(FileTimeToLocalDateTime(kUnixEpoch), kUnixDateDelta + kHour);
  }
  EXPECT_EQ(FileTimeToLocalDateTime(-1), 0);
  EXPECT_EQ(FileTimeToLocalDateTime(INT64_MAX), 0);
}

TEST(FindText, ForwardCaseSensitiveBackwardNot) {
  EXPECT_EQ(FindTextFrom("ab", "xxabxab", 4), 6);
  EXPECT_EQ(FindTextFrom("AB", "xxab", 1), 0);
  for (int start : {0, -7, 5, INT_MAX}) EXPECT_EQ(FindTextFrom("ab", "xxab", start), 0);
  EXPECT_EQ(FindTextFrom("", "xxab", 1), 0);
  EXPECT_EQ(FindTextBackward("ab", "abxAbx", -1), 4);
  EXPECT_EQ(FindTextBackward("ab", "abxAbx", 3), 1);
  EXPECT_EQ(FindTextBackward("ab", "abxAB", INT_MAX), 4);
  EXPECT_EQ(FindTextBackward("ab", "abxab", 0), 0);
  EXPECT_EQ(FindTextBackward("abc", "ab", -1), 0);
}

std::vector<std::string> Split(std::string_view text) {
  TzqStringList list{"old"};
  int changes = 0;
  list.OnChange = [&](TzqObject*) { ++changes; };
  SplitAtDelimiter(text, list, '.');
  EXPECT_EQ(changes, 1);
  std::vector<std::string> entries;
  for (int i = 0; i < list.Count(); ++i) entries.push_back(list[i]);
  return entries;
}

using Entries = std::vector<std::string>;

TEST(SplitAtDelimiter, EmptyEntriesAndControls) {
  EXPECT_EQ(Split("a..b"), (Entries{"a", "", "b"}));
  EXPECT_EQ(Split("a."), (Entries{"a", ""}));
  EXPECT_EQ(Split(".a"), (Entries{"", "a"}));
  EXPECT_EQ(Split(""), Entries{});
  EXPECT_EQ(Split("x y . z"), (Entries{"x y ", " z"}));
  EXPECT_EQ(Split("\x01"
                  "a\tb\r\n.\x1F"
                  "c\n"),
            (Entries{"a\tb", "c"}));
}

TEST(Tokens, RunsOutsideTheDelimiters) {
  const TzqCharSet blanks(" ;");
  const std::string text = " ;a  bb;c; ";
  EXPECT_EQ(CountTokens(text, blanks), 3);
  EXPECT_EQ(TokenStart(2, text, blanks), 6);
  EXPECT_EQ(TakeToken(2, text, blanks), "bb");
  EXPECT_EQ(TakeToken(3, text, blanks), "c");
  for (int n : {0, -3, 4}) EXPECT_EQ(TakeToken(n, text, blanks), "") << n;
  EXPECT_EQ(CountTokens("\xE9\xFF", TzqCharSet("\xFF")), 1);
}

TEST(SmallTextRoutines, QuotesIndexAndHex) {
  EXPECT_EQ(QuoteIfNeeded(""), "\"\"");
  EXPECT_EQ(QuoteIfNeeded("a\"b"), "\"a\"b\"");
  EXPECT_EQ(QuoteIfNeeded("\"abc"), "\"abc");
  EXPECT_EQ(QuoteIfNeeded("abc\""), "abc\"");
  EXPECT_EQ(IndexOfText("nov", kMonthNames, 11), 10);
  EXPECT_EQ(IndexOfText("Dec", kMonthNames, 10), -1);
  EXPECT_EQ(IndexOfText("Dec", kMonthNames, INT_MAX), 11);
  EXPECT_EQ(IndexOfText("Jan", kMonthNames, -1), -1);
  EXPECT_EQ(HexOfBytes({0x00, 0xAB, 0x7F, 0xFF}), "00AB7FFF");
  EXPECT_EQ(HexOfBuffer(nullptr, 4), "");
}

TEST(CollapseDotSegments, ExamplesAndCorners) {
  const std::pair<const char*, const char*> cases[] = {
      {"a/./b/../c", "/a/c"},
      {"/a/b/", "/a/b/"},
      {"a/b/..", "/a/"},
      {"a/b/.", "/a/b/"},
      {"", "/"},
      {".", "/"},
      {"..", "/"},
      {"../../a", "/a"},
      {"a/../../..", "/"},
      {"//a", "//a"},
      {"...", "/..."},
      {".a/..b", "/.a/..b"},
      {"/a/b/c/./../../g", "/a/g"},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(CollapseDotSegments(path, '/'), expected) << path;
  EXPECT_EQ(CollapseDotSegments("a\\.\\b\\..", '\\'), "\\a\\");
  EXPECT_EQ(CollapseDotSegments("a/./b", '\\'), "\\a/./b");
}

TEST(CollapseDotSegments, LongHostilePathStaysLinear) {
  std::string path;
  for (int i = 0; i < 200000; ++i) path += "a/";
  for (int i = 0; i < 200001; ++i) path += "../";
  EXPECT_EQ(CollapseDotSegments(path + "end", '/'), "/end");
}

TEST(PutUInt16BigEndian, HighByteFirstGrowingWhenShort) {
  TzqByteArray bytes(4, 0xEE);
  int index = 1;
  PutUInt16BigEndian(0x1234, bytes, index);
  PutUInt16BigEndian(0xABCD, bytes, index);
  EXPECT_EQ(bytes, (TzqByteArray{0xEE, 0x12, 0x34, 0xAB, 0xCD}));
  EXPECT_EQ(index, 5);
  index = -1;
  EXPECT_THROW(PutUInt16BigEndian(1, bytes, index), EzqError);
}

int64_t Find(const std::string& pattern, const std::string& bytes, int64_t start, int64_t end) {
  const auto* p = reinterpret_cast<const uint8_t*>(pattern.data());
  const auto* b = reinterpret_cast<const uint8_t*>(bytes.data());
  return FindByteSequence({p, pattern.size()}, {b, bytes.size()}, start, end);
}

TEST(FindByteSequence, OverlappingCandidates) {
  EXPECT_EQ(Find("\r\n\r\n", "x\r\r\n\r\n", 0, 6), 2);
  EXPECT_EQ(Find("aab", "aaab", 0, 4), 1);
  EXPECT_EQ(Find("abab", "abaabab", 0, 7), 3);
}

TEST(FindByteSequence, WindowBounds) {
  const std::string bytes = "0123456789";
  EXPECT_EQ(Find("45", bytes, 4, 6), 4);
  EXPECT_EQ(Find("45", bytes, 0, 5), -1);   // would end at end
  EXPECT_EQ(Find("45", bytes, 5, 10), -1);  // begins before start
  EXPECT_EQ(Find("4", bytes, 4, 4), -1);
  EXPECT_EQ(Find("4", bytes, 6, 2), -1);
  EXPECT_EQ(Find("01", bytes, -100, 3), 0);
  EXPECT_EQ(Find("9", bytes, INT64_MIN, INT64_MAX), 9);
  EXPECT_EQ(Find("9", bytes, INT64_MAX, INT64_MAX), -1);
  EXPECT_EQ(Find("0123456789x", bytes, 0, 10), -1);
  EXPECT_EQ(Find("", bytes, 0, 10), -1);
}

TEST(StringLists, FindEntry) {
  const TzqStringList list{"Content-Type: text/html", "Host: a", "X-Content: 1", ""};
  EXPECT_EQ(FindListEntry(list, "host: A", true), 1);
  EXPECT_EQ(FindListEntry(list, "host", true), -1);
  EXPECT_EQ(FindListEntry(list, "CONTENT: 1", false), 2);
  EXPECT_EQ(FindListEntry(list, "", true), 3);
  EXPECT_EQ(FindListEntry(list, "", false), -1);
}

TEST(StringLists, WriteAndReadInACharset) {
  TzqStringList list{"юа", "plain", ""};
  TzqMemoryStream stream(std::string_view("head"));
  stream.Seek(0, soEnd);
  WriteLinesToStream(list, stream, "koi8-r");
  EXPECT_EQ(stream.DataString(), "head\xC0\xC1\r\nplain\r\n\r\n");
  TzqStringList read{"old"};
  stream.SetPosition(4);
  ReadLinesFromStream(stream, read, "koi8-r");
  EXPECT_EQ(read.Text(), list.Text());
  // At the end nothing is read and the list stays; an empty list writes nothing.
  ReadLinesFromStream(stream, read, "koi8-r");
  EXPECT_EQ(read.Count(), 3);
  WriteLinesToStream(TzqStringList(), stream, "utf-8");
  EXPECT_EQ(stream.Size(), 17);

  test::CodePageScope scope(CP_WINDOWS1252);
  TzqMemoryStream utf8;
  TzqStringList latin{"caf\xE9"};
  TzqStringsUtils(latin, "UTF-8").SaveToStream(utf8);
  EXPECT_EQ(utf8.DataString(), "caf\xC3\xA9\r\n");
}

class CountingData : public TzqBinaryData {
public:
  ~CountingData() override { Clear(); }
  int allocations = 0, releases = 0;

protected:
  void AllocateMemory(uint8_t*& data, int32_t size) override {
    ++allocations;
    TzqBinaryData::AllocateMemory(data, size);
  }
  void ReleaseMemory(uint8_t*& data) override {
    releases += data != nullptr;
    TzqBinaryData::ReleaseMemory(data);
  }
};

TEST(BinaryData, SizesThroughTheVirtualSlotsAndWideText) {
  CountingData data;
  data.SetSize(8);
  data.SetSize(-3);
  EXPECT_EQ(data.DataSize(), 0);
  EXPECT_EQ(data.Data(), nullptr);
  EXPECT_EQ(data.allocations, 1);
  EXPECT_EQ(data.releases, 1);
  EXPECT_EQ(data.AsWideText(), u"");

  const char16_t units[] = u"hi\0";  // h, i, 0 and the literal's own 0: one 0 is dropped
  data.SetSize(sizeof units);
  std::memcpy(data.Data(), units, sizeof units);
  EXPECT_EQ(data.AsWideText(), std::u16string(u"hi\0", 3));
  data.SetSize(5);  // two units and a stray byte
  std::memcpy(data.Data(), "a\0b\0c", 5);
  EXPECT_EQ(data.AsWideText(), u"ab");
}

TEST(SystemErrorText, TrimmedSystemMessage) { EXPECT_EQ(SystemErrorText(ENOENT), "No such file or directory"); }

}  // namespace
}  // namespace zq
