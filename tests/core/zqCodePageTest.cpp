#include "core/zqCodePage.h"

#include <gtest/gtest.h>

#include "core/zqSystem.h"

#include <cerrno>

namespace zq {
namespace {

TEST(CodePage, Utf8IsTheDefaultAndWindows1252IsSelectable) {
  EXPECT_EQ(LocalCodePage(), CP_UTF8);
  SetLocalCodePage(CP_WINDOWS1252);
  EXPECT_EQ(LocalCodePage(), CP_WINDOWS1252);
  SetLocalCodePage(12345);  // anything else falls back to UTF-8
  EXPECT_EQ(LocalCodePage(), CP_UTF8);
}

TEST(CodePage, Windows1252MapsItsHighRowBothWays) {
  const std::string all = "\x80\x8a\x9f\xe9\x81";
  const std::u16string wide = AnsiToWide(all, CP_WINDOWS1252);
  EXPECT_EQ(wide, (std::u16string{0x20AC, 0x0160, 0x0178, 0x00E9, 0x0081}));
  EXPECT_EQ(WideToAnsi(wide, CP_WINDOWS1252), all);
  EXPECT_EQ(WideToAnsi(u"\u0416\U0001F600", CP_WINDOWS1252), "??");  // a pair is one character
}

TEST(CodePage, Utf8KeepsSupplementaryCharactersAndReplacesMalformedOnes) {
  const std::string text = "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
  const std::u16string wide = AnsiToWide(text, CP_UTF8);
  EXPECT_EQ(wide, (std::u16string{u'a', 0xE9, 0x20AC, 0xD83D, 0xDE00}));
  EXPECT_EQ(WideToAnsi(wide, CP_UTF8), text);
  // Overlong, surrogate, truncated and out-of-range forms each become U+FFFD.
  EXPECT_EQ(Utf8ToUtf16("\xc0\xaf"), (std::u16string{0xFFFD, 0xFFFD}));
  EXPECT_EQ(Utf8ToUtf16("\xed\xa0\x80"), (std::u16string{0xFFFD, 0xFFFD, 0xFFFD}));
  EXPECT_EQ(Utf8ToUtf16("\xe2\x82"), (std::u16string{0xFFFD, 0xFFFD}));
  EXPECT_EQ(Utf8ToUtf16("\xf4\x90\x80\x80").front(), 0xFFFD);
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xDC00, u'x'}), "\xef\xbf\xbdx");
}

TEST(CodePage, CodePointsCombineSurrogatePairs) {
  const std::u16string wide{u'x', 0xD83D, 0xDE00, 0xD800};
  const std::u32string points = Utf16ToCodePoints(wide);
  EXPECT_EQ(points, (std::u32string{U'x', 0x1F600, 0xD800}));
  EXPECT_EQ(CodePointsToUtf16(points), wide);
}

TEST(System, TickCountIsMonotonicAndErrnoTextIsTheSystemsText) {
  const uint64_t first = GetTickCount64();
  EXPECT_GE(GetTickCount64(), first);
  EXPECT_EQ(ErrnoText(ENOENT), "No such file or directory");
}

}  // namespace
}  // namespace zq
