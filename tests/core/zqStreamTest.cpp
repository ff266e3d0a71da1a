#include "core/zqStream.h"

#include <gtest/gtest.h>

#include "tests/support/zqTestSupport.h"

namespace zq {
namespace {

TEST(MemoryStream, WriteSeekReadFromEveryOrigin) {
  TzqMemoryStream stream;
  stream.WriteString("hello world");
  EXPECT_EQ(stream.Size(), 11);
  EXPECT_EQ(stream.Position(), 11);
  EXPECT_EQ(stream.Seek(-5, soEnd), 6);
  char buffer[5];
  stream.ReadBuffer(buffer, 5);
  EXPECT_EQ(std::string(buffer, 5), "world");
  EXPECT_EQ(stream.Seek(-11, soCurrent), 0);
  EXPECT_EQ(stream.Seek(6, soBeginning), 6);
  EXPECT_EQ(stream.Read(buffer, 100), 5);
  EXPECT_EQ(stream.Read(buffer, 100), 0);
  EXPECT_THROW(stream.Seek(-1, soBeginning), EzqStreamIoError);
}

TEST(MemoryStream, WritingPastTheEndZeroFillsAndSetSizeClampsPosition) {
  TzqMemoryStream stream;
  stream.SetPosition(3);
  stream.WriteString("x");
  EXPECT_EQ(stream.DataString(), std::string("\0\0\0x", 4));
  stream.SetSize(2);
  EXPECT_EQ(stream.Position(), 2);
  EXPECT_EQ(stream.Size(), 2);
}

TEST(Stream, ReadBufferRaisesOnShortData) {
  TzqMemoryStream stream("abc");
  char buffer[4];
  EXPECT_THROW(stream.ReadBuffer(buffer, 4), EzqStreamIoError);
}

TEST(Stream, CopyFromWholeSourceAndFromPosition) {
  TzqMemoryStream source("0123456789");
  source.SetPosition(7);
  TzqMemoryStream whole;
  EXPECT_EQ(whole.CopyFrom(source, 0), 10);
  EXPECT_EQ(whole.DataString(), "0123456789");
  source.SetPosition(2);
  TzqMemoryStream part;
  EXPECT_EQ(part.CopyFrom(source, 3), 3);
  EXPECT_EQ(part.DataString(), "234");
  source.SetPosition(8);
  EXPECT_THROW(part.CopyFrom(source, 5), EzqStreamIoError);
}

TEST(FileStream, CreateWriteReopenAndShareModes) {
  test::TempDir dir;
  const std::string path = dir.File("data.bin");
  {
    TzqFileStream file(path, fmCreate);
    file.WriteString("abcdef");
    // Another open while the creator holds the file exclusively fails.
    EXPECT_THROW(TzqFileStream(path, fmOpenRead | fmShareDenyWrite), EzqStreamIoError);
    file.SetSize(4);
    EXPECT_EQ(file.Size(), 4);
  }
  TzqFileStream reader(path, fmOpenRead | fmShareDenyNone);
  // Read-with-others-allowed: a writer can open the same file at the same time.
  TzqFileStream writer(path, fmOpenReadWrite | fmShareDenyNone);
  writer.Seek(0, soEnd);
  writer.WriteString("Z");
  EXPECT_EQ(test::Bytes(reader.ReadRemaining()), "abcdZ");
}

TEST(FileStream, MissingFileNamesTheFileInTheError) {
  try {
    TzqFileStream file("/nonexistent/zq/file", fmOpenRead);
    FAIL() << "opened a missing file";
  } catch (const EzqStreamIoError& error) {
    EXPECT_EQ(std::string(error.what()).rfind("Cannot open file \"/nonexistent/zq/file\". ", 0), 0u) << error.what();
  }
}

}  // namespace
}  // namespace zq
