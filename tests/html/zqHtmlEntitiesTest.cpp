#include "html/zqHtmlEntities.h"

#include <gtest/gtest.h>

#include "core/zqCodePage.h"
#include "tests/support/zqTestSupport.h"

namespace zq {
namespace {

TEST(HtmlEntities, NamedAndNumericReferences) {
  EXPECT_EQ(DecodeCharacterReferences("A &amp; B &lt;i&gt; &quot;q&quot; &apos;"), "A & B <i> \"q\" '");
  EXPECT_EQ(DecodeCharacterReferences("caf&eacute; &Eacute;t&eacute;&nbsp;&euro;&hellip;&alpha;&rArr;"),
            "café Été\u00A0€…α⇒");
  EXPECT_EQ(DecodeCharacterReferences("&#8212; &#x2014; &#X2014; &#65;&#x42;"), "— — — AB");
  // Numeric references need no ';'; named ones do.
  EXPECT_EQ(DecodeCharacterReferences("&#65B &copy 2024 &copy;"), "AB &copy 2024 ©");
  EXPECT_EQ(DecodeCharacterReferences("&#128512;"), "\xF0\x9F\x98\x80");
}

TEST(HtmlEntities, WhatIsNoReferenceStaysAsWritten) {
  for (const char* text : {"a & b", "&", "&;", "&#;", "&#x;", "&#xg;", "&nosuch;", "&AMP;", "fish&chips", "&amp",
                           "&verylongname;", "?a=1&b=2", "&&&"})
    EXPECT_EQ(DecodeCharacterReferences(text), text) << text;
}

TEST(HtmlEntities, NumbersBrowsersReplace) {
  // 0, surrogates and values beyond U+10FFFF give U+FFFD; a long digit run cannot overflow.
  for (const char* text :
       {"&#0;", "&#xD800;", "&#x110000;", "&#99999999999999999999999;", "&#x0000000000000000000041FFFFFFFF;"})
    EXPECT_EQ(DecodeCharacterReferences(text), "\xEF\xBF\xBD") << text;
  EXPECT_EQ(DecodeCharacterReferences("&#00000000000000065;"), "A");
  // 0x80..0x9F are read as Windows-1252, as browsers do.
  EXPECT_EQ(DecodeCharacterReferences("&#150;&#x80;"), "–€");
}

TEST(HtmlEntities, Windows1252LocalTextKeepsWhatItCannotHold) {
  test::CodePageScope scope(CP_WINDOWS1252);
  EXPECT_EQ(DecodeCharacterReferences("caf&eacute; &#8212; &euro;"), "caf\xE9 \x97 \x80");
  EXPECT_EQ(DecodeCharacterReferences("&alpha; &#x4E2D; &#63;"), "&alpha; &#x4E2D; ?");
}

}  // namespace
}  // namespace zq
