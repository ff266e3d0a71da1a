#include "codec/zqUtils.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/zqCodePage.h"
#include "tests/support/zqTestSupport.h"

namespace zq {
namespace {

using test::TimeZoneScope;

constexpr double kSecond = 1.0 / 86400.0;

void ExpectSameTime(TzqDateTime actual, TzqDateTime expected) { EXPECT_NEAR(actual, expected, kSecond / 10); }

TzqDateTime Utc1994() { return EncodeDateTime(1994, 11, 6, 8, 49, 37, 0); }

TEST(ParseInternetDate, GmtDateInSeveralZones) {
  const char* const date = "Sun, 06 Nov 1994 08:49:37 GMT";
  {
    TimeZoneScope zone("UTC");
    ExpectSameTime(ParseInternetDate(date), Utc1994());
    ExpectSameTime(ParseInternetDate("  06 Nov 1994 08:49:37 GMT  "), Utc1994());
  }
  {
    TimeZoneScope zone("Europe/Berlin");
    ExpectSameTime(ParseInternetDate(date), Utc1994() + 1.0 / 24);
  }
  {
    TimeZoneScope zone("America/New_York");
    ExpectSameTime(ParseInternetDate(date), Utc1994() - 5.0 / 24);
  }
}

// The zone rules of the date itself apply, not those in force today.
TEST(ParseInternetDate, DaylightSavingOfThatDate) {
  TimeZoneScope zone("Europe/Berlin");
  ExpectSameTime(ParseInternetDate("Mon, 06 Jun 1994 08:49:37 GMT"), EncodeDateTime(1994, 6, 6, 10, 49, 37, 0));
  ExpectSameTime(ParseInternetDate("Sun, 06 Nov 1994 08:49:37 GMT"), EncodeDateTime(1994, 11, 6, 9, 49, 37, 0));
}

TEST(ParseInternetDate, ZoneOffsets) {
  TimeZoneScope zone("UTC");
  ExpectSameTime(ParseInternetDate("Sun, 06 Nov 1994 08:49:37 +0200"), Utc1994() - 2.0 / 24);
  ExpectSameTime(ParseInternetDate("Sun, 06 Nov 1994 08:49:37 -0130 extra"), Utc1994() + 1.5 / 24);
  ExpectSameTime(ParseInternetDate("Sun, 06 Nov 1994 08:49:37"), Utc1994());
  // The clock is one word; a zone that is not an offset counts as 0.
  ExpectSameTime(ParseInternetDate("Sun, 06 nov 1994 8:49:37PM EST"), Utc1994() + 0.5);
}

TEST(ParseInternetDate, TwoDigitYears) {
  TimeZoneScope zone("UTC");
  ExpectSameTime(ParseInternetDate("Sat, 06 Nov 10 08:49:37 GMT"), EncodeDateTime(2010, 11, 6, 8, 49, 37, 0));
  ExpectSameTime(ParseInternetDate("Mon, 06 Nov 11 08:49:37 GMT"), EncodeDateTime(1911, 11, 6, 8, 49, 37, 0));
  ExpectSameTime(ParseInternetDate("Sun, 06 Nov 94 08:49:37 GMT"), Utc1994());
  ExpectSameTime(ParseInternetDate("Mon, 06 Nov 00 08:49:37 GMT"), EncodeDateTime(2000, 11, 6, 8, 49, 37, 0));
  ExpectSameTime(ParseInternetDate("Mon, 06 Nov 0100 08:49:37 GMT"), EncodeDateTime(100, 11, 6, 8, 49, 37, 0));
}

TEST(ParseInternetDate, MissingPartsAndBadWords) {
  TimeZoneScope zone("UTC");
  // No month word: the current month; the day and year still count.
  const TzqDateTime noMonth = ParseInternetDate("Sun, 06 1994 08:49:37 GMT");
  int year = 0, month = 0, day = 0, nowYear = 0, nowMonth = 0, nowDay = 0;
  DecodeDate(noMonth, year, month, day);
  DecodeDate(Now(), nowYear, nowMonth, nowDay);
  EXPECT_EQ(year, 1994);
  EXPECT_EQ(month, nowMonth);
  EXPECT_EQ(day, 6);
  // No year word (nothing after the year) or a zero day: 0.
  EXPECT_EQ(ParseInternetDate("Sun, 06 Nov 1994"), 0);
  EXPECT_EQ(ParseInternetDate("Sun, 06 Nov"), 0);
  EXPECT_EQ(ParseInternetDate("Sun, 00 Nov 1994 08:49:37 GMT"), 0);
  EXPECT_THROW(ParseInternetDate("Sun, xx Nov 1994 08:49:37 GMT"), EzqConvertError);
  EXPECT_THROW(ParseInternetDate("Sun, 06 Nov 19x4 08:49:37 GMT"), EzqConvertError);
  EXPECT_THROW(ParseInternetDate("Sun, 06 Xyz 1994 08:49:37 GMT"), EzqConvertError);
  EXPECT_THROW(ParseInternetDate("Sun, 31 Nov 1994 08:49:37 GMT"), EzqConvertError);
  EXPECT_THROW(ParseInternetDate("Sun, -6 Nov 1994 08:49:37 GMT"), EzqConvertError);
  EXPECT_THROW(ParseInternetDate("Sun, 06 Nov 1994 25:49:37 GMT"), EzqConvertError);
  EXPECT_THROW(ParseInternetDate(""), EzqConvertError);
  EXPECT_THROW(ParseInternetDate(","), EzqConvertError);
}

TEST(ParseClockTime, TwelveHourClock) {
  ExpectSameTime(ParseClockTime("12:30:00 AM"), EncodeTime(0, 30, 0, 0));
  ExpectSameTime(ParseClockTime("01:05:00 PM"), EncodeTime(13, 5, 0, 0));
  ExpectSameTime(ParseClockTime("12:15 pm"), EncodeTime(12, 15, 0, 0));
  ExpectSameTime(ParseClockTime("11:00:01am"), EncodeTime(11, 0, 1, 0));
  ExpectSameTime(ParseClockTime("08:49:37"), EncodeTime(8, 49, 37, 0));
  ExpectSameTime(ParseClockTime("7:x:5"), EncodeTime(7, 0, 5, 0));
  EXPECT_EQ(ParseClockTime(""), 0);
  EXPECT_THROW(ParseClockTime("24:00 PM"), EzqConvertError);
  EXPECT_THROW(ParseClockTime("10:61:00"), EzqConvertError);
}

TEST(ParseZoneOffset, SignedHoursAndMinutes) {
  EXPECT_DOUBLE_EQ(ParseZoneOffset("+0200"), 2.0 / 24);
  EXPECT_DOUBLE_EQ(ParseZoneOffset("-0130"), -1.5 / 24);
  EXPECT_DOUBLE_EQ(ParseZoneOffset("+0545xyz"), (5 * 60 + 45) / 1440.0);
  for (const char* zone : {"GMT", "UTC", "", "+020", "0200+", "+2500", "+0260", "+0a00", "+-100", "+ 100"})
    EXPECT_EQ(ParseZoneOffset(zone), 0) << zone;
}

TEST(FileTimeToLocalDateTime, ZonesAndLimits) {
  constexpr int64_t kUnixEpoch = 116444736000000000LL;
  {
    TimeZoneScope zone("UTC");
    ExpectSameTime(FileTimeToLocalDateTime(kUnixEpoch), kUnixDateDelta);
    ExpectSameTime(FileTimeToLocalDateTime(0), EncodeDate(1601, 1, 1));
  }
  {
    TimeZoneScope zone("Europe/Berlin");
    ExpectSameTime(FileTimeToLocalDateTime(kUnixEpoch), kUnixDateDelta + 1.0 / 24);
  }
  EXPECT_EQ(FileTimeToLocalDateTime(-1), 0);
  EXPECT_EQ(FileTimeToLocalDateTime(INT64_MAX), 0);
}

TEST(FindText, ForwardIsCaseSensitive) {
  EXPECT_EQ(FindTextFrom("ab", "xxabxAB", 1), 3);
  EXPECT_EQ(FindTextFrom("ab", "xxabxab", 4), 6);
  EXPECT_EQ(FindTextFrom("AB", "xxabx", 1), 0);
  EXPECT_EQ(FindTextFrom("ab", "xxab", 0), 0);
  EXPECT_EQ(FindTextFrom("ab", "xxab", -7), 0);
  EXPECT_EQ(FindTextFrom("", "xxab", 1), 0);
  EXPECT_EQ(FindTextFrom("ab", "xxab", 5), 0);
  EXPECT_EQ(FindTextFrom("ab", "xxab", INT_MAX), 0);
}

TEST(FindText, BackwardIgnoresCase) {
  EXPECT_EQ(FindTextBackward("ab", "abxAbx", -1), 4);
  EXPECT_EQ(FindTextBackward("ab", "abxAbx", 3), 1);
  EXPECT_EQ(FindTextBackward("ab", "abxAbx", 2), 1);
  EXPECT_EQ(FindTextBackward("ab", "abxAB", 4), 4);
  EXPECT_EQ(FindTextBackward("ab", "abxAB", INT_MAX), 4);
  EXPECT_EQ(FindTextBackward("ab", "abxab", 0), 0);
  EXPECT_EQ(FindTextBackward("ab", "abxab", -5), 0);
  EXPECT_EQ(FindTextBackward("abc", "ab", -1), 0);
  EXPECT_EQ(FindTextBackward("", "ab", -1), 0);
  EXPECT_EQ(FindTextBackward("q", "ab", -1), 0);
}

std::vector<std::string> Split(std::string_view text, char delimiter) {
  TzqStringList list{"old"};
  SplitAtDelimiter(text, list, delimiter);
  std::vector<std::string> entries;
  for (int i = 0; i < list.Count(); ++i) entries.push_back(list[i]);
  return entries;
}

using Entries = std::vector<std::string>;

TEST(SplitAtDelimiter, EmptyEntriesAndControls) {
  EXPECT_EQ(Split("a..b", '.'), (Entries{"a", "", "b"}));
  EXPECT_EQ(Split("a.", '.'), (Entries{"a", ""}));
  EXPECT_EQ(Split(".a", '.'), (Entries{"", "a"}));
  EXPECT_EQ(Split("", '.'), Entries{});
  EXPECT_EQ(Split("\r\n", '.'), Entries{});
  EXPECT_EQ(Split("x y . z", '.'), (Entries{"x y ", " z"}));
  EXPECT_EQ(Split("\x01" "a\tb\r\n.\x1F" "c\n", '.'), (Entries{"a\tb", "c"}));
  EXPECT_EQ(Split("a\nb", '.'), (Entries{"a", "b"}));
}

TEST(SplitAtDelimiter, OneChangeNotification) {
  TzqStringList list;
  int changes = 0;
  list.OnChange = [&](TzqObject*) { ++changes; };
  SplitAtDelimiter("a.b.c.d", list, '.');
  EXPECT_EQ(list.Count(), 4);
  EXPECT_EQ(changes, 1);
}

TEST(Tokens, RunsOutsideTheDelimiters) {
  const TzqCharSet blanks(" ;");
  const std::string text = " ;a  bb;c; ";
  EXPECT_EQ(CountTokens(text, blanks), 3);
  EXPECT_EQ(TokenStart(1, text, blanks), 3);
  EXPECT_EQ(TokenStart(2, text, blanks), 6);
  EXPECT_EQ(TakeToken(2, text, blanks), "bb");
  EXPECT_EQ(TakeToken(3, text, blanks), "c");
  EXPECT_EQ(TokenStart(4, text, blanks), 0);
  EXPECT_EQ(TakeToken(4, text, blanks), "");
  EXPECT_EQ(TakeToken(0, text, blanks), "");
  EXPECT_EQ(TakeToken(-3, text, blanks), "");
  EXPECT_EQ(TakeToken(1, "last", blanks), "last");
  EXPECT_EQ(CountTokens("", blanks), 0);
  EXPECT_EQ(CountTokens(" ; ", blanks), 0);
  EXPECT_EQ(CountTokens("\xE9\xFF", TzqCharSet("\xFF")), 1);
}

TEST(QuoteIfNeeded, QuotesUnlessAlreadyAtAnEnd) {
  EXPECT_EQ(QuoteIfNeeded(""), "\"\"");
  EXPECT_EQ(QuoteIfNeeded("abc"), "\"abc\"");
  EXPECT_EQ(QuoteIfNeeded("\"abc"), "\"abc");
  EXPECT_EQ(QuoteIfNeeded("abc\""), "abc\"");
  EXPECT_EQ(QuoteIfNeeded("\""), "\"");
  EXPECT_EQ(QuoteIfNeeded("a\"b"), "\"a\"b\"");
}

TEST(IndexOfText, UpToTheHighestIndex) {
  EXPECT_EQ(IndexOfText("nov", kMonthNames, 11), 10);
  EXPECT_EQ(IndexOfText("DEC", kMonthNames, 11), 11);
  EXPECT_EQ(IndexOfText("Dec", kMonthNames, 10), -1);
  EXPECT_EQ(IndexOfText("Jan", kMonthNames, INT_MAX), 0);
  EXPECT_EQ(IndexOfText("Jan", kMonthNames, -1), -1);
  EXPECT_EQ(IndexOfText("Ja", kMonthNames, 11), -1);
  EXPECT_EQ(IndexOfText("x", std::span<const std::string_view>(), 5), -1);
}

TEST(Hex, UpperCaseWithoutSeparators) {
  EXPECT_EQ(HexOfBytes({0x00, 0xAB, 0x7F, 0x10, 0xFF}), "00AB7F10FF");
  EXPECT_EQ(HexOfBytes({}), "");
  const char raw[] = "\x01\xFE";
  EXPECT_EQ(HexOfBuffer(raw, 2), "01FE");
  EXPECT_EQ(HexOfBuffer(raw, 0), "");
  EXPECT_EQ(HexOfBuffer(raw, -4), "");
  EXPECT_EQ(HexOfBuffer(nullptr, 4), "");
}

TEST(CollapseDotSegments, Examples) {
  EXPECT_EQ(CollapseDotSegments("a/./b/../c", '/'), "/a/c");
  EXPECT_EQ(CollapseDotSegments("/a/b/", '/'), "/a/b/");
  EXPECT_EQ(CollapseDotSegments("a/b/..", '/'), "/a/");
  EXPECT_EQ(CollapseDotSegments("a/b/.", '/'), "/a/b/");
  EXPECT_EQ(CollapseDotSegments("/a/b/c/./../../g", '/'), "/a/g");
  EXPECT_EQ(CollapseDotSegments("mid/content=5/../6", '/'), "/mid/6");
}

TEST(CollapseDotSegments, CornerCases) {
  EXPECT_EQ(CollapseDotSegments("", '/'), "/");
  EXPECT_EQ(CollapseDotSegments("/", '/'), "/");
  EXPECT_EQ(CollapseDotSegments(".", '/'), "/");
  EXPECT_EQ(CollapseDotSegments("..", '/'), "/");
  EXPECT_EQ(CollapseDotSegments("../../a", '/'), "/a");
  EXPECT_EQ(CollapseDotSegments("a/../../..", '/'), "/");
  EXPECT_EQ(CollapseDotSegments("//a", '/'), "//a");
  EXPECT_EQ(CollapseDotSegments("a//b", '/'), "/a//b");
  EXPECT_EQ(CollapseDotSegments("...", '/'), "/...");
  EXPECT_EQ(CollapseDotSegments(".a/..b", '/'), "/.a/..b");
  EXPECT_EQ(CollapseDotSegments("a\\.\\b\\..", '\\'), "\\a\\");
  EXPECT_EQ(CollapseDotSegments("a/./b", '\\'), "\\a/./b");
}

TEST(CollapseDotSegments, LongHostilePathStaysLinear) {
  std::string path;
  for (int i = 0; i < 200000; ++i) path += "a/";
  for (int i = 0; i < 200001; ++i) path += "../";
  path += "end";
  EXPECT_EQ(CollapseDotSegments(path, '/'), "/end");
}

TEST(PutUInt16BigEndian, StoresHighByteFirstAndAdvances) {
  TzqByteArray bytes(4, 0xEE);
  int index = 1;
  PutUInt16BigEndian(0x1234, bytes, index);
  EXPECT_EQ(bytes, (TzqByteArray{0xEE, 0x12, 0x34, 0xEE}));
  EXPECT_EQ(index, 3);
  PutUInt16BigEndian(0xABCD, bytes, index);
  EXPECT_EQ(bytes, (TzqByteArray{0xEE, 0x12, 0x34, 0xAB, 0xCD}));
  EXPECT_EQ(index, 5);
  index = -1;
  EXPECT_THROW(PutUInt16BigEndian(1, bytes, index), EzqError);
  EXPECT_EQ(index, -1);
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
  EXPECT_EQ(Find("aa", "xaaaa", 2, 5), 2);
}

TEST(FindByteSequence, WindowBounds) {
  const std::string bytes = "0123456789";
  EXPECT_EQ(Find("45", bytes, 0, 6), 4);
  EXPECT_EQ(Find("45", bytes, 0, 5), -1);   // would end past end - 1
  EXPECT_EQ(Find("45", bytes, 5, 10), -1);  // begins before start
  EXPECT_EQ(Find("45", bytes, 4, 6), 4);
  EXPECT_EQ(Find("4", bytes, 4, 4), -1);    // end - 1 < start
  EXPECT_EQ(Find("4", bytes, 6, 2), -1);
  EXPECT_EQ(Find("01", bytes, -100, 3), 0);
  EXPECT_EQ(Find("89", bytes, 0, INT64_MAX), 8);
  EXPECT_EQ(Find("9", bytes, INT64_MIN, INT64_MAX), 9);
  EXPECT_EQ(Find("9", bytes, INT64_MAX, INT64_MAX), -1);
  EXPECT_EQ(Find("0123456789x", bytes, 0, 10), -1);
  EXPECT_EQ(Find("", bytes, 0, 10), -1);
  EXPECT_EQ(Find("a", "", 0, 10), -1);
}

TEST(FindListEntry, ExactOrContained) {
  const TzqStringList list{"Content-Type: text/html", "Host: a", "X-Content: 1", ""};
  EXPECT_EQ(FindListEntry(list, "host: A", true), 1);
  EXPECT_EQ(FindListEntry(list, "host", true), -1);
  EXPECT_EQ(FindListEntry(list, "content", false), 0);
  EXPECT_EQ(FindListEntry(list, "CONTENT: 1", false), 2);
  EXPECT_EQ(FindListEntry(list, "missing", false), -1);
  EXPECT_EQ(FindListEntry(list, "", true), 3);
  EXPECT_EQ(FindListEntry(list, "", false), -1);
  EXPECT_EQ(FindListEntry(TzqStringList(), "a", false), -1);
}

TEST(LinesAndStreams, WriteAndReadInACharset) {
  TzqStringList list{"\xC0\xC1", "plain", ""};
  TzqMemoryStream stream(std::string_view("head"));
  stream.Seek(0, soEnd);
  WriteLinesToStream(list, stream, "koi8-r");
  EXPECT_EQ(stream.DataString(), "head\xE1\xE2\r\nplain\r\n\r\n");

  TzqStringList read{"old"};
  stream.SetPosition(4);
  ReadLinesFromStream(stream, read, "koi8-r");
  EXPECT_EQ(read.Text(), list.Text());
  EXPECT_EQ(stream.Position(), stream.Size());
}

TEST(LinesAndStreams, NothingToWriteOrRead) {
  TzqMemoryStream stream;
  WriteLinesToStream(TzqStringList(), stream, "utf-8");
  EXPECT_EQ(stream.Size(), 0);

  TzqMemoryStream full(std::string_view("a\r\nb"));
  full.Seek(0, soEnd);
  TzqStringList list{"kept"};
  ReadLinesFromStream(full, list, "");
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list[0], "kept");
}

TEST(LinesAndStreams, StringsUtilsInUtf8) {
  test::CodePageScope scope(CP_WINDOWS1252);
  TzqStringList list{"caf\xE9"};
  TzqMemoryStream stream;
  TzqStringsUtils(list, "utf-8").SaveToStream(stream);
  EXPECT_EQ(stream.DataString(), "caf\xC3\xA9\r\n");
  TzqStringList back;
  stream.SetPosition(0);
  TzqStringsUtils(back, "UTF-8").LoadFromStream(stream);
  EXPECT_EQ(back.Text(), "caf\xE9\r\n");
  EXPECT_EQ(TzqStringsUtils(back).FindEntry("CAF", false), 0);
}

class CountingData : public TzqBinaryData {
public:
  ~CountingData() override { Clear(); }
  int allocations = 0;
  int releases = 0;

protected:
  void AllocateMemory(uint8_t*& data, int32_t size) override {
    ++allocations;
    TzqBinaryData::AllocateMemory(data, size);
  }
  void ReleaseMemory(uint8_t*& data) override {
    if (data) ++releases;
    TzqBinaryData::ReleaseMemory(data);
  }
};

TEST(BinaryData, SizeAndRelease) {
  TzqBinaryData sized(5);
  EXPECT_EQ(sized.DataSize(), 5);
  EXPECT_NE(sized.Data(), nullptr);
  sized.SetSize(0);
  EXPECT_EQ(sized.Data(), nullptr);
  EXPECT_EQ(sized.DataSize(), 0);
  sized.SetSize(-3);
  EXPECT_EQ(sized.DataSize(), 0);
  EXPECT_EQ(sized.Data(), nullptr);

  CountingData counting;
  counting.SetSize(8);
  counting.SetSize(16);
  counting.Clear();
  counting.Clear();
  EXPECT_EQ(counting.allocations, 2);
  EXPECT_EQ(counting.releases, 2);
  EXPECT_EQ(counting.Data(), nullptr);
}

TEST(BinaryData, WideText) {
  TzqBinaryData data;
  EXPECT_EQ(data.AsWideText(), u"");
  const char16_t units[] = u"hi\0";  // h, i, 0, and the literal's own 0
  data.SetSize(sizeof units);
  std::memcpy(data.Data(), units, sizeof units);
  EXPECT_EQ(data.AsWideText(), std::u16string(u"hi\0", 3));
  data.SetSize(5);  // two units and a stray byte
  std::memcpy(data.Data(), "a\0b\0c", 5);
  EXPECT_EQ(data.AsWideText(), u"ab");
  data.SetSize(1);
  EXPECT_EQ(data.AsWideText(), u"");
}

TEST(SystemErrorText, TrimmedSystemMessage) {
  EXPECT_EQ(SystemErrorText(ENOENT), "No such file or directory");
  const std::string unknown = SystemErrorText(987654);
  EXPECT_FALSE(unknown.empty());
  EXPECT_NE(unknown.back(), ' ');
}

}  // namespace
}  // namespace zq
