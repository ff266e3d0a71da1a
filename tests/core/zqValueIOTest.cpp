#include "core/zqValueIO.h"

#include <gtest/gtest.h>

#include "core/zqCodePage.h"
#include "core/zqError.h"
#include "core/zqStream.h"
#include "tests/support/zqTestSupport.h"

namespace zq {
namespace {

std::string Encoded(const std::function<void(TzqValueWriter&)>& write) {
  TzqMemoryStream stream;
  TzqValueWriter writer(stream);
  write(writer);
  return stream.DataString();
}

TEST(ValueWriter, IntegersTakeTheSmallestTag) {
  EXPECT_EQ(Encoded([](auto& w) { w.WriteInteger(-128); }), std::string("\x02\x80", 2));
  EXPECT_EQ(Encoded([](auto& w) { w.WriteInteger(127); }), std::string("\x02\x7f", 2));
  EXPECT_EQ(Encoded([](auto& w) { w.WriteInteger(128); }), std::string("\x03\x80\x00", 3));
  EXPECT_EQ(Encoded([](auto& w) { w.WriteInteger(-32769); }), std::string("\x04\xff\x7f\xff\xff", 5));
  EXPECT_EQ(Encoded([](auto& w) { w.WriteInteger(int64_t{1} << 32); }),
            std::string("\x13\x00\x00\x00\x00\x01\x00\x00\x00", 9));
}

TEST(ValueWriter, BooleansDatesListsAndAsciiTexts) {
  EXPECT_EQ(Encoded([](auto& w) {
              w.WriteListBegin();
              w.WriteBoolean(false);
              w.WriteBoolean(true);
              w.WriteListEnd();
            }),
            std::string("\x01\x08\x09\x00", 4));
  const std::string date = Encoded([](auto& w) { w.WriteDate(1.5); });
  EXPECT_EQ(date, std::string("\x11\x00\x00\x00\x00\x00\x00\xf8\x3f", 9));
  EXPECT_EQ(Encoded([](auto& w) { w.WriteString("abc"); }), std::string("\x06\x03"
                                                                        "abc",
                                                                        5));
  const std::string longText(300, 'x');
  EXPECT_EQ(Encoded([&](auto& w) { w.WriteString(longText); }), std::string("\x0c\x2c\x01\x00\x00", 5) + longText);
}

TEST(ValueWriter, NonAsciiTextIsUtf8FromTheLocalCodePage) {
  {
    test::CodePageScope page(CP_UTF8);
    EXPECT_EQ(Encoded([](auto& w) { w.WriteString("\xc3\xa9"); }), std::string("\x14\x02\x00\x00\x00\xc3\xa9", 7));
  }
  test::CodePageScope page(CP_WINDOWS1252);
  EXPECT_EQ(Encoded([](auto& w) { w.WriteString("\xe9\x80"); }),
            std::string("\x14\x05\x00\x00\x00\xc3\xa9\xe2\x82\xac", 10));
}

TEST(ValueReader, ReadsBackEveryTag) {
  TzqMemoryStream stream;
  TzqValueWriter writer(stream);
  const std::vector<int64_t> integers = {0, -1, 127, -129, 40000, -2147483648LL, 5000000000LL};
  writer.WriteListBegin();
  for (int64_t v : integers) writer.WriteInteger(v);
  writer.WriteBoolean(true);
  writer.WriteDate(45000.25);
  writer.WriteString("short");
  writer.WriteString(std::string(1000, 'y'));
  writer.WriteString("gr\xc3\xbc\xc3\x9f");
  writer.WriteListEnd();

  stream.SetPosition(0);
  TzqValueReader reader(stream);
  reader.ReadListBegin();
  for (int64_t v : integers) EXPECT_EQ(reader.ReadInt64(), v);
  EXPECT_TRUE(reader.ReadBoolean());
  EXPECT_DOUBLE_EQ(reader.ReadDate(), 45000.25);
  EXPECT_EQ(reader.ReadString(), "short");
  EXPECT_EQ(reader.ReadString(), std::string(1000, 'y'));
  EXPECT_EQ(reader.ReadString(), "gr\xc3\xbc\xc3\x9f");
  EXPECT_TRUE(reader.EndOfList());
  reader.ReadListEnd();
  EXPECT_EQ(stream.Position(), stream.Size());
}

TEST(ValueReader, WideStringsConvertToTheLocalCodePage) {
  TzqMemoryStream stream(std::string("\x12\x02\x00\x00\x00\xe9\x00\xac\x20", 9));  // "é€" in UTF-16
  {
    TzqValueReader reader(stream);
    EXPECT_EQ(reader.ReadString(), "\xc3\xa9\xe2\x82\xac");
  }
  test::CodePageScope page(CP_WINDOWS1252);
  stream.SetPosition(0);
  TzqValueReader reader(stream);
  EXPECT_EQ(reader.ReadString(), "\xe9\x80");
}

TEST(ValueReader, RejectsTagsThatDoNotFit) {
  const auto readAs = [](const std::string& bytes, const std::function<void(TzqValueReader&)>& read) {
    TzqMemoryStream stream(bytes);
    TzqValueReader reader(stream);
    read(reader);
  };
  const auto expectInvalid = [&](const std::string& bytes, const std::function<void(TzqValueReader&)>& read) {
    try {
      readAs(bytes, read);
      ADD_FAILURE() << "accepted";
    } catch (const EzqReadError& error) {
      EXPECT_STREQ(error.what(), "Invalid property value");
    }
  };
  expectInvalid(std::string("\x05", 1), [](auto& r) { r.ReadInt64(); });        // extended: not written
  expectInvalid(std::string("\x07\x01x", 3), [](auto& r) { r.ReadString(); });  // identifier
  expectInvalid(std::string("\x06\x01x", 3), [](auto& r) { r.ReadInteger(); });
  expectInvalid(std::string("\x02\x01", 2), [](auto& r) { r.ReadBoolean(); });
  expectInvalid(std::string("\x09", 1), [](auto& r) { r.ReadDate(); });
  expectInvalid(std::string("\x13\0\0\0\0\1\0\0\0", 9), [](auto& r) { r.ReadInteger(); });
  expectInvalid(std::string("\x00", 1), [](auto& r) { r.ReadListBegin(); });
}

TEST(ValueReader, TruncatedOrOversizedPayloadsFailWithoutAllocating) {
  const std::vector<std::string> damagedTexts = {
      std::string("\x06\x05"
                  "abc",
                  5),  // short text
      std::string("\x0c\xff\xff\xff\x7f"
                  "a",
                  6),                          // length far beyond the stream
      std::string("\x12\xff\xff\xff\xff", 5),  // wide count beyond the stream
      std::string(""),
  };
  for (const std::string& bytes : damagedTexts) {
    TzqMemoryStream stream(bytes);
    TzqValueReader reader(stream);
    EXPECT_THROW(reader.ReadString(), EzqStreamIoError) << testing::PrintToString(bytes);
  }
  TzqMemoryStream shortInteger(std::string("\x03\x01", 2));
  TzqValueReader reader(shortInteger);
  EXPECT_THROW(reader.ReadInt64(), EzqStreamIoError);
}

}  // namespace
}  // namespace zq
