#include "codec/zqTranslator.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "codec/zqCharsetTables.h"
#include "platform/zqCodePage.h"
#include "tests/support/zqTestSupport.h"

namespace zq {
namespace {

using test::CodePageScope;

// A pangram in Windows-1251 (with ё) and as the published code pages write it.
const std::string kPangram1251 =
    "\xD1\xFA\xE5\xF8\xFC\x20\xE6\xE5\x20\xE5\xF9\xB8\x20\xFD\xF2\xE8\xF5\x20\xEC\xFF\xE3\xEA\xE8\xF5\x20\xF4\xF0"
    "\xE0\xED\xF6\xF3\xE7\xF1\xEA\xE8\xF5\x20\xE1\xF3\xEB\xEE\xEA\x2C\x20\xE4\xE0\x20\xE2\xFB\xEF\xE5\xE9\x20\xF7"
    "\xE0\xFE";

struct CodePageSample {
  const char* charset;
  std::string text1251;
  std::string bytes;
};

const CodePageSample kSamples[] = {
    {"ibm866", kPangram1251,
     "\x91\xEA\xA5\xE8\xEC\x20\xA6\xA5\x20\xA5\xE9\xF1\x20\xED\xE2\xA8\xE5\x20\xAC\xEF\xA3\xAA\xA8\xE5\x20\xE4\xE0"
     "\xA0\xAD\xE6\xE3\xA7\xE1\xAA\xA8\xE5\x20\xA1\xE3\xAB\xAE\xAA\x2C\x20\xA4\xA0\x20\xA2\xEB\xAF\xA5\xA9\x20\xE7"
     "\xA0\xEE"},
    {"ISO-8859-5", kPangram1251,
     "\xC1\xEA\xD5\xE8\xEC\x20\xD6\xD5\x20\xD5\xE9\xF1\x20\xED\xE2\xD8\xE5\x20\xDC\xEF\xD3\xDA\xD8\xE5\x20\xE4\xE0"
     "\xD0\xDD\xE6\xE3\xD7\xE1\xDA\xD8\xE5\x20\xD1\xE3\xDB\xDE\xDA\x2C\x20\xD4\xD0\x20\xD2\xEB\xDF\xD5\xD9\x20\xE7"
     "\xD0\xEE"},
    {"koi8-r", kPangram1251,
     "\xF3\xDF\xC5\xDB\xD8\x20\xD6\xC5\x20\xC5\xDD\xA3\x20\xDC\xD4\xC9\xC8\x20\xCD\xD1\xC7\xCB\xC9\xC8\x20\xC6\xD2"
     "\xC1\xCE\xC3\xD5\xDA\xD3\xCB\xC9\xC8\x20\xC2\xD5\xCC\xCF\xCB\x2C\x20\xC4\xC1\x20\xD7\xD9\xD0\xC5\xCA\x20\xDE"
     "\xC1\xC0"},
    {"KOI8-WIN", kPangram1251,
     "\xF3\xDF\xC5\xDB\xD8\x20\xD6\xC5\x20\xC5\xDD\xA3\x20\xDC\xD4\xC9\xC8\x20\xCD\xD1\xC7\xCB\xC9\xC8\x20\xC6\xD2"
     "\xC1\xCE\xC3\xD5\xDA\xD3\xCB\xC9\xC8\x20\xC2\xD5\xCC\xCF\xCB\x2C\x20\xC4\xC1\x20\xD7\xD9\xD0\xC5\xCA\x20\xDE"
     "\xC1\xC0"},
    // Ukrainian letters Ґ ї є і Ї after the pangram.
    {"koi8-u", kPangram1251 + "\xA5\xE0\xED\xEE\xEA\x3A\x20\xBF\xE6\xE0\xEA\x2C\x20\xBA\x20\xB3\x20\xAF",
     "\xF3\xDF\xC5\xDB\xD8\x20\xD6\xC5\x20\xC5\xDD\xA3\x20\xDC\xD4\xC9\xC8\x20\xCD\xD1\xC7\xCB\xC9\xC8\x20\xC6\xD2"
     "\xC1\xCE\xC3\xD5\xDA\xD3\xCB\xC9\xC8\x20\xC2\xD5\xCC\xCF\xCB\x2C\x20\xC4\xC1\x20\xD7\xD9\xD0\xC5\xCA\x20\xDE"
     "\xC1\xC0\xBD\xC1\xCE\xCF\xCB\x3A\x20\xA7\xD6\xC1\xCB\x2C\x20\xA4\x20\xA6\x20\xB7"},
    {"x-mac-cyrillic", kPangram1251,
     "\x91\xFA\xE5\xF8\xFC\x20\xE6\xE5\x20\xE5\xF9\xDE\x20\xFD\xF2\xE8\xF5\x20\xEC\xDF\xE3\xEA\xE8\xF5\x20\xF4\xF0"
     "\xE0\xED\xF6\xF3\xE7\xF1\xEA\xE8\xF5\x20\xE1\xF3\xEB\xEE\xEA\x2C\x20\xE4\xE0\x20\xE2\xFB\xEF\xE5\xE9\x20\xF7"
     "\xE0\xFE"},
    // Ś Ź Š Ž š ž ś ź ˇ: the nine positions where ISO-8859-2 moves a Windows-1250 character.
    {"ISO-8859-2", "\x8C\x8F\x8A\x8E\x9A\x9E\x9C\x9F\xA1", "\xA6\xAC\xA9\xAE\xB9\xBE\xB6\xBC\xB7"},
};

std::string Byte(int b) { return std::string(1, static_cast<char>(b)); }

std::string AllBytes() {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  return all;
}

TEST(TranslatorTables, TwelveEntriesInLookupOrder) {
  const std::vector<std::string> expected = {"ISO-8859-1", "ISO-8859-2", "Windows-1250",   "ibm866",
                                             "ISO-8859-5", "koi8-r",     "koi8-u",         "KOI8-WIN",
                                             "WIN-KOI8",   "Windows-1251", "x-mac-cyrillic", "Latin1"};
  ASSERT_EQ(kCharsetTableCount, 12);
  for (int i = 0; i < kCharsetTableCount; ++i) EXPECT_EQ(kCharsetTables[i].name, expected[i]);
}

TEST(TranslatorTables, PublishedCodePagesBothWays) {
  for (const CodePageSample& sample : kSamples) {
    SCOPED_TRACE(sample.charset);
    EXPECT_EQ(TzqTranslator::TranslateTo(sample.charset, sample.text1251), sample.bytes);
    EXPECT_EQ(TzqTranslator::TranslateFrom(sample.charset, sample.bytes), sample.text1251);
  }
  // WIN-KOI8 is the KOI8 pair turned round.
  EXPECT_EQ(TzqTranslator::TranslateFrom("WIN-KOI8", kPangram1251), kSamples[2].bytes);
  EXPECT_EQ(TzqTranslator::TranslateTo("WIN-KOI8", kSamples[2].bytes), kPangram1251);
}

TEST(TranslatorTables, RowsThatIdentifyEachMap) {
  EXPECT_EQ(TzqTranslator::TranslateFrom("koi8-r", Byte(0xC0)), Byte(0xFE));
  EXPECT_EQ(TzqTranslator::TranslateTo("koi8-r", Byte(0xC0)), Byte(0xE1));
  EXPECT_EQ(TzqTranslator::TranslateFrom("KOI8-R", Byte(0xC0)), Byte(0xFE));
  EXPECT_EQ(TzqTranslator::TranslateTo("ibm866", Byte(0xC0)), Byte(0x80));
  EXPECT_EQ(TzqTranslator::TranslateFrom("ISO-8859-5", Byte(0xC0)), Byte(0xD0));
  EXPECT_EQ(TzqTranslator::TranslateTo("ISO-8859-5", Byte(0xC0)), Byte(0xB0));
  EXPECT_EQ(TzqTranslator::TranslateTo("x-mac-cyrillic", Byte(0xC0)), Byte(0x80));
  EXPECT_EQ(TzqTranslator::TranslateFrom("WIN-KOI8", Byte(0xC0)), Byte(0xE1));
}

TEST(TranslatorTables, AsciiNeverChanges) {
  std::string ascii;
  for (int b = 0; b < 0x80; ++b) ascii += static_cast<char>(b);
  for (const TzqCharsetTable& table : kCharsetTables) {
    SCOPED_TRACE(table.name);
    EXPECT_EQ(TzqTranslator::TranslateTo(table.name, ascii), ascii);
    EXPECT_EQ(TzqTranslator::TranslateFrom(table.name, ascii), ascii);
  }
}

// Every map but ISO-8859-2's is a permutation, so every byte survives both round trips.
TEST(TranslatorTables, EveryByteRoundTrips) {
  const std::string all = AllBytes();
  for (const TzqCharsetTable& table : kCharsetTables) {
    if (std::string_view(table.name) == "ISO-8859-2") continue;
    SCOPED_TRACE(table.name);
    const std::string decoded = TzqTranslator::TranslateFrom(table.name, all);
    EXPECT_EQ(std::set<char>(decoded.begin(), decoded.end()).size(), 256u);
    EXPECT_EQ(TzqTranslator::TranslateTo(table.name, decoded), all);
    EXPECT_EQ(TzqTranslator::TranslateFrom(table.name, TzqTranslator::TranslateTo(table.name, all)), all);
  }
}

TEST(TranslatorTables, Iso8859_2MovesOnlyItsNineBytes) {
  const std::string moved = kSamples[6].bytes;
  const std::string all = AllBytes();
  const std::string decoded = TzqTranslator::TranslateFrom("iso-8859-2", all);
  const std::string encoded = TzqTranslator::TranslateTo("iso-8859-2", all);
  const std::string targets = kSamples[6].text1251;
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    if (moved.find(c) == std::string::npos) {
      EXPECT_EQ(decoded[b], c) << b;
    }
    if (targets.find(c) == std::string::npos) {
      EXPECT_EQ(encoded[b], c) << b;
    }
  }
}

TEST(TranslatorCharsets, OtherNamesCopyBytes) {
  const std::string all = AllBytes();
  for (const char* charset : {"", "us-ascii", "no-such-charset", " koi8-r"}) {
    SCOPED_TRACE(charset);
    EXPECT_EQ(test::Bytes(TzqTranslator::TextToBytes(all, charset)), all);
    EXPECT_EQ(TzqTranslator::BytesToText(all.data() + 1, 255, charset), all.substr(1));
  }
  EXPECT_EQ(test::Bytes(TzqTranslator::TextToBytes(all)), all);
}

TEST(TranslatorCharsets, Utf8NameInAnyCase) {
  CodePageScope scope(CP_WINDOWS1252);
  for (const char* charset : {"utf-8", "UTF-8", "Utf-8"}) {
    EXPECT_TRUE(TzqTranslator::IsUtf8(charset));
    EXPECT_EQ(test::Bytes(TzqTranslator::TextToBytes("\xE9", charset)), "\xC3\xA9");
  }
  EXPECT_FALSE(TzqTranslator::IsUtf8("utf8"));
}

TEST(TranslatorUtf8, Windows1252Examples) {
  CodePageScope scope(CP_WINDOWS1252);
  EXPECT_EQ(test::Bytes(TzqTranslator::TextToBytes("caf\xE9", "utf-8")), "caf\xC3\xA9");
  EXPECT_EQ(TzqTranslator::BytesToText(test::ToBytes("caf\xC3\xA9"), "utf-8"), "caf\xE9");
  EXPECT_EQ(TzqTranslator::GetByteCount("caf\xE9", "utf-8"), 5);
  // The euro sign sits at 0x80 in Windows-1252.
  EXPECT_EQ(test::Bytes(TzqTranslator::TextToBytes("\x80", "utf-8")), "\xE2\x82\xAC");
  // U+0080 has no place in Windows-1252: the default character.
  EXPECT_EQ(TzqTranslator::BytesToText(test::ToBytes("a\xC3\x28z"), "utf-8"), "a?z");
  // A four-byte sequence is one character the code page lacks.
  EXPECT_EQ(TzqTranslator::BytesToText(test::ToBytes("\xF0\x9F\x98\x80!"), "utf-8"), "?!");
}

TEST(TranslatorUtf8, LocalUtf8GivesValidTextBack) {
  CodePageScope scope(CP_UTF8);
  const std::string text = "A \xC3\xA9 \xD0\x96 \xE2\x82\xAC \xEF\xBF\xBD \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF end";
  EXPECT_EQ(test::Bytes(TzqTranslator::TextToBytes(text, "utf-8")), text);
  EXPECT_EQ(TzqTranslator::BytesToText(test::ToBytes(text), "utf-8"), text);
  EXPECT_EQ(TzqTranslator::GetByteCount(text, "utf-8"), static_cast<int64_t>(text.size()));
}

TEST(TranslatorUtf8, FourByteSequencesAreSurrogatePairs) {
  EXPECT_EQ(TzqTranslator::Utf8ToWide("\xF0\x9F\x98\x80"), std::u16string(u"\xD83D\xDE00"));
  EXPECT_EQ(TzqTranslator::WideToUtf8(u"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(TzqTranslator::Utf8ToWide("\xF4\x8F\xBF\xBF"), std::u16string(u"\xDBFF\xDFFF"));
  // A lone surrogate has no UTF-8 form.
  EXPECT_EQ(TzqTranslator::WideToUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(TzqTranslator::WideToUtf8(u"a\u00E9\u20AC"), "a\xC3\xA9\xE2\x82\xAC");
}

TEST(TranslatorUtf8, MalformedSequencesGiveTheSubstitute) {
  const std::u16string sub(1, char16_t(0x80));
  // The byte that breaks a sequence is consumed; a blank stays a blank.
  EXPECT_EQ(TzqTranslator::Utf8ToWide("\xC3\x28!"), sub + u"!");
  EXPECT_EQ(TzqTranslator::Utf8ToWide("\xC3 x"), u" x");
  EXPECT_EQ(TzqTranslator::Utf8ToWide("\xE2\x82!z"), sub + u"z");
  // Cut short by the end of the input.
  EXPECT_EQ(TzqTranslator::Utf8ToWide("ab\xE2\x82"), u"ab" + sub);
  EXPECT_EQ(TzqTranslator::Utf8ToWide("\xC3"), sub);
  // Overlong forms and encoded surrogates never smuggle a character through.
  EXPECT_EQ(TzqTranslator::Utf8ToWide("\xC0\xAF"), sub);
  EXPECT_EQ(TzqTranslator::Utf8ToWide("\xE0\x80\xAF"), sub);
  EXPECT_EQ(TzqTranslator::Utf8ToWide("\xED\xA0\x80"), sub);
  // A stray continuation byte leads a two-byte sequence of its own.
  EXPECT_EQ(TzqTranslator::Utf8ToWide("\x80\x80z"), sub + u"z");
  // Beyond U+10FFFF: three bytes for the lead, then the fourth on its own.
  EXPECT_EQ(TzqTranslator::Utf8ToWide("\xF4\x90\x80\x80"), sub + sub);
  EXPECT_EQ(TzqTranslator::Utf8ToWide(""), u"");
}

TEST(TranslatorUtf8, MalformedBytesWithLocalUtf8) {
  CodePageScope scope(CP_UTF8);
  EXPECT_EQ(TzqTranslator::BytesToText(test::ToBytes("a\xC3\x28z"), "utf-8"), "a\xC2\x80z");
  EXPECT_EQ(TzqTranslator::BytesToText(test::ToBytes("\xC0\xAF"), "utf-8"), "\xC2\x80");
}

TEST(TranslatorBytesToText, StopsAtZeroAndStaysInBounds) {
  const TzqByteArray bytes = test::ToBytes(std::string("ab\0cd", 5));
  EXPECT_EQ(TzqTranslator::BytesToText(bytes, ""), "ab");
  EXPECT_EQ(TzqTranslator::BytesToText(bytes, "utf-8"), "ab");
  EXPECT_EQ(TzqTranslator::BytesToText(bytes, 3, "", 100), "cd");
  EXPECT_EQ(TzqTranslator::BytesToText(bytes, 3, "", 1), "c");
  EXPECT_EQ(TzqTranslator::BytesToText(bytes, 3, "", 0), "");
  EXPECT_EQ(TzqTranslator::BytesToText(bytes, 3, "", -5), "");
  EXPECT_EQ(TzqTranslator::BytesToText(bytes, -1, "", 2), "");
  EXPECT_EQ(TzqTranslator::BytesToText(bytes, 5, "", 2), "");
  EXPECT_EQ(TzqTranslator::BytesToText(bytes, INT64_MAX, "", INT64_MAX), "");
  EXPECT_EQ(TzqTranslator::BytesToText(bytes, 4, "", INT64_MAX), "d");
  EXPECT_EQ(TzqTranslator::BytesToText(nullptr, 10, "koi8-r"), "");
  EXPECT_EQ(TzqTranslator::BytesToText(TzqByteArray{0xC0, 0xC1}, "koi8-r"), "\xFE\xE0");
}

TEST(TranslatorTextToBuffer, CopiesAtMostSize) {
  CodePageScope scope(CP_WINDOWS1252);
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  TzqTranslator::TextToBuffer("\xE9\xE9", buffer, "utf-8", 3);
  EXPECT_EQ(std::string(buffer, 8), "\xC3\xA9\xC3#####");
  TzqTranslator::TextToBuffer("ab", buffer, "", 8);
  EXPECT_EQ(std::string(buffer, 8), "ab\xC3#####");
  TzqTranslator::TextToBuffer("zz", buffer, "", -1);
  TzqTranslator::TextToBuffer("zz", nullptr, "", 8);
  EXPECT_EQ(std::string(buffer, 8), "ab\xC3#####");
}

TEST(TranslatorStreams, MapWholeStreamsAndRestorePositions) {
  TzqMemoryStream source(std::string_view("\xC0\xC1xyz"));
  TzqMemoryStream destination(std::string_view("0123456789"));
  source.SetPosition(3);
  destination.SetPosition(7);
  TzqTranslator::TranslateFrom("koi8-r", source, destination);
  EXPECT_EQ(destination.DataString(), "\xFE\xE0xyz56789");
  EXPECT_EQ(source.Position(), 3);
  EXPECT_EQ(destination.Position(), 7);

  TzqMemoryStream copy;
  TzqTranslator::TranslateTo("unknown", source, copy);
  EXPECT_EQ(copy.DataString(), source.DataString());
}

TEST(TranslatorStreams, InPlaceAndLargerThanOneChunk) {
  std::string text(200000, '\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 7);
  TzqMemoryStream stream(text);
  TzqTranslator::TranslateTo("ibm866", stream, stream);
  EXPECT_EQ(stream.DataString(), TzqTranslator::TranslateTo("ibm866", text));
  TzqTranslator::TranslateFrom("ibm866", stream, stream);
  EXPECT_EQ(stream.DataString(), text);
  EXPECT_EQ(stream.Position(), 0);
}

}  // namespace
}  // namespace zq
