#include "codec/zqTranslator.h"

#include <gtest/gtest.h>

#include <set>

#include "codec/zqCharsetTables.h"
#include "core/zqCodePage.h"
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

TEST(TranslatorTables, PublishedCodePagesBothWays) {
  const char* const order[] = {"ISO-8859-1", "ISO-8859-2", "Windows-1250", "ibm866",       "ISO-8859-5",     "koi8-r",
                               "koi8-u",     "KOI8-WIN",   "WIN-KOI8",     "Windows-1251", "x-mac-cyrillic", "Latin1"};
  for (int i = 0; i < kCharsetTableCount; ++i) EXPECT_STREQ(kCharsetTables[i].name, order[i]);
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
  EXPECT_EQ(TzqTranslator::TranslateFrom("KOI8-R", Byte(0xC0)), Byte(0xFE));
  EXPECT_EQ(TzqTranslator::TranslateTo("koi8-r", Byte(0xC0)), Byte(0xE1));
  EXPECT_EQ(TzqTranslator::TranslateTo("ibm866", Byte(0xC0)), Byte(0x80));
  EXPECT_EQ(TzqTranslator::TranslateFrom("ISO-8859-5", Byte(0xC0)), Byte(0xD0));
  EXPECT_EQ(TzqTranslator::TranslateTo("ISO-8859-5", Byte(0xC0)), Byte(0xB0));
  EXPECT_EQ(TzqTranslator::TranslateTo("x-mac-cyrillic", Byte(0xC0)), Byte(0x80));
  EXPECT_EQ(TzqTranslator::TranslateFrom("WIN-KOI8", Byte(0xC0)), Byte(0xE1));
}

// Every map but ISO-8859-2's is a permutation that keeps ASCII, so every byte survives.
TEST(TranslatorTables, EveryByteRoundTrips) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  for (const TzqCharsetTable& table : kCharsetTables) {
    SCOPED_TRACE(table.name);
    const std::string decoded = TzqTranslator::TranslateFrom(table.name, all);
    const std::string encoded = TzqTranslator::TranslateTo(table.name, all);
    EXPECT_EQ(decoded.substr(0, 0x80), all.substr(0, 0x80));
    EXPECT_EQ(encoded.substr(0, 0x80), all.substr(0, 0x80));
    if (std::string_view(table.name) == "ISO-8859-2") continue;
    EXPECT_EQ(std::set<char>(decoded.begin(), decoded.end()).size(), 256u);
    EXPECT_EQ(TzqTranslator::TranslateTo(table.name, decoded), all);
    EXPECT_EQ(TzqTranslator::TranslateFrom(table.name, encoded), all);
  }
  // ISO-8859-2 moves its nine bytes and nothing else.
  const std::string decoded = TzqTranslator::TranslateFrom("iso-8859-2", all);
  int moved = 0;
  for (int b = 0; b < 256; ++b) moved += decoded[b] != all[b];
  EXPECT_EQ(moved, 9);
}

// ---- table charsets with UTF-8 texts ----------------------------------------------------------

const std::string kPangramUtf8 = "Съешь же ещё этих мягких французских булок, да выпей чаю";

std::string TableBytes(std::string_view text, const char* charset) {
  return test::Bytes(TzqTranslator::TextToBytes(text, charset));
}

TEST(TranslatorUnicode, TableCharsetsConvertToAndFromUtf8Text) {
  CodePageScope scope(CP_UTF8);
  for (const char* charset : {"iso-8859-1", "Latin1"}) {
    EXPECT_EQ(TzqTranslator::BytesToText(test::ToBytes("\xE9"), charset), "\xC3\xA9") << charset;
    EXPECT_EQ(TableBytes("café €", charset), "caf\xE9 \x80") << charset;
  }
  EXPECT_EQ(TableBytes("п", "koi8-r"), "\xD0");
  EXPECT_EQ(TableBytes("п", "windows-1251"), "\xEF");
  EXPECT_EQ(TableBytes("ž", "Windows-1250"), "\x9E");
  EXPECT_EQ(TzqTranslator::BytesToText(test::ToBytes("\xD0\xC1"), "KOI8-R"), "па");
  EXPECT_EQ(TzqTranslator::GetByteCount("пп", "koi8-r"), 2);
  char buffer[4] = "###";
  TzqTranslator::TextToBuffer("ёж", buffer, "koi8-r", 2);
  EXPECT_STREQ(buffer, "\xA3\xD6#");
  // The same pangram in each Cyrillic charset, as the published code pages write it.
  for (const CodePageSample& sample : kSamples) {
    if (std::string_view(sample.charset) == "ISO-8859-2") continue;
    SCOPED_TRACE(sample.charset);
    const std::string text = kPangramUtf8 + (std::string_view(sample.charset) == "koi8-u" ? "Ґанок: їжак, є і Ї" : "");
    EXPECT_EQ(TzqTranslator::BytesToText(test::ToBytes(sample.bytes), sample.charset), text);
    EXPECT_EQ(TableBytes(text, sample.charset), sample.bytes);
  }
  for (const char* charset : {"WIN-KOI8", "Windows-1251"}) {
    EXPECT_EQ(TzqTranslator::BytesToText(test::ToBytes(kPangram1251), charset), kPangramUtf8) << charset;
    EXPECT_EQ(TableBytes(kPangramUtf8, charset), kPangram1251) << charset;
  }
}

TEST(TranslatorUnicode, WhatATableCannotHoldBecomesTheSubstitute) {
  CodePageScope scope(CP_UTF8);
  EXPECT_EQ(TableBytes("a\xD0\xBF\xE6\x97\xA5\xF0\x9F\x98\x80z", "iso-8859-1"), "a???z");
  EXPECT_EQ(TableBytes("\xC3\xA9", "koi8-r"), "?");
  // Malformed UTF-8 text: one substitute per byte that starts no character.
  EXPECT_EQ(TableBytes("x\xC3(\xFF", "koi8-r"), "x?(?");
  // A zero byte still ends the text.
  EXPECT_EQ(TzqTranslator::BytesToText(test::ToBytes(std::string("\xC1\0\xC1", 3)), "koi8-r"), "а");
}

// Every byte of every table survives the trip through UTF-8 text, except where ISO-8859-2's fixed
// recoding gives two bytes one character; those go back to the byte its own map writes.
TEST(TranslatorUnicode, EveryByteRoundTripsThroughUtf8) {
  CodePageScope scope(CP_UTF8);
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  for (const TzqCharsetTable& table : kCharsetTables) {
    SCOPED_TRACE(table.name);
    const std::string text = TzqTranslator::BytesToText(test::ToBytes(all), table.name);
    EXPECT_EQ(TzqTranslator::BytesToText(test::ToBytes(text), "utf-8"), text);  // well-formed
    const std::string back = TableBytes(text, table.name);
    if (std::string_view(table.name) != "ISO-8859-2") {
      EXPECT_EQ(back, all);
      continue;
    }
    for (int b = 1; b < 256; ++b) {
      const std::string one = Byte(b);
      EXPECT_EQ(TableBytes(TzqTranslator::BytesToText(test::ToBytes(one), table.name), table.name),
                TzqTranslator::TranslateTo(table.name, TzqTranslator::TranslateFrom(table.name, one)))
          << b;
    }
  }
  EXPECT_EQ(TzqTranslator::BytesToText(test::ToBytes("\xA6\xB7"), "ISO-8859-2"), "Śˇ");
  EXPECT_EQ(TableBytes("Śˇ", "ISO-8859-2"), "\xA6\xB7");
}

TEST(TranslatorUnicode, Windows1252TextsKeepTheByteMaps) {
  CodePageScope scope(CP_WINDOWS1252);
  EXPECT_EQ(TzqTranslator::BytesToText(test::ToBytes("\xC0"), "koi8-r"), "\xFE");
  EXPECT_EQ(TableBytes("\xC0", "koi8-r"), "\xE1");
  EXPECT_EQ(TableBytes("caf\xE9", "iso-8859-1"), "caf\xE9");
  EXPECT_EQ(TzqTranslator::GetByteCount("\xE9\xE9", "koi8-r"), 2);
}

TEST(TranslatorCharsets, OtherNamesCopyBytes) {
  const std::string high = "\x80\xC0\xE9\xFF";
  for (const char* charset : {"", "us-ascii", "no-such-charset", " koi8-r"}) {
    EXPECT_EQ(test::Bytes(TzqTranslator::TextToBytes(high, charset)), high) << charset;
    EXPECT_EQ(TzqTranslator::BytesToText(high.data(), 4, charset), high) << charset;
  }
}

TEST(TranslatorUtf8, Windows1252Examples) {
  CodePageScope scope(CP_WINDOWS1252);
  for (const char* charset : {"utf-8", "UTF-8"})
    EXPECT_EQ(test::Bytes(TzqTranslator::TextToBytes("caf\xE9", charset)), "caf\xC3\xA9");
  EXPECT_EQ(TzqTranslator::BytesToText(test::ToBytes("caf\xC3\xA9"), "utf-8"), "caf\xE9");
  EXPECT_EQ(TzqTranslator::GetByteCount("\xE9\x80", "utf-8"), 5);  // the euro sign sits at 0x80
  // U+0080 and a four-byte character have no place in Windows-1252: the default character.
  EXPECT_EQ(TzqTranslator::BytesToText(test::ToBytes("a\xC3\x28z"), "utf-8"), "a?z");
  EXPECT_EQ(TzqTranslator::BytesToText(test::ToBytes("\xF0\x9F\x98\x80!"), "utf-8"), "?!");
}

TEST(TranslatorUtf8, LocalUtf8GivesValidTextBack) {
  CodePageScope scope(CP_UTF8);
  const std::string text = "A \xC3\xA9 \xD0\x96 \xE2\x82\xAC \xEF\xBF\xBD \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF end";
  EXPECT_EQ(test::Bytes(TzqTranslator::TextToBytes(text, "utf-8")), text);
  EXPECT_EQ(TzqTranslator::BytesToText(test::ToBytes(text), "utf-8"), text);
  EXPECT_EQ(TzqTranslator::Utf8ToWide("\xF0\x9F\x98\x80"), std::u16string(u"\xD83D\xDE00"));
  EXPECT_EQ(TzqTranslator::WideToUtf8(u"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
  // A lone surrogate has no UTF-8 form; malformed input gives U+0080 in the local text.
  EXPECT_EQ(TzqTranslator::WideToUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(TzqTranslator::BytesToText(test::ToBytes("a\xC3\x28z"), "utf-8"), "a\xC2\x80z");
}

TEST(TranslatorUtf8, MalformedSequencesGiveTheSubstitute) {
  const std::u16string sub(1, char16_t(0x80));
  // The byte that breaks a sequence is consumed; a blank stays a blank.
  EXPECT_EQ(TzqTranslator::Utf8ToWide("\xC3\x28!"), sub + u"!");
  EXPECT_EQ(TzqTranslator::Utf8ToWide("\xC3 x"), u" x");
  EXPECT_EQ(TzqTranslator::Utf8ToWide("\xE2\x82!z"), sub + u"z");
  EXPECT_EQ(TzqTranslator::Utf8ToWide("ab\xE2\x82"), u"ab" + sub);  // cut short
  // Overlong forms and encoded surrogates never smuggle a character through.
  EXPECT_EQ(TzqTranslator::Utf8ToWide("\xC0\xAF"), sub);
  EXPECT_EQ(TzqTranslator::Utf8ToWide("\xED\xA0\x80"), sub);
  EXPECT_EQ(TzqTranslator::Utf8ToWide("\x80\x80z"), sub + u"z");
  EXPECT_EQ(TzqTranslator::Utf8ToWide("\xF4\x90\x80\x80"), sub + sub);  // beyond U+10FFFF
}

TEST(TranslatorBytes, ZeroByteAndBounds) {
  const TzqByteArray bytes = test::ToBytes(std::string("ab\0cd", 5));
  EXPECT_EQ(TzqTranslator::BytesToText(bytes, ""), "ab");
  EXPECT_EQ(TzqTranslator::BytesToText(bytes, "utf-8"), "ab");
  EXPECT_EQ(TzqTranslator::BytesToText(bytes, 3, "", 1), "c");
  EXPECT_EQ(TzqTranslator::BytesToText(bytes, 4, "", INT64_MAX), "d");
  for (int64_t offset : {int64_t{-1}, int64_t{5}, INT64_MAX})
    EXPECT_EQ(TzqTranslator::BytesToText(bytes, offset, "", 2), "");
  EXPECT_EQ(TzqTranslator::BytesToText(bytes, 3, "", -5), "");

  CodePageScope scope(CP_WINDOWS1252);
  char buffer[6] = "#####";
  TzqTranslator::TextToBuffer("\xE9\xE9", buffer, "utf-8", 3);
  TzqTranslator::TextToBuffer("zz", buffer, "", -1);
  EXPECT_STREQ(buffer, "\xC3\xA9\xC3##");
}

TEST(TranslatorStreams, WholeStreamsInPlaceAndPositionsKept) {
  TzqMemoryStream source(std::string_view("\xC0\xC1xyz"));
  TzqMemoryStream destination(std::string_view("0123456789"));
  source.SetPosition(3);
  destination.SetPosition(7);
  TzqTranslator::TranslateFrom("koi8-r", source, destination);
  EXPECT_EQ(destination.DataString(), "\xFE\xE0xyz56789");
  EXPECT_EQ(source.Position(), 3);
  EXPECT_EQ(destination.Position(), 7);

  std::string text(200000, '\0');  // more than one chunk
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 7);
  TzqMemoryStream stream(text);
  TzqTranslator::TranslateTo("ibm866", stream, stream);
  EXPECT_EQ(stream.DataString(), TzqTranslator::TranslateTo("ibm866", text));
  TzqTranslator::TranslateFrom("ibm866", stream, stream);
  EXPECT_EQ(stream.DataString(), text);
}

}  // namespace
}  // namespace zq
