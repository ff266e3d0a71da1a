#include "codec/zqIdnTranslator.h"

#include <gtest/gtest.h>

#include "core/zqCodePage.h"
#include "tests/support/zqTestSupport.h"

namespace zq {
namespace {

using test::CodePageScope;

std::u32string CodePoints(std::string_view utf8) { return Utf16ToCodePoints(Utf8ToUtf16(utf8)); }

struct PunycodeSample {
  const char* text;  // UTF-8
  const char* encoded;
};

// RFC 3492 section 7.1. Sample (I) prints "D" there through mixed-case annotation, which this
// encoder does not do.
const PunycodeSample kRfc3492Samples[] = {
    {"ليهمابتكلموشعربي؟", "egbpdaj6bu4bxfgehfvwxn"},
    {"他们为什么不说中文", "ihqwcrb4cv8a8dqg056pqjye"},
    {"他們爲什麽不說中文", "ihqwctvzc91f659drss3x8bo0yb"},
    {"Pročprostěnemluvíčesky", "Proprostnemluvesky-uyb24dma41a"},
    {"למההםפשוטלאמדבריםעברית", "4dbcagdahymbxekheh6e0a7fei0b"},
    {"यहलोगहिन्दीक्योंनहींबोलसकतेहैं", "i1baa7eci9glrd9b2ae1bj0hfcgg6iyaf8o0a1dig0cd"},
    {"なぜみんな日本語を話してくれないのか", "n8jok5ay5dzabd5bym9f0cm5685rrjetr6pdxa"},
    {"세계의모든사람들이한국어를이해한다면얼마나좋을까",
     "989aomsvi5e83db1d2a355cv1e0vak1dwrv93d5xbh15a0dt30a5jpsd879ccm6fea98c"},
    {"почемужеонинеговорятпорусски", "b1abfaaepdrnnbgefbadotcwatmq2g4l"},
    {"PorquénopuedensimplementehablarenEspañol", "PorqunopuedensimplementehablarenEspaol-fmd56a"},
    {"TạisaohọkhôngthểchỉnóitiếngViệt", "TisaohkhngthchnitingVit-kjcr8268qyxafd2f1b9g"},
    {"3年B組金八先生", "3B-ww4c5e180e575a65lsy2b"},
    {"安室奈美恵-with-SUPER-MONKEYS", "-with-SUPER-MONKEYS-pc58ag80a8qai00g7n9n"},
    {"Hello-Another-Way-それぞれの場所", "Hello-Another-Way--fc4qua05auwb3674vfr0b"},
    {"ひとつ屋根の下2", "2-u9tlzr9756bt3uc0v"},
    {"MajiでKoiする5秒前", "MajiKoi5-783gue6qz075azm5e"},
    {"パフィーdeルンバ", "de-jg4avhby1noc0d"},
    {"そのスピードで", "d9juau41awczczp"},
    {"-> $1.00 <-", "-> $1.00 <--"},
};

TEST(Punycode, EncodesTheRfc3492Samples) {
  for (const PunycodeSample& sample : kRfc3492Samples)
    EXPECT_EQ(TzqIdnTranslator::Punycode(CodePoints(sample.text)), sample.encoded) << sample.text;
}

TEST(Punycode, DeltaBeyondSigned32BitsRaises) {
  // 3000 basic code points before U+10FFFF push the first delta past 2^31 - 1.
  const std::u32string text = std::u32string(3000, U'a') + U'\U0010FFFF';
  try {
    TzqIdnTranslator::Punycode(text);
    FAIL() << "no EzqIdnError";
  } catch (const EzqIdnError& e) {
    EXPECT_STREQ(e.what(), "Input value needs wider integers to translate");
  }
  EXPECT_NO_THROW(TzqIdnTranslator::Punycode(std::u32string(1000, U'a') + U'\U0010FFFF'));
}

TEST(IdnTranslator, Utf8HostsAreEncodedFromTheirCodePoints) {
  EXPECT_EQ(TzqIdnTranslator::EncodeHost("bücher.example"), "xn--bcher-kva.example");
  EXPECT_EQ(TzqIdnTranslator::EncodeHost("€uro.example"), "xn--uro-j50a.example");
  EXPECT_EQ(TzqIdnTranslator::EncodeHost("www.\xF0\x9F\x98\x80.example"), "www.xn--e28h.example");
}

TEST(IdnTranslator, LabelsThatNeedPunycodeAreLowerCasedFirst) {
  // The same DNS name, whatever the case it was written in.
  EXPECT_EQ(TzqIdnTranslator::EncodeHost("BÜCHER.de"), "xn--bcher-kva.de");
  EXPECT_EQ(TzqIdnTranslator::EncodeHost("Bücher.Example"), "xn--bcher-kva.Example");
  EXPECT_EQ(TzqIdnTranslator::EncodeHost("ПРИМЕР.рф"), TzqIdnTranslator::EncodeHost("пример.рф"));
  EXPECT_EQ(TzqIdnTranslator::EncodeHost("ПРИМЕР.рф"), "xn--e1afmkfd.xn--p1ai");
  // A trailing dot (a fully qualified name) stays with the host.
  EXPECT_EQ(TzqIdnTranslator::EncodeHost("BÜCHER.de."), "xn--bcher-kva.de.");
  CodePageScope codePage(CP_WINDOWS1252);
  EXPECT_EQ(TzqIdnTranslator::EncodeHost("B\xDC"
                                         "CHER.de"),
            "xn--bcher-kva.de");
}

TEST(IdnTranslator, Windows1252HostsAreEncodedByteForByte) {
  CodePageScope codePage(CP_WINDOWS1252);
  EXPECT_EQ(TzqIdnTranslator::EncodeHost("b\xFC"
                                         "cher.example"),
            "xn--bcher-kva.example");
  // A label of non-basic bytes only gets no delimiter.
  EXPECT_EQ(TzqIdnTranslator::EncodeLabel("\xFC"), "xn--tda");
  // The byte 0x80 is the code point 0x80 here, not the euro sign it shows as.
  EXPECT_EQ(TzqIdnTranslator::EncodeLabel("\x80"), "xn--a");
  // Bytes that would be UTF-8 elsewhere are taken one by one (0xC3 lower-cased to 0xE3).
  EXPECT_EQ(TzqIdnTranslator::EncodeLabel("b\xC3\xBC"
                                          "cher"),
            "xn--bcher-lka6y");
}

TEST(IdnTranslator, AsciiHostsAndEmptyLabelsPassUnchanged) {
  EXPECT_EQ(TzqIdnTranslator::EncodeHost("WWW.Example.COM"), "WWW.Example.COM");
  EXPECT_EQ(TzqIdnTranslator::EncodeHost("a..b"), "a..b");
  EXPECT_EQ(TzqIdnTranslator::EncodeHost("münchen..de."), "xn--mnchen-3ya..de.");
  EXPECT_EQ(TzqIdnTranslator::EncodeHost(""), "");
  EXPECT_EQ(TzqIdnTranslator::EncodeHost(std::string(1000, 'a')), std::string(1000, 'a'));
}

// Line breaks and other controls would otherwise split labels: "a\r\nevil.com" became
// "a.evil.com".
TEST(IdnTranslator, HostsWithControlCharactersRaise) {
  for (const char* host : {"a\r\nevil.com", "x\x01y", "\n", "ex\x7f.com", "a\tb"})
    EXPECT_THROW(TzqIdnTranslator::EncodeHost(host), EzqIdnError) << host;
}

TEST(IdnTranslator, LabelsLongerThanDnsAllowsRaise) {
  // 55 basic letters and one ü give exactly 63 characters.
  EXPECT_EQ(TzqIdnTranslator::EncodeLabel(std::string(55, 'a') + "ü").size(), 63u);
  EXPECT_THROW(TzqIdnTranslator::EncodeLabel(std::string(56, 'a') + "ü"), EzqIdnError);
  // A huge label of distinct code points stops early instead of running for minutes.
  std::u32string distinct;
  for (char32_t c = 0x4E00; c < 0x4E00 + 200000; ++c) distinct += c;
  try {
    TzqIdnTranslator::EncodeHost("x." + Utf16ToUtf8(CodePointsToUtf16(distinct)));
    FAIL() << "no EzqIdnError";
  } catch (const EzqIdnError& e) {
    EXPECT_STREQ(e.what(), "Host name label is too long for the IDN translator");
  }
}

TEST(IdnTranslator, MalformedUtf8LabelRaises) {
  EXPECT_THROW(TzqIdnTranslator::EncodeHost("b\xC3(cher.example"), EzqIdnError);
  EXPECT_THROW(TzqIdnTranslator::EncodeHost("\xED\xA0\x80.example"), EzqIdnError);  // a surrogate
  EXPECT_THROW(TzqIdnTranslator::EncodeHost("ok.\xC3"), EzqIdnError);
}

}  // namespace
}  // namespace zq
