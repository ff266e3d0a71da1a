#include "codec/zqEncoder.h"

#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

#include "tests/support/zqTestSupport.h"

namespace zq {
namespace {

using Progress = std::vector<std::pair<int64_t, int64_t>>;

struct Coder {
  explicit Coder(TzqEncodeMethod method, int32_t charsPerLine = 76, bool suppressCrlf = false) {
    encoder.SetEncodeMethod(method);
    encoder.SetCharsPerLine(charsPerLine);
    encoder.SetSuppressCrlf(suppressCrlf);
    encoder.OnProgress = [this](TzqObject* sender, int64_t done, int64_t total) {
      EXPECT_EQ(sender, &encoder);
      progress.emplace_back(done, total);
    };
  }
  std::string Encode(const std::string& input) {
    TzqMemoryStream source(input), destination;
    encoder.Encode(source, destination);
    return destination.DataString();
  }
  std::string Decode(const std::string& input) {
    TzqMemoryStream source(input), destination;
    encoder.Decode(source, destination);
    return destination.DataString();
  }
  TzqEncoder encoder;
  Progress progress;
};

std::string RandomBytes(std::mt19937& random, size_t size) {
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  lines.push_back(text.substr(start));
  return lines;
}

TEST(Encoder, DefaultsAndEffectiveLineLength) {
  TzqEncoder encoder;
  EXPECT_EQ(encoder.CharsPerLine(), 76);
  EXPECT_EQ(encoder.EncodeMethod(), cmBase64);
  EXPECT_FALSE(encoder.SuppressCrlf());
  EXPECT_EQ(encoder.BatchSize(), 8192);
  EXPECT_FALSE(encoder.AllowESC());
  EXPECT_EQ(encoder.CharSet(), "");
  EXPECT_EQ(encoder.ErrorProcessing(), epStop);
  const struct {
    TzqEncodeMethod method;
    int32_t chars;
    int64_t length;
  } cases[] = {{cmBase64, 76, 76},
               {cmBase64, 77, 80},
               {cmBase64, 81, 80},
               {cmBase64, 82, 84},
               {cmBase64, 63, 64},
               {cmBase64, 0, 64},
               {cmBase64, 2147483647, 2147483648},
               {cmQuotedPrintable, 0, 4},
               {cmQuotedPrintable, -9, 4},
               {cmQuotedPrintable, 200, 132},
               {cmUUEncode, 2, 3},
               {cmUUEncode, 133, 132},
               {cmNone, 0, 76},
               {cm8Bit, 5, 5}};
  for (const auto& c : cases) {
    encoder.SetEncodeMethod(c.method);
    encoder.SetCharsPerLine(c.chars);
    EXPECT_EQ(encoder.EffectiveLineLength(), c.length) << c.method << " " << c.chars;
  }
}

TEST(Encoder, Base64Rfc4648Vectors) {
  const std::pair<const char*, const char*> vectors[] = {{"f", "Zg=="},         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},       {"foob", "Zm9vYg=="},
                                                         {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  Coder coder(cmBase64);
  for (const auto& [plain, coded] : vectors) {
    EXPECT_EQ(coder.Encode(plain), coded);
    EXPECT_EQ(coder.Decode(coded), plain);
  }
  coder.progress.clear();
  EXPECT_EQ(coder.Encode(""), "");
  EXPECT_EQ(coder.Decode(""), "");
  EXPECT_TRUE(coder.progress.empty());
}

TEST(Encoder, Base64LineBreaks) {
  Coder coder(cmBase64);
  const std::string one = coder.Encode(std::string(57, 'x'));
  EXPECT_EQ(one.size(), 76u);
  EXPECT_EQ(one.find('\r'), std::string::npos);
  const auto lines = Lines(coder.Encode(std::string(58, 'x')));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size(), 76u);
  EXPECT_EQ(lines[1], "eA==");
  coder.encoder.SetCharsPerLine(0);
  EXPECT_EQ(Lines(coder.Encode(std::string(100, 'x')))[0].size(), 64u);
}

TEST(Encoder, Base64DecodingSkipsBreaksBlanksAndPadding) {
  Coder coder(cmBase64);
  EXPECT_EQ(coder.Decode("Zm9v\r\nYm Fy\n"), "foobar");
  EXPECT_EQ(coder.Decode("Zm9v=Ym=Fy=="), "foobar");
  // The bit state carries across chunks of any size.
  const std::string coded = "Zm9v YmFy\r\nZm9vYmE=";
  for (int32_t batch : {1, 2, 3, 5, 7, 0, -1}) {
    coder.encoder.SetBatchSize(batch);
    EXPECT_EQ(coder.Decode(coded), "foobarfooba") << batch;
  }
}

TEST(Encoder, Base64BadSymbolStopsOrEndsQuietly) {
  Coder coder(cmBase64);
  coder.encoder.SetBatchSize(4);
  TzqMemoryStream source(std::string("Zm9vYmFy*Zm9v")), destination;
  try {
    coder.encoder.Decode(source, destination);
    FAIL() << "no error";
  } catch (const EzqEncoderError& e) {
    EXPECT_EQ(e.ErrorCode(), -2);
    EXPECT_STREQ(e.what(), "Wrong symbols in source stream.");
  }
  EXPECT_EQ(destination.DataString(), "foobar");
  coder.encoder.SetErrorProcessing(epContinue);
  EXPECT_EQ(coder.Decode("Zm9vYmFy*Zm9v"), "foobar");
  EXPECT_EQ(coder.Decode("Zm9\tv"), "fo");
}

TEST(Encoder, Base64ProgressSequences) {
  Coder coder(cmBase64);
  coder.encoder.SetBatchSize(4);
  coder.Decode("Zm9vYmFyZg");
  EXPECT_EQ(coder.progress, (Progress{{0, 10}, {4, 10}, {8, 10}, {10, 10}}));
  coder.progress.clear();
  coder.Encode("foobar");
  EXPECT_EQ(coder.progress, (Progress{{0, 6}, {6, 6}}));
  // From half the input up, one report per thousandth of the output, while below the size.
  for (int64_t size : {750, 3001, 20000}) {
    coder.progress.clear();
    coder.Encode(std::string(static_cast<size_t>(size), 'q'));
    Progress expected{{0, size}};
    const int64_t half = size / 2;
    for (int64_t k = 1; half + half * k / 1000 + 1 < size; ++k) expected.emplace_back(half + half * k / 1000 + 1, size);
    expected.emplace_back(size, size);
    EXPECT_EQ(coder.progress, expected) << size;
  }
}

TEST(Encoder, QuotedPrintableEncoding) {
  Coder coder(cmQuotedPrintable);
  EXPECT_EQ(coder.Encode("a=b\tc\xE9 \n"), "a=3Db=09c=E9 =0A");
  EXPECT_EQ(coder.Encode("ab\r\ncd\rx\r"), "ab\r\ncd=0Dx=0D");
  const auto lines = Lines(coder.Encode(std::string(150, 'x') + "\r\n" + std::string(10, 'y')));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], std::string(71, 'x') + "=");
  EXPECT_EQ(lines[1], std::string(71, 'x') + "=");
  EXPECT_EQ(lines[2], std::string(8, 'x'));
  EXPECT_EQ(lines[3], std::string(10, 'y'));
  coder.encoder.SetSuppressCrlf(true);
  EXPECT_EQ(coder.Encode(std::string(150, 'x')), std::string(150, 'x'));
  // The shortest lines still take one byte each.
  coder.encoder.SetSuppressCrlf(false);
  coder.encoder.SetCharsPerLine(0);
  EXPECT_EQ(coder.Encode("a=b"), "a=\r\n=3D=\r\nb");
}

TEST(Encoder, QuotedPrintableDecoding) {
  Coder coder(cmQuotedPrintable);
  EXPECT_EQ(coder.Decode("=41=4a=4A"), "AJJ");
  EXPECT_EQ(coder.Decode("joined=\r\nline\r\nnext"), "joinedline\r\nnext");
  EXPECT_EQ(coder.Decode("a\rb\nc\n\r\nd"), "a\r\nb\r\nc\r\n\r\nd");
  EXPECT_EQ(coder.Decode("=x=Ay=G1=4"), "=x=y=G1=4");
  EXPECT_EQ(coder.Decode("end\r\n\r\n"), "end\r\n\r\n");
  EXPECT_EQ(coder.Decode("soft at end=\r\n"), "soft at end");
}

TEST(Encoder, QuotedPrintableProgressFollowsLines) {
  Coder coder(cmQuotedPrintable);
  coder.Encode("ab\r\ncd");
  EXPECT_EQ(coder.progress, (Progress{{0, 6}, {4, 6}, {6, 6}}));
  coder.progress.clear();
  coder.Decode("ab=\r\ncd\r\n");
  EXPECT_EQ(coder.progress, (Progress{{0, 9}, {3, 9}, {7, 9}, {9, 9}}));
}

TEST(Encoder, UUEncoding) {
  Coder coder(cmUUEncode);
  EXPECT_EQ(coder.Encode("abc"), "#86)C\r\n`\r\n");
  EXPECT_EQ(coder.progress, (Progress{{0, 3}, {3, 3}}));
  const auto lines = Lines(coder.Encode(std::string(57, '\0')));
  EXPECT_EQ(lines, (std::vector<std::string>{"Y" + std::string(76, '`'), "`", "`", ""}));
  coder.encoder.SetSuppressCrlf(true);
  EXPECT_EQ(coder.Encode("abcab"), "%86)C86(");
  // Lines are capped at what a count character can state, so they decode again.
  coder.encoder.SetSuppressCrlf(false);
  coder.encoder.SetCharsPerLine(132);
  const std::string data(200, 'z');
  const std::string coded = coder.Encode(data);
  EXPECT_EQ(Lines(coded)[0].size(), 85u);
  EXPECT_EQ(coded[0], '_');
  EXPECT_EQ(coder.Decode(coded), data);
}

TEST(Encoder, UUDecoding) {
  Coder coder(cmUUEncode);
  EXPECT_EQ(coder.Decode("begin 644 x.txt\r\n#86)C\r\n`\r\n#86)C\r\nend\r\n"), "abc");
  EXPECT_EQ(coder.Decode("\n\r\n#86)CXYZ\n!80"), "abca");
  // A short line still yields its count of bytes.
  EXPECT_EQ(coder.Decode("M"), std::string(45, '\0'));
  coder.progress.clear();
  coder.Decode("!80\n`");
  EXPECT_EQ(coder.progress, (Progress{{0, 5}, {0, 5}, {1, 5}, {2, 5}, {3, 5}, {4, 5}}));
}

TEST(Encoder, RoundTripsEveryMethodAndLineLength) {
  std::mt19937 random(4);
  for (TzqEncodeMethod method : {cmBase64, cmQuotedPrintable, cmUUEncode, cmNone, cm8Bit})
    for (int32_t chars : {0, 3, 4, 5, 6, 7, 41, 64, 76, 77, 84, 85, 100, 132, 1000}) {
      for (bool suppress : {false, true}) {
        Coder coder(method, chars, suppress);
        for (size_t size : {1, 2, 3, 56, 57, 58, 63, 64, 200, 5000}) {
          // One uuencoded line states its count in six bits.
          if (method == cmUUEncode && suppress && size > 63) continue;
          const std::string data = RandomBytes(random, size);
          const std::string coded = coder.Encode(data);
          ASSERT_EQ(coder.Decode(coded), data) << method << " " << chars << " " << suppress << " " << size;
          if (suppress && (method == cmBase64 || method == cmUUEncode)) {
            EXPECT_EQ(coded.find('\n'), std::string::npos);
          }
        }
      }
    }
}

TEST(Encoder, CopyMethodsAndUnsupportedFormat) {
  Coder coder(cm8Bit);
  TzqMemoryStream source(std::string("skip:kept\r\n\xFF")), destination;
  source.SetPosition(5);
  coder.encoder.Encode(source, destination);
  EXPECT_EQ(destination.DataString(), "kept\r\n\xFF");
  EXPECT_EQ(coder.progress, (Progress{{0, 7}, {7, 7}}));
  coder.encoder.SetEncodeMethod(static_cast<TzqEncodeMethod>(9));
  coder.progress.clear();
  try {
    coder.Decode("x");
    FAIL() << "no error";
  } catch (const EzqEncoderError& e) {
    EXPECT_EQ(e.ErrorCode(), -1);
    EXPECT_STREQ(e.what(), "Unsupported format.");
  }
  EXPECT_THROW(coder.Encode("x"), EzqEncoderError);
  EXPECT_TRUE(coder.progress.empty());
}

TEST(Encoder, TextVariantsUseTheCharset) {
  EXPECT_EQ(TzqEncoder::QuickEncode("Aladdin:open sesame", cmBase64), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  const std::string longText(100, 'k');
  // One line: no CR LF after the first 76 characters.
  EXPECT_EQ(TzqEncoder::QuickEncode(longText, cmBase64).size(), 136u);
  test::CodePageScope codePage(1252);
  TzqEncoder encoder;
  encoder.SetCharSet("utf-8");
  EXPECT_EQ(encoder.EncodeString("\xE9"), "w6k=");
  TzqMemoryStream source(std::string("\xE9")), decoded;
  EXPECT_EQ(encoder.EncodeToString(source), "6Q==");
  encoder.DecodeString("w6k=", decoded);
  EXPECT_EQ(decoded.DataString(), "\xC3\xA9");
}

}  // namespace
}  // namespace zq
