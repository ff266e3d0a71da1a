#include "codec/zqPercentEncoder.h"

#include <gtest/gtest.h>

#include "core/zqCodePage.h"
#include "tests/support/zqTestSupport.h"

namespace zq {
namespace {

using test::Bytes;
using test::CodePageScope;
using test::ToBytes;

TEST(PercentEncoder, EmptyUnsafeSetEscapesNothing) {
  TzqPercentEncoder encoder;
  const std::string raw("\x01 %\x7F\xFF", 5);
  EXPECT_EQ(encoder.EncodeBytes(ToBytes(raw)), raw);
  EXPECT_FALSE(encoder.IsUnsafe(0));
}

TEST(PercentEncoder, ChangingTheUnsafeCharactersRebuildsTheSet) {
  TzqPercentEncoder encoder;
  encoder.SetUnsafeCharacters("a");
  EXPECT_EQ(encoder.Encode("ab\x05", ""), "%61b%05");
  encoder.SetUnsafeCharacters("b");
  EXPECT_EQ(encoder.Encode("ab\x05", ""), "a%62%05");
  encoder.SetUnsafeCharacters("");
  EXPECT_EQ(encoder.Encode("ab\x05", ""), "ab\x05");
}

TEST(PercentEncoder, DecodesEscapesAndPassesMalformedOnes) {
  TzqPercentEncoder encoder;
  EXPECT_EQ(Bytes(encoder.DecodeToBytes("%41%4a%zz")), "AJ%zz");
  EXPECT_EQ(Bytes(encoder.DecodeToBytes("ab%")), "ab");
  EXPECT_EQ(Bytes(encoder.DecodeToBytes("ab%4")), "ab");
  // A first digit already read is dropped with the malformed escape.
  EXPECT_EQ(Bytes(encoder.DecodeToBytes("%4z")), "%z");
  EXPECT_EQ(Bytes(encoder.DecodeToBytes("%%41")), "%%41");
  EXPECT_EQ(Bytes(encoder.DecodeToBytes("%00%ff%FF")), std::string("\0\xFF\xFF", 3));
  EXPECT_TRUE(encoder.DecodeToBytes("").empty());
}

TEST(PercentEncoder, DecodeConvertsFromTheCharset) {
  TzqPercentEncoder encoder;
  {
    CodePageScope codePage(CP_WINDOWS1252);
    EXPECT_EQ(encoder.Decode("caf%C3%A9", "utf-8"), "caf\xE9");
  }
  EXPECT_EQ(encoder.Decode("caf%C3%A9", "utf-8"), "caf\xC3\xA9");
  EXPECT_EQ(encoder.Decode("%", "utf-8"), "");
}

TEST(FormFieldEncoder, EncodesTheDefaultFormValues) {
  TzqFormFieldEncoder encoder;
  EXPECT_EQ(encoder.Encode("John Doe", ""), "John+Doe");
  EXPECT_EQ(encoder.Encode("10/10/77", ""), "10%2F10%2F77");
  EXPECT_EQ(encoder.Encode("123456", ""), "123456");
}

TEST(FormFieldEncoder, EscapesExactlyTheReservedSet) {
  TzqFormFieldEncoder encoder;
  EXPECT_EQ(encoder.Encode("a&b=c+d", ""), "a%26b%3Dc%2Bd");
  EXPECT_EQ(encoder.Encode("!\"#$%&'()+,/:;<=>?@[\\]^`{|}~", ""),
            "%21%22%23%24%25%26%27%28%29%2B%2C%2F%3A%3B%3C%3D%3E%3F%40%5B%5C%5D%5E%60%7B%7C%7D%7E");
  EXPECT_EQ(encoder.Encode("AZaz09-._*", ""), "AZaz09-._*");
  // Escapes are never kept: a percent sign always becomes %25.
  EXPECT_EQ(encoder.Encode("%41", ""), "%2541");
  EXPECT_EQ(encoder.Encode("\t\x7F\xFC", ""), "%09%7F%FC");
}

TEST(FormFieldEncoder, DecodesPlusAsSpaceAndEscapesOfEitherCase) {
  TzqFormFieldEncoder encoder;
  EXPECT_EQ(encoder.Decode("John+Doe", ""), "John Doe");
  EXPECT_EQ(encoder.Decode("a%2Bb%2b%2f", ""), "a+b+/");
  const std::string value = "x & y = 100% *ok*";
  EXPECT_EQ(encoder.Decode(encoder.Encode(value, "utf-8"), "utf-8"), value);
}

}  // namespace
}  // namespace zq
