#include "http/zqStreams.h"

#include <gtest/gtest.h>

#include <random>

namespace zq {
namespace {

const std::string kTwoChunks = "4\r\nWiki\r\n5\r\npedia\r\n0\r\n\r\n";

// Writes encoded into a fresh decoder in pieces whose lengths come from cut; returns the
// payload and checks that completion is reported only with the last byte.
std::string Decode(const std::string& encoded, const std::function<size_t(size_t remaining)>& cut) {
  TzqMemoryStream payload;
  TzqChunkedStream decoder(payload);
  size_t at = 0;
  while (at < encoded.size()) {
    EXPECT_FALSE(decoder.IsCompleted()) << "completed before byte " << at;
    const size_t n = std::min(cut(encoded.size() - at), encoded.size() - at);
    EXPECT_EQ(decoder.Write(encoded.data() + at, static_cast<int64_t>(n)), static_cast<int64_t>(n));
    at += n;
  }
  EXPECT_TRUE(decoder.IsCompleted());
  EXPECT_EQ(decoder.Position(), static_cast<int64_t>(encoded.size()));
  return payload.DataString();
}

TEST(ChunkedStream, DecodesWholeByteByByteAtEverySplitAndInRandomPieces) {
  const std::string encoded =
      "4\r\nWiki\r\n5;name=value\r\npedia\r\n1A \r\nabcdefghijklmnopqrstuvwxyz\r\n"
      "0;last\r\nExpires: never\r\nX-Sum: 1\r\n\r\n";
  const std::string expected = "Wikipediaabcdefghijklmnopqrstuvwxyz";
  EXPECT_EQ(Decode(encoded, [](size_t n) { return n; }), expected);
  EXPECT_EQ(Decode(encoded, [](size_t) { return 1; }), expected);
  for (size_t split = 1; split < encoded.size(); ++split) {
    bool first = true;
    const std::string got = Decode(encoded, [&](size_t n) {
      const size_t piece = first ? split : n;
      first = false;
      return piece;
    });
    EXPECT_EQ(got, expected) << "split at " << split;
  }
  std::mt19937 random(20261208);
  for (int run = 0; run < 200; ++run)
    EXPECT_EQ(Decode(encoded, [&](size_t) { return std::uniform_int_distribution<size_t>(1, 12)(random); }), expected);
}

TEST(ChunkedStream, PassesOnExactlyThePayloadAndDropsWhatFollowsCompletion) {
  TzqMemoryStream payload;
  TzqChunkedStream decoder(payload);
  const std::string withNext = kTwoChunks + "HTTP/1.1 200 OK\r\n";
  decoder.WriteString(withNext);
  EXPECT_TRUE(decoder.IsCompleted());
  EXPECT_EQ(payload.DataString(), "Wikipedia");
  decoder.WriteString("more");
  EXPECT_EQ(payload.DataString(), "Wikipedia");
}

TEST(ChunkedStream, ASizeLineSplitAcrossWritesKeepsItsDigitsAndIgnoresItsExtension) {
  TzqMemoryStream payload;
  TzqChunkedStream decoder(payload);
  decoder.WriteString("1");
  decoder.WriteString("A\r\n");
  decoder.WriteString(std::string(26, 'x') + "\r\n5;");
  // Hex letters after the extension's start are not size digits.
  decoder.WriteString("abc=def\r\n12345\r\n0\r\n");
  EXPECT_FALSE(decoder.IsCompleted());
  decoder.WriteString("\r\n");
  EXPECT_TRUE(decoder.IsCompleted());
  EXPECT_EQ(payload.DataString(), std::string(26, 'x') + "12345");
}

TEST(ChunkedStream, TheTrailerSectionIsConsumedUpToItsEmptyLine) {
  TzqMemoryStream payload;
  TzqChunkedStream decoder(payload);
  decoder.WriteString("3\r\nabc\r\n0\r\nX-Checksum: 1\r\n");
  EXPECT_FALSE(decoder.IsCompleted());
  decoder.WriteString("\r");
  EXPECT_FALSE(decoder.IsCompleted());
  decoder.WriteString("\n");
  EXPECT_TRUE(decoder.IsCompleted());
  EXPECT_EQ(payload.DataString(), "abc");
}

TEST(ChunkedStream, MalformedSizeLinesRaise) {
  for (const std::string bad : {"\r\n", "zz\r\n", ";ext\r\n", " 5\r\n", "10000000000000000\r\n",
                                "FFFFFFFFFFFFFFFFF\r\n", "8000000000000000\r\n"}) {
    TzqMemoryStream payload;
    TzqChunkedStream decoder(payload);
    EXPECT_THROW(decoder.WriteString(bad), EzqStreamError) << bad;
    EXPECT_EQ(payload.Size(), 0);
  }
  TzqMemoryStream payload;
  TzqChunkedStream decoder(payload);
  EXPECT_NO_THROW(decoder.WriteString("00000000000000000000007FFFFFFFFFFFFFFF\r\nab"));
  EXPECT_EQ(payload.DataString(), "ab");
}

TEST(ChunkedStream, SizeLinesAreDigitsAndAnExtensionOnlyWithinTheirBounds) {
  auto decode = [](const std::string& data) {
    TzqMemoryStream payload;
    TzqChunkedStream decoder(payload);
    decoder.WriteString(data);
    return payload.DataString();
  };
  EXPECT_EQ(decode("3 \t;name=value\r\nabc\r\n0\r\n\r\n"), "abc");
  EXPECT_EQ(decode("3\nabc\n0\n\n"), "abc");
  for (const std::string& bad :
       std::vector<std::string>{"0x10\r\n", "3 4\r\n", "3z\r\n", "3\r5\n", "3\r\nabcX\r\n", "3\r\nabc\r\r\n",
                                "3" + std::string(5000, ' ') + "\r\n", "1;" + std::string(5000, 'e') + "\r\n",
                                "0\r\nX: " + std::string(2 << 20, 't')}) {
    EXPECT_THROW(decode(bad), EzqStreamError) << bad.substr(0, 20);
  }
  // Split anywhere, a bad size line is refused just the same.
  TzqMemoryStream payload;
  TzqChunkedStream decoder(payload);
  decoder.WriteString("0");
  EXPECT_THROW(decoder.WriteString("x10\r\n"), EzqStreamError);
}

TEST(BoundedStream, PassesWhatFitsThenCallsTheOverflow) {
  TzqMemoryStream target;
  int overflows = 0;
  TzqBoundedStream bounded(target, 5, [&] {
    ++overflows;
    throw EzqStreamError("over");
  });
  bounded.WriteString("abc");
  EXPECT_EQ(overflows, 0);
  EXPECT_THROW(bounded.WriteString("defg"), EzqStreamError);
  EXPECT_EQ(overflows, 1);
  EXPECT_EQ(target.DataString(), "abcde");
  EXPECT_EQ(bounded.Position(), 5);
}

TEST(ChunkedStream, ChunksBeyondFourGibibytesAreCountedIn64Bits) {
  TzqNonPersistentStream payload;
  TzqChunkedStream decoder(payload);
  const int64_t chunk = (int64_t{1} << 32) + 3;
  decoder.WriteString("100000003\r\n");
  const std::vector<char> block(1 << 20, 'x');
  int64_t left = chunk;
  while (left > 0) {
    const int64_t n = std::min<int64_t>(left, static_cast<int64_t>(block.size()));
    decoder.Write(block.data(), n);
    left -= n;
  }
  EXPECT_FALSE(decoder.IsCompleted());
  decoder.WriteString("\r\n0\r\n\r\n");
  EXPECT_TRUE(decoder.IsCompleted());
  EXPECT_EQ(payload.Size(), chunk);
}

TEST(ChunkedStream, SeekingIsOnlyAPositionQuery) {
  TzqMemoryStream payload;
  TzqChunkedStream decoder(payload);
  decoder.WriteString("4\r\nWi");
  EXPECT_EQ(decoder.Seek(0, soCurrent), 5);
  EXPECT_EQ(decoder.Seek(0, soEnd), 5);
  EXPECT_EQ(decoder.Seek(5, soBeginning), 5);
  try {
    decoder.Seek(0, soBeginning);
    FAIL() << "seek accepted";
  } catch (const EzqStreamError& e) {
    EXPECT_STREQ(e.what(), "Invalid Stream operation");
  }
  EXPECT_THROW(decoder.Seek(1, soCurrent), EzqStreamError);
  char buffer[4];
  EXPECT_EQ(decoder.Read(buffer, 4), 0);
}

std::unique_ptr<TzqStream> Part(const std::string& text) { return std::make_unique<TzqMemoryStream>(text); }

TEST(MultiStream, ReadsAcrossPartsIncludingEmptyOnesFromAnyPosition) {
  TzqMultiStream multi;
  multi.AddStream(Part("abc"));
  multi.AddStream(Part(""));
  multi.AddStream(Part("defghij"));
  EXPECT_EQ(multi.Size(), 10);
  char buffer[16] = {};
  EXPECT_EQ(multi.Read(buffer, 16), 10);
  EXPECT_EQ(std::string(buffer, 10), "abcdefghij");
  EXPECT_EQ(multi.Read(buffer, 16), 0);

  EXPECT_EQ(multi.Seek(2, soBeginning), 2);
  EXPECT_EQ(multi.Read(buffer, 3), 3);
  EXPECT_EQ(std::string(buffer, 3), "cde");
  EXPECT_EQ(multi.Seek(-1, soCurrent), 4);
  EXPECT_EQ(multi.Read(buffer, 1), 1);
  EXPECT_EQ(buffer[0], 'e');
  EXPECT_EQ(multi.Seek(100, soBeginning), 10);
  EXPECT_EQ(multi.Seek(-100, soEnd), 0);

  std::string pieces;
  for (int64_t n; (n = multi.Read(buffer, 3)) > 0;) pieces.append(buffer, static_cast<size_t>(n));
  EXPECT_EQ(pieces, "abcdefghij");
  EXPECT_EQ(multi.Write("x", 1), 0);
  multi.SetSize(1);
  EXPECT_EQ(multi.Size(), 10);
}

TEST(MultiStream, PositionsAndSizesBeyondTwoGibibytes) {
  TzqMultiStream multi;
  for (int i = 0; i < 2; ++i) {
    auto big = std::make_unique<TzqNonPersistentStream>();
    big->SetSize(int64_t{3} << 30);
    multi.AddStream(std::move(big));
  }
  multi.AddStream(Part("tail"));
  EXPECT_EQ(multi.Size(), (int64_t{6} << 30) + 4);
  EXPECT_EQ(multi.Seek(-6, soEnd), (int64_t{6} << 30) - 2);
  char buffer[8] = {};
  EXPECT_EQ(multi.Read(buffer, 8), 6);
  EXPECT_EQ(std::string(buffer + 2, 4), "tail");
}

TEST(NonPersistentStream, CountsWithoutKeepingData) {
  TzqNonPersistentStream stream;
  char buffer[100];
  std::fill(std::begin(buffer), std::end(buffer), 'q');
  EXPECT_EQ(stream.Write(buffer, 100), 100);
  EXPECT_EQ(stream.Size(), 100);
  EXPECT_EQ(stream.Position(), 100);
  EXPECT_EQ(stream.Read(buffer, 10), 0);
  stream.SetPosition(0);
  std::fill(std::begin(buffer), std::end(buffer), 'z');
  EXPECT_EQ(stream.Read(buffer, 1000), 100);
  EXPECT_EQ(buffer[0], 'z');
  EXPECT_EQ(stream.Write(buffer, 0), 0);
  EXPECT_EQ(stream.Seek(10, soEnd), 110);
  stream.SetSize(50);
  EXPECT_EQ(stream.Position(), 50);
  EXPECT_EQ(stream.Seek(-60, soCurrent), -10);
  EXPECT_EQ(stream.Write(buffer, 5), 0);
  EXPECT_EQ(stream.Read(buffer, 5), 0);
}

}  // namespace
}  // namespace zq
