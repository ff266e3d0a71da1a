#include "codec/zqInflate.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "codec/zqHuffman.h"
#include "codec/zqZLibStreams.h"
#include "tests/codec/zqZLibReference.h"

namespace zq {
namespace {

using test::TzqBytes;

// Writes a DEFLATE bit stream by hand: plain fields least-significant bit first, Huffman codes
// most-significant bit first.
class TzqBitWriter {
public:
  void Bits(uint32_t value, int count) {
    for (int i = 0; i < count; ++i) Bit((value >> i) & 1);
  }
  void Code(uint32_t code, int length) {
    for (int i = length - 1; i >= 0; --i) Bit((code >> i) & 1);
  }
  TzqBytes Bytes() const { return bytes_; }

private:
  void Bit(uint32_t bit) {
    if (bitCount_ % 8 == 0) bytes_.push_back(0);
    bytes_.back() |= uint8_t(bit << (bitCount_ % 8));
    ++bitCount_;
  }
  TzqBytes bytes_;
  int bitCount_ = 0;
};

struct TzqInflated {
  TzqBytes output;
  int64_t unread = 0;  // bytes the decoder left, plus bytes never fed after it finished
  bool finished = false;
};

// Feeds the pieces in order, draining the decoder through a buffer of outChunk bytes.
TzqInflated InflatePieces(bool raw, const TzqBytes& data, const std::vector<size_t>& pieces, int64_t outChunk = 16384) {
  TzqInflater inflater(raw);
  TzqInflated result;
  TzqBytes buffer(static_cast<size_t>(outChunk));
  size_t position = 0;
  for (const size_t piece : pieces) {
    if (inflater.Finished()) break;
    inflater.FeedInput(data.data(), int64_t(position), int64_t(piece));
    position += piece;
    for (;;) {
      const int64_t produced = inflater.InflateInto(buffer.data(), 0, outChunk);
      result.output.insert(result.output.end(), buffer.begin(), buffer.begin() + produced);
      if (produced < outChunk) break;
    }
  }
  result.finished = inflater.Finished();
  result.unread = inflater.UnreadByteCount() + int64_t(data.size() - position);
  return result;
}

TzqBytes GUnzipPieces(const TzqBytes& data, const std::vector<size_t>& pieces) {
  TzqMemoryStream destination;
  TzqGZipInflateStream gzip(destination);
  size_t position = 0;
  for (const size_t piece : pieces) {
    // Each write in a buffer of its own, so a read outside it is caught.
    const TzqBytes write(data.begin() + long(position), data.begin() + long(position + piece));
    EXPECT_EQ(gzip.Write(write.data(), int64_t(piece)), int64_t(piece));
    position += piece;
  }
  return destination.Bytes();
}

std::vector<size_t> Whole(const TzqBytes& data) { return {data.size()}; }
std::vector<size_t> ByteByByte(const TzqBytes& data) { return std::vector<size_t>(data.size(), 1); }

int CodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EzqZLibError& error) {
    return error.ErrorCode();
  }
  return 0;
}

std::string MessageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EzqZLibError& error) {
    return error.what();
  }
  return "";
}

// ---------------------------------------------------------------------------------------------
// Differential tests: zlib compresses, the inflater must give back the input exactly.

struct TzqStrategy {
  const char* name;
  int value;
};

class InflateAgainstZLib : public ::testing::TestWithParam<TzqStrategy> {};

size_t PickSize(int index, std::mt19937& random) {
  static const size_t kRanges[][2] = {{1, 64},  {65, 1000},    {1000, 8000},    {8000, 40000},
                                      {1, 300}, {2000, 20000}, {33000, 100000}, {500, 5000}};
  const auto& range = kRanges[index % std::size(kRanges)];
  return range[0] + random() % (range[1] - range[0] + 1);
}

void CheckDeliveries(const TzqBytes& input, const TzqBytes& zlibData, const TzqBytes& gzipData, std::mt19937& random) {
  static const TzqBytes kTrailing = {0xDE, 0xAD, 0xBE};
  const TzqBytes rawData(zlibData.begin() + 2, zlibData.end() - 4);
  TzqBytes rawPlus = rawData;
  rawPlus.insert(rawPlus.end(), kTrailing.begin(), kTrailing.end());
  TzqBytes zlibPlus = zlibData;
  zlibPlus.insert(zlibPlus.end(), kTrailing.begin(), kTrailing.end());

  std::vector<std::vector<size_t>> deliveries = {Whole(rawPlus),
                                                 test::RandomSplits(rawPlus.size(), 1 + random() % 700, random)};
  if (rawPlus.size() <= 3000) deliveries.push_back(ByteByByte(rawPlus));
  for (const auto& pieces : deliveries) {
    const TzqInflated raw = InflatePieces(true, rawPlus, pieces, random() % 2 ? 16384 : 1 + random() % 5000);
    ASSERT_TRUE(raw.finished);
    ASSERT_EQ(raw.output, input);
    ASSERT_EQ(raw.unread, int64_t(kTrailing.size()));
  }
  for (const auto& pieces : {Whole(zlibPlus), test::RandomSplits(zlibPlus.size(), 1 + random() % 700, random)}) {
    const TzqInflated zlib = InflatePieces(false, zlibPlus, pieces);
    ASSERT_TRUE(zlib.finished);
    ASSERT_EQ(zlib.output, input);
    ASSERT_EQ(zlib.unread, int64_t(kTrailing.size()));
  }
  std::vector<std::vector<size_t>> gzipDeliveries = {Whole(gzipData),
                                                     test::RandomSplits(gzipData.size(), 1 + random() % 9, random),
                                                     test::RandomSplits(gzipData.size(), 1 + random() % 3000, random)};
  if (gzipData.size() <= 3000) gzipDeliveries.push_back(ByteByByte(gzipData));
  for (const auto& pieces : gzipDeliveries) ASSERT_EQ(GUnzipPieces(gzipData, pieces), input);
  // The trailer is checked however the data arrives.
  TzqBytes badCrc = gzipData;
  badCrc[badCrc.size() - 8 + random() % 4] ^= uint8_t(1 << random() % 8);
  const auto pieces = test::RandomSplits(badCrc.size(), 1 + random() % 5, random);
  ASSERT_EQ(CodeOf([&] { GUnzipPieces(badCrc, pieces); }), zeInvalidCrc);
}

TEST_P(InflateAgainstZLib, EveryLevelKindAndDelivery) {
  std::mt19937 random(uint32_t(GetParam().value) * 7919u + 1);
  for (int level = 0; level <= 9; ++level) {
    for (int kind = 0; kind < test::dkKindCount; ++kind) {
      const int samples = kind == test::dkEmpty ? 1 : 10;
      for (int sample = 0; sample < samples; ++sample) {
        const TzqBytes input = test::Generate(test::TzqDataKind(kind), PickSize(sample + level, random), random);
        SCOPED_TRACE(testing::Message() << "level " << level << " kind " << kind << " size " << input.size());
        const TzqBytes zlibData = test::Compress(input, test::zfZLib, level, GetParam().value);
        const TzqBytes gzipData = test::Compress(input, test::zfGZip, level, GetParam().value);
        CheckDeliveries(input, zlibData, gzipData, random);
        if (HasFatalFailure()) return;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Strategies, InflateAgainstZLib,
                         ::testing::Values(TzqStrategy{"Default", Z_DEFAULT_STRATEGY},
                                           TzqStrategy{"Filtered", Z_FILTERED},
                                           TzqStrategy{"HuffmanOnly", Z_HUFFMAN_ONLY}, TzqStrategy{"Rle", Z_RLE},
                                           TzqStrategy{"Fixed", Z_FIXED}),
                         [](const auto& info) { return std::string(info.param.name); });

// Matches of every short distance (the word-wise copy handles distances under 8 apart), long
// enough to make the window slide many times, drained through odd buffer sizes.
TEST(Inflate, ShortDistanceMatchesAcrossTheWindowEnd) {
  std::mt19937 random(7);
  for (size_t distance = 1; distance <= 16; ++distance) {
    TzqBytes input;
    while (input.size() < 200000) {
      TzqBytes pattern(distance);
      for (uint8_t& b : pattern) b = uint8_t(random());
      const size_t repeat = 1 + random() % 400;
      for (size_t i = 0; i < repeat * distance; ++i) input.push_back(pattern[i % distance]);
      input.push_back(uint8_t(random()));  // a literal between runs shifts the ring position
    }
    const TzqBytes raw = test::Compress(input, test::zfRaw, 9);
    for (const int64_t outChunk : {int64_t{1}, int64_t{7}, int64_t{4093}, int64_t{65536}}) {
      const TzqInflated result = InflatePieces(true, raw, test::RandomSplits(raw.size(), 5000, random), outChunk);
      ASSERT_TRUE(result.finished) << "distance " << distance << ", buffer " << outChunk;
      ASSERT_TRUE(result.output == input) << "distance " << distance << ", buffer " << outChunk;
    }
  }
}

// Buffers around the room the fast loop needs to decode straight into them, and input pieces
// around the bytes it reads ahead: every way the work splits between it and the careful loop.
TEST(Inflate, BufferAndPieceSizesAroundTheFastLoopMargins) {
  std::mt19937 random(31);
  for (const test::TzqDataKind kind : {test::dkText, test::dkBinary}) {
    const TzqBytes input = test::Generate(kind, 40000, random);
    const TzqBytes raw = test::Compress(input, test::zfRaw, 6);
    for (int64_t outChunk = 262; outChunk <= 300; ++outChunk) {
      const TzqInflated result = InflatePieces(true, raw, Whole(raw), outChunk);
      ASSERT_TRUE(result.finished && result.output == input) << "kind " << kind << ", buffer " << outChunk;
    }
    for (const size_t piece : {size_t(7), size_t(15), size_t(16), size_t(17), size_t(31)}) {
      for (const int64_t outChunk : {int64_t{277}, int64_t{16384}}) {
        std::vector<size_t> pieces(raw.size() / piece, piece);
        if (raw.size() % piece != 0) pieces.push_back(raw.size() % piece);
        const TzqInflated result = InflatePieces(true, raw, pieces, outChunk);
        ASSERT_TRUE(result.finished && result.output == input)
            << "kind " << kind << ", piece " << piece << ", buffer " << outChunk;
      }
    }
  }
}

// Matches whose source starts in what earlier calls returned and runs on into this call's
// buffer: a random block repeated (so every match reaches back one block, up to the farthest
// zlib makes), drained through buffers that end inside the repeats.
TEST(Inflate, MatchesReachFromTheBufferIntoEarlierOutput) {
  std::mt19937 random(37);
  for (const size_t distance : {size_t(300), size_t(5000), size_t(32500)}) {
    const TzqBytes block = test::Generate(test::dkRandom, distance, random);
    TzqBytes input;
    while (input.size() < 4 * distance + 70000) input.insert(input.end(), block.begin(), block.end());
    const TzqBytes raw = test::Compress(input, test::zfRaw, 9);
    for (const int64_t outChunk : {int64_t(distance) - 100, int64_t(distance) + 1, int64_t{4093}, int64_t{32768},
                                   int64_t{40000}, int64_t{65536}}) {
      for (const auto& pieces : {Whole(raw), test::RandomSplits(raw.size(), 2000, random)}) {
        const TzqInflated result = InflatePieces(true, raw, pieces, outChunk);
        ASSERT_TRUE(result.finished && result.output == input) << "distance " << distance << ", buffer " << outChunk;
      }
    }
  }
}

// Raw DEFLATE whose first switchAt bytes are stored blocks and the rest compressed at level 9.
TzqBytes StoredThenCompressed(const TzqBytes& data, size_t switchAt) {
  z_stream stream{};
  deflateInit2(&stream, 0, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  TzqBytes out(deflateBound(&stream, uLong(data.size())) + 1024);
  stream.next_out = out.data();
  stream.avail_out = uInt(out.size());
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = uInt(switchAt);
  deflate(&stream, Z_NO_FLUSH);
  deflateParams(&stream, 9, Z_DEFAULT_STRATEGY);
  stream.avail_in = uInt(data.size() - switchAt);
  const int result = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  EXPECT_EQ(result, Z_STREAM_END);
  return out;
}

// Stored bytes copied straight into buffers with from a few bytes to all of their room left,
// which a compressed block then copies from.
TEST(Inflate, StoredBytesFillBufferEdgesAndFeedLaterMatches) {
  std::mt19937 random(41);
  const TzqBytes block = test::Generate(test::dkRandom, 20000, random);
  TzqBytes input;
  for (int i = 0; i < 3; ++i) input.insert(input.end(), block.begin(), block.end());
  const TzqBytes raw = StoredThenCompressed(input, block.size() + 1000);
  ASSERT_LT(raw.size(), block.size() + 4000);  // the later blocks did match the stored bytes
  for (const int64_t outChunk :
       {int64_t{1}, int64_t{5}, int64_t{277}, int64_t{4093}, int64_t{19999}, int64_t{21001}, int64_t{65536}}) {
    for (const auto& pieces : {Whole(raw), test::RandomSplits(raw.size(), 3000, random)}) {
      const TzqInflated result = InflatePieces(true, raw, pieces, outChunk);
      ASSERT_TRUE(result.finished && result.output == input) << "buffer " << outChunk;
    }
  }
}

TEST(Inflate, GZipOptionalHeaderFieldsAreSkippedButTheMagicAndMethodAreChecked) {
  std::mt19937 random(5);
  const TzqBytes input = test::Generate(test::dkText, 5000, random);
  std::string extra(300, 'x');
  char name[] = "file.txt";
  char comment[] = "a comment";
  gz_header header{};
  header.extra = reinterpret_cast<Bytef*>(extra.data());
  header.extra_len = uInt(extra.size());
  header.name = reinterpret_cast<Bytef*>(name);
  header.comment = reinterpret_cast<Bytef*>(comment);
  header.hcrc = 1;
  TzqBytes gzip = test::Compress(input, test::zfGZip, 6, Z_DEFAULT_STRATEGY, &header);
  const size_t headerEnd = 10 + 2 + extra.size() + sizeof name + sizeof comment + 2;
  ASSERT_EQ(gzip[3], 0x1E);
  gzip[headerEnd - 1] ^= 0xFF;  // wrong header CRC: not checked
  EXPECT_EQ(GUnzipPieces(gzip, ByteByByte(gzip)), input);
  EXPECT_EQ(GUnzipPieces(gzip, {headerEnd - 1, 1, gzip.size() - headerEnd}), input);
  EXPECT_EQ(GUnzipPieces(gzip, test::RandomSplits(gzip.size(), 40, random)), input);

  // A name of 200 000 bytes, one byte per write, is skipped in linear time.
  std::string longName(200000, 'n');
  header.name = reinterpret_cast<Bytef*>(longName.data());
  const TzqBytes longHeader = test::Compress(input, test::zfGZip, 6, Z_DEFAULT_STRATEGY, &header);
  EXPECT_EQ(GUnzipPieces(longHeader, ByteByByte(longHeader)), input);

  // Data that is not gzip is refused, never decoded into something plausible.
  for (const auto& [at, value] : std::vector<std::pair<size_t, uint8_t>>{{0, 'X'}, {1, 'Y'}, {2, 7}, {3, 0x20}}) {
    TzqBytes bad = gzip;
    bad[at] = value;
    EXPECT_EQ(CodeOf([&] { GUnzipPieces(bad, ByteByByte(bad)); }), zeInvalidGZipHeader) << at;
    EXPECT_EQ(MessageOf([&] { GUnzipPieces(bad, Whole(bad)); }), "Invalid gzip header") << at;
  }
}

TEST(Inflate, GZipTrailerErrors) {
  std::mt19937 random(6);
  const TzqBytes input = test::Generate(test::dkBinary, 70000, random);
  const TzqBytes gzip = test::Compress(input, test::zfGZip);
  TzqBytes badSize = gzip;
  badSize[badSize.size() - 1] ^= 0x01;
  EXPECT_EQ(CodeOf([&] { GUnzipPieces(badSize, Whole(badSize)); }), zeInvalidDataSize);
  EXPECT_EQ(MessageOf([&] { GUnzipPieces(badSize, Whole(badSize)); }), "Uncompressing error - invalid data size");
  TzqBytes badCrc = gzip;
  badCrc[badCrc.size() - 8] ^= 0x80;
  EXPECT_EQ(MessageOf([&] { GUnzipPieces(badCrc, ByteByByte(badCrc)); }), "Uncompressing error - invalid crc");
}

bool GZipFinished(const TzqBytes& data) {
  TzqMemoryStream destination;
  TzqGZipInflateStream gzip(destination);
  gzip.WriteBuffer(data.data(), int64_t(data.size()));
  return gzip.Finished();
}

TEST(Inflate, TruncatedGZipKeepsEverythingDecodedAndReportsItIsUnfinished) {
  std::mt19937 random(7);
  const TzqBytes input = test::Generate(test::dkRuns, 300000, random);
  const TzqBytes gzip = test::Compress(input, test::zfGZip, 9);
  // Without its trailer the body still decodes completely.
  const TzqBytes noTrailer(gzip.begin(), gzip.end() - 8);
  EXPECT_EQ(GUnzipPieces(noTrailer, Whole(noTrailer)), input);
  EXPECT_EQ(GUnzipPieces(noTrailer, test::RandomSplits(noTrailer.size(), 3, random)), input);
  // Cut in the middle: a prefix of the input, and nothing raised.
  const TzqBytes half(gzip.begin(), gzip.begin() + long(gzip.size() / 2));
  const TzqBytes output = GUnzipPieces(half, Whole(half));
  ASSERT_GT(output.size(), 0u);
  ASSERT_LE(output.size(), input.size());
  EXPECT_TRUE(std::equal(output.begin(), output.end(), input.begin()));
  // Only the whole stream counts as finished: a reader of it can tell a cut body.
  EXPECT_TRUE(GZipFinished(gzip));
  EXPECT_FALSE(GZipFinished(noTrailer));
  EXPECT_FALSE(GZipFinished(half));
  EXPECT_FALSE(GZipFinished(TzqBytes(gzip.begin(), gzip.end() - 1)));
  EXPECT_FALSE(GZipFinished({}));
  TzqMemoryStream destination;
  TzqGZipInflateStream unfinished(destination);
  unfinished.WriteBuffer(half.data(), int64_t(half.size()));
  EXPECT_EQ(CodeOf([&] { unfinished.CheckFinished(); }), zeTruncatedStream);
}

TEST(Inflate, EveryMemberIsDecodedHoweverTheWritesSplitThem) {
  std::mt19937 random(8);
  const TzqBytes first = test::Generate(test::dkText, 3000, random);
  const TzqBytes second = test::Generate(test::dkText, 3000, random);
  const TzqBytes member1 = test::Compress(first, test::zfGZip);
  const TzqBytes member2 = test::Compress(second, test::zfGZip);
  TzqBytes data = member1;
  data.insert(data.end(), member2.begin(), member2.end());
  TzqBytes both = first;
  both.insert(both.end(), second.begin(), second.end());
  // The first write ends a few bytes into the trailer, which the decoder may have read ahead;
  // the second member's header then ends a few bytes into a write.
  for (size_t trailerPart = 1; trailerPart < 8; ++trailerPart) {
    for (size_t headerPart = 1; headerPart < 10; ++headerPart) {
      const size_t cut = member1.size() - 8 + trailerPart;
      const std::vector<size_t> pieces = {cut, 8 - trailerPart, 10 - headerPart,
                                          data.size() - member1.size() - 10 + headerPart};
      EXPECT_EQ(GUnzipPieces(data, pieces), both) << trailerPart << " " << headerPart;
    }
  }
  EXPECT_EQ(GUnzipPieces(data, Whole(data)), both);
  EXPECT_EQ(GUnzipPieces(data, ByteByByte(data)), both);
  EXPECT_EQ(GUnzipPieces(data, test::RandomSplits(data.size(), 20, random)), both);
  EXPECT_TRUE(GZipFinished(data));
  EXPECT_FALSE(GZipFinished(TzqBytes(data.begin(), data.end() - 3)));
  // Bytes after a member that start no new one are ignored, as gzip -d does.
  TzqBytes padded = member1;
  padded.insert(padded.end(), {0, 0, 0, 0});
  EXPECT_EQ(GUnzipPieces(padded, ByteByByte(padded)), first);
  EXPECT_TRUE(GZipFinished(padded));
}

TEST(Inflate, DeflateContentCodingTakesZLibWrappedAndRawData) {
  std::mt19937 random(9);
  const TzqBytes input = test::Generate(test::dkText, 40000, random);
  for (const auto format : {test::zfZLib, test::zfRaw}) {
    const TzqBytes data = test::Compress(input, format);
    for (const auto& pieces : {Whole(data), ByteByByte(data), test::RandomSplits(data.size(), 9, random)}) {
      TzqMemoryStream destination;
      TzqDeflateInflateStream deflate(destination);
      size_t position = 0;
      for (const size_t piece : pieces) {
        deflate.WriteBuffer(data.data() + position, int64_t(piece));
        position += piece;
      }
      EXPECT_EQ(destination.Bytes(), input);
      EXPECT_TRUE(deflate.Finished());
    }
    TzqMemoryStream destination;
    TzqDeflateInflateStream cut(destination);
    cut.WriteBuffer(data.data(), int64_t(data.size() - 5));
    EXPECT_EQ(CodeOf([&] { cut.CheckFinished(); }), zeTruncatedStream);
  }
  TzqBytes badAdler = test::Compress(input, test::zfZLib);
  badAdler.back() ^= 1;
  TzqMemoryStream destination;
  TzqDeflateInflateStream deflate(destination);
  EXPECT_EQ(CodeOf([&] { deflate.WriteBuffer(badAdler.data(), int64_t(badAdler.size())); }), zeAdlerMismatch);
}

TEST(Inflate, GZipStreamCannotMoveOrBeRead) {
  TzqMemoryStream destination;
  TzqGZipInflateStream gzip(destination);
  const TzqBytes head = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3, 0x4B};
  gzip.WriteBytes(head);
  EXPECT_EQ(gzip.Size(), 11);
  EXPECT_EQ(gzip.Position(), 11);
  EXPECT_EQ(gzip.Seek(11, soBeginning), 11);
  EXPECT_EQ(gzip.Seek(0, soEnd), 11);
  EXPECT_EQ(CodeOf([&] { gzip.Seek(1, soCurrent); }), zeInvalidStreamOperation);
  EXPECT_EQ(CodeOf([&] { gzip.Seek(0, soBeginning); }), zeInvalidStreamOperation);
  char buffer[4];
  EXPECT_EQ(gzip.Read(buffer, 4), 0);
  EXPECT_EQ(&gzip.Destination(), &destination);
}

// ---------------------------------------------------------------------------------------------
// Broken streams

TEST(Inflate, StoredBlockWithWrongNLen) {
  const TzqBytes input(100, 'q');
  TzqBytes zlib = test::Compress(input, test::zfZLib, 0);
  zlib[2 + 1 + 2] ^= 0x10;  // header, block bits, LEN; then NLEN
  EXPECT_EQ(CodeOf([&] { InflatePieces(false, zlib, Whole(zlib)); }), zeBrokenStoredBlock);
  TzqBytes gzip = test::Compress(input, test::zfGZip, 0);
  gzip[10 + 1 + 2 + 1] ^= 0x01;
  EXPECT_EQ(MessageOf([&] { GUnzipPieces(gzip, ByteByByte(gzip)); }), "Broken uncompressed block");
}

TEST(Inflate, BlockTypeThree) {
  const TzqBytes raw = {0x07, 0x00};
  EXPECT_EQ(CodeOf([&] { InflatePieces(true, raw, Whole(raw)); }), zeUnknownBlockType);
  EXPECT_EQ(MessageOf([&] { InflatePieces(true, raw, Whole(raw)); }), "Unknown block type ");
  // The same in the second block of a real stream.
  const TzqBytes input(1000, 'z');
  TzqBytes gzip = test::Compress(input, test::zfGZip, 0);
  gzip[10] |= 0x06;
  EXPECT_EQ(CodeOf([&] { GUnzipPieces(gzip, Whole(gzip)); }), zeUnknownBlockType);
}

TEST(Inflate, ZLibHeaderAndTrailerErrors) {
  const TzqBytes input = {'a', 'b', 'c', 'a', 'b', 'c', 'a', 'b', 'c'};
  const TzqBytes good = test::Compress(input, test::zfZLib);
  TzqBytes badCheck = good;
  badCheck[1] ^= 0x01;
  EXPECT_EQ(CodeOf([&] { InflatePieces(false, badCheck, Whole(badCheck)); }), zeHeaderChecksumIllegal);
  const TzqBytes badMethod = {0x79, uint8_t(31 - 0x7900 % 31), 0x03, 0x00};  // method 9
  ASSERT_EQ((badMethod[0] << 8 | badMethod[1]) % 31, 0);
  EXPECT_EQ(CodeOf([&] { InflatePieces(false, badMethod, Whole(badMethod)); }), zeCompressionMethodUnknown);
  TzqBytes badAdler = good;
  badAdler.back() ^= 0x04;
  EXPECT_EQ(MessageOf([&] { InflatePieces(false, badAdler, ByteByByte(badAdler)); }), "Adler chksum doesn't match");
}

TEST(Inflate, PresetDictionaryIsReportedNotDecoded) {
  const TzqBytes dictionary = {'h', 'e', 'l', 'l', 'o'};
  const TzqBytes input = {'h', 'e', 'l', 'l', 'o', '!'};
  const TzqBytes data = test::Compress(input, test::zfZLib, 6, Z_DEFAULT_STRATEGY, nullptr, &dictionary);
  TzqInflater inflater(false);
  inflater.FeedInput(data.data(), 0, 5);
  uint8_t buffer[64];
  EXPECT_EQ(inflater.InflateInto(buffer, 0, 64), 0);
  EXPECT_FALSE(inflater.NeedsDictionary());  // only 3 of the 4 id bytes so far
  inflater.FeedInput(data.data(), 5, int64_t(data.size()) - 5);
  EXPECT_EQ(inflater.InflateInto(buffer, 0, 64), 0);
  EXPECT_TRUE(inflater.NeedsDictionary());
  EXPECT_FALSE(inflater.Finished());
}

TEST(Inflate, FeedingRules) {
  const TzqBytes input(3000, 'k');
  const TzqBytes zlib = test::Compress(input, test::zfZLib);
  TzqInflater inflater(false);
  EXPECT_EQ(CodeOf([&] { inflater.FeedInput(zlib.data(), -1, 2); }), zeArgumentOutOfRange);
  inflater.FeedInput(zlib.data(), 0, int64_t(zlib.size()));
  EXPECT_EQ(CodeOf([&] { inflater.FeedInput(zlib.data(), 0, 1); }), zeOldInputNotProcessed);
  uint8_t buffer[100];
  EXPECT_EQ(CodeOf([&] { inflater.InflateInto(buffer, 0, -1); }), zeArgumentOutOfRange);
  EXPECT_EQ(inflater.InflateInto(buffer, 0, 100), 100);
  EXPECT_EQ(inflater.TotalIn(), zlib.size());
  EXPECT_EQ(inflater.TotalOut(), 100u);
}

// ---------------------------------------------------------------------------------------------
// Hand-made dynamic headers. Code-length code: four codes of 2 bits for the symbols listed.

TzqBitWriter DynamicHeader(const int (&codeLengthSymbols)[4]) {
  static const int kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  TzqBitWriter writer;
  writer.Bits(1, 1);   // last block
  writer.Bits(2, 2);   // dynamic
  writer.Bits(0, 5);   // 257 literal/length codes
  writer.Bits(0, 5);   // 1 distance code
  writer.Bits(15, 4);  // all 19 code-length lengths
  for (const int symbol : kOrder) {
    writer.Bits(std::count(std::begin(codeLengthSymbols), std::end(codeLengthSymbols), symbol) ? 2 : 0, 3);
  }
  return writer;
}

TEST(Inflate, DynamicHeaderCodeSpaceIsChecked) {
  // Code-length symbols 0, 1, 8, 18 get the codes 00, 01, 10, 11. eights literal/length codes
  // of 8 bits, then zeros up to symbol 255, then the length of symbol 256, then one distance
  // code of 1 bit.
  auto block = [](int eights, int endOfBlockLength) {
    TzqBitWriter writer = DynamicHeader({0, 1, 8, 18});
    for (int i = 0; i < eights; ++i) writer.Code(2, 2);
    for (int zeros = 256 - eights; zeros > 0;) {
      if (zeros < 11) {
        writer.Code(0, 2);
        --zeros;
        continue;
      }
      const int run = std::min(zeros, 138);
      writer.Code(3, 2);
      writer.Bits(uint32_t(run - 11), 7);
      zeros -= run;
    }
    if (eights <= 256) writer.Code(endOfBlockLength == 8 ? 2 : 0, 2);
    writer.Code(1, 2);
    return writer.Bytes();
  };
  const TzqBytes complete = block(255, 8);
  EXPECT_EQ(CodeOf([&] { InflatePieces(true, complete, Whole(complete)); }), 0);
  const TzqBytes incomplete = block(128, 8);
  EXPECT_EQ(CodeOf([&] { InflatePieces(true, incomplete, Whole(incomplete)); }), zeCodeLengthsIncomplete);
  const TzqBytes over = block(257, 8);
  EXPECT_EQ(CodeOf([&] { InflatePieces(true, over, Whole(over)); }), zeCodeLengthsOverSubscribed);
  const TzqBytes noEnd = block(256, 0);
  EXPECT_EQ(CodeOf([&] { InflatePieces(true, noEnd, Whole(noEnd)); }), zeMissingEndOfBlock);

  TzqBitWriter pastEnd = DynamicHeader({0, 1, 8, 18});
  for (int i = 0; i < 250; ++i) pastEnd.Code(2, 2);
  pastEnd.Code(3, 2);
  pastEnd.Bits(0, 7);  // 11 zeros, 3 more than there are lengths left
  const TzqBytes pastEndData = pastEnd.Bytes();
  EXPECT_EQ(CodeOf([&] { InflatePieces(true, pastEndData, Whole(pastEndData)); }), zeUnknownError);

  TzqBitWriter firstRepeat = DynamicHeader({1, 8, 16, 18});
  firstRepeat.Code(2, 2);
  firstRepeat.Bits(0, 2);
  const TzqBytes repeat = firstRepeat.Bytes();
  EXPECT_EQ(CodeOf([&] { InflatePieces(true, repeat, Whole(repeat)); }), zeUnknownError);

  // Every code-length code of one bit: over-subscribed.
  TzqBitWriter overCodes;
  overCodes.Bits(5, 3);
  overCodes.Bits(0, 10);
  overCodes.Bits(15, 4);
  for (int i = 0; i < 19; ++i) overCodes.Bits(1, 3);
  const TzqBytes overCodeLengths = overCodes.Bytes();
  EXPECT_EQ(MessageOf([&] { InflatePieces(true, overCodeLengths, Whole(overCodeLengths)); }),
            sZLibCodeLengthsOverSubscribed);
}

TEST(Inflate, RepeatAfterZeroRunRepeatsZero) {
  // Code-length symbols 1, 16, 17, 18 get the codes 00, 01, 10, 11. Lengths: symbol 0 is 1,
  // three zeros (17), the previous length three times (16: zeros again, so the code stays
  // complete), 249 zeros (18, 18), end-of-block 1, and one distance code of 1 bit.
  TzqBitWriter good = DynamicHeader({1, 16, 17, 18});
  good.Code(0, 2);
  good.Code(2, 2);
  good.Bits(0, 3);
  good.Code(1, 2);
  good.Bits(0, 2);
  good.Code(3, 2);
  good.Bits(138 - 11, 7);
  good.Code(3, 2);
  good.Bits(111 - 11, 7);
  good.Code(0, 2);
  good.Code(0, 2);
  good.Code(0, 1);  // literal 0
  good.Code(0, 1);
  good.Code(1, 1);  // end of block
  const TzqBytes data = good.Bytes();
  const TzqInflated result = InflatePieces(true, data, ByteByByte(data));
  EXPECT_TRUE(result.finished);
  EXPECT_EQ(result.output, TzqBytes(2, 0));
}

// A literal/length code of end-of-block alone (code 0, one bit) leaves the pattern 1 unused:
// reading it is an error in the fast loop (whole input) and in the careful one (byte by byte).
TEST(Inflate, UnusedLiteralCodeIsAnError) {
  // Code-length symbols 0, 1, 17, 18 get the codes 00, 01, 10, 11: 256 zeros (18, 18), then 1
  // for end-of-block, then 0 for the one distance code; then the code read, and padding.
  auto block = [](uint32_t code) {
    TzqBitWriter writer = DynamicHeader({0, 1, 17, 18});
    writer.Code(3, 2);
    writer.Bits(138 - 11, 7);
    writer.Code(3, 2);
    writer.Bits(118 - 11, 7);
    writer.Code(1, 2);
    writer.Code(0, 2);
    writer.Code(code, 1);
    TzqBytes data = writer.Bytes();
    data.resize(data.size() + 32, 0xFF);
    return data;
  };
  const TzqBytes bad = block(1);
  const TzqBytes good = block(0);
  for (const auto& pieces : {&Whole, &ByteByByte}) {
    EXPECT_EQ(MessageOf([&] { InflatePieces(true, bad, pieces(bad)); }), sZLibInvalidCode);
    const TzqInflated result = InflatePieces(true, good, pieces(good));
    EXPECT_TRUE(result.finished);
    EXPECT_TRUE(result.output.empty());
  }
}

TEST(Inflate, UnusedDistanceCodeIsAnError) {
  // Fixed codes: literal 'a', then length symbol 257 with distance symbol 30.
  TzqBitWriter writer;
  writer.Bits(1, 1);
  writer.Bits(1, 2);
  writer.Code(0x30 + 'a', 8);
  writer.Code(1, 7);  // symbol 257
  writer.Code(30, 5);
  writer.Bits(0, 16);
  const TzqBytes data = writer.Bytes();
  EXPECT_EQ(CodeOf([&] { InflatePieces(true, data, Whole(data)); }), zeIllegalRepDistCode);
  TzqBitWriter length;
  length.Bits(1, 1);
  length.Bits(1, 2);
  length.Code(0xC6, 8);  // symbol 286
  length.Bits(0, 16);
  const TzqBytes lengthData = length.Bytes();
  EXPECT_EQ(CodeOf([&] { InflatePieces(true, lengthData, ByteByByte(lengthData)); }), zeIllegalRepLengthCode);
}

// Fixed codes: `literals` times 'a', then a match of length 3 (symbol 257) at `distance`
// from 65 to 128 (symbols 12 and 13, 5 extra bits), then padding so that the fast loop may run.
TzqBytes MatchAfterLiterals(int literals, int distance) {
  TzqBitWriter writer;
  writer.Bits(1, 1);
  writer.Bits(1, 2);
  for (int i = 0; i < literals; ++i) writer.Code(0x30 + 'a', 8);
  writer.Code(1, 7);  // symbol 257
  const int symbol = distance <= 96 ? 12 : 13;
  writer.Code(uint32_t(symbol), 5);
  writer.Bits(uint32_t(distance - (symbol == 12 ? 65 : 97)), 5);
  writer.Code(0, 7);  // end of block
  TzqBytes data = writer.Bytes();
  data.resize(data.size() + 32, 0);
  return data;
}

// Matches shorter than their repeating pattern, at the very start of the output buffer: the
// copy must not read before it (caught by the address sanitizer).
TEST(Inflate, ShortPatternMatchesAtTheStartOfTheBuffer) {
  for (int distance = 1; distance <= 7; ++distance) {
    TzqBitWriter writer;
    writer.Bits(1, 1);
    writer.Bits(1, 2);
    TzqBytes expected;
    for (int i = 0; i < distance; ++i) {
      writer.Code(uint32_t(0x30 + 'a' + i), 8);
      expected.push_back(uint8_t('a' + i));
    }
    writer.Code(1, 7);  // symbol 257: length 3
    // Distance symbols 0 to 3 are 1 to 4; 4 and 5 are 5 and 7, with one extra bit.
    const int symbol = distance <= 4 ? distance - 1 : distance <= 6 ? 4 : 5;
    writer.Code(uint32_t(symbol), 5);
    if (distance > 4) writer.Bits(uint32_t(distance - (symbol == 4 ? 5 : 7)), 1);
    writer.Code(0, 7);  // end of block
    for (int i = 0; i < 3; ++i) expected.push_back(expected[expected.size() - size_t(distance)]);
    TzqBytes data = writer.Bytes();
    data.resize(data.size() + 32, 0);
    const TzqInflated result = InflatePieces(true, data, Whole(data), 300);
    EXPECT_TRUE(result.finished) << distance;
    EXPECT_EQ(result.output, expected) << distance;
  }
}

// zlib's "invalid distance too far back": a corrupt stream must not decode to zeros.
TEST(Inflate, DistanceBeforeTheFirstByteIsAnError) {
  for (const auto& pieces : {&Whole, &ByteByByte}) {
    const TzqBytes reaching = MatchAfterLiterals(65, 65);
    const TzqInflated good = InflatePieces(true, reaching, pieces(reaching));
    EXPECT_TRUE(good.finished);
    EXPECT_EQ(good.output, TzqBytes(68, 'a'));
    const TzqBytes beyond = MatchAfterLiterals(64, 65);
    EXPECT_EQ(CodeOf([&] { InflatePieces(true, beyond, pieces(beyond)); }), zeIllegalRepDistCode);
    const TzqBytes farBeyond = MatchAfterLiterals(3, 128);
    EXPECT_EQ(MessageOf([&] { InflatePieces(true, farBeyond, pieces(farBeyond)); }), "Illegal rep dist code");
  }
  // Stored bytes count as output a later block may refer to.
  TzqBitWriter writer;
  writer.Bits(0, 1);
  writer.Bits(0, 2);
  writer.Bits(0, 5);
  writer.Bits(65, 16);
  writer.Bits(uint32_t(~65u & 0xFFFF), 16);
  for (int i = 0; i < 65; ++i) writer.Bits('b', 8);
  TzqBytes stored = writer.Bytes();
  const TzqBytes match = MatchAfterLiterals(0, 65);
  stored.insert(stored.end(), match.begin(), match.end());
  EXPECT_EQ(InflatePieces(true, stored, Whole(stored)).output, TzqBytes(68, 'b'));
}

TEST(Inflate, TooManyLengthOrDistanceCodesAreRefused) {
  auto header = [](uint32_t hlit, uint32_t hdist) {
    TzqBitWriter writer;
    writer.Bits(1, 1);
    writer.Bits(2, 2);
    writer.Bits(hlit, 5);
    writer.Bits(hdist, 5);
    writer.Bits(15, 4);
    for (int i = 0; i < 19 + 40; ++i) writer.Bits(0, 8);
    return writer.Bytes();
  };
  const TzqBytes distances31 = header(0, 30);
  EXPECT_EQ(CodeOf([&] { InflatePieces(true, distances31, Whole(distances31)); }), zeIllegalRepDistCode);
  const TzqBytes literals287 = header(30, 0);
  EXPECT_EQ(CodeOf([&] { InflatePieces(true, literals287, Whole(literals287)); }), zeIllegalRepLengthCode);
  // 30 distance and 286 literal/length codes are allowed: what follows fails for its own reason.
  const TzqBytes most = header(29, 29);
  const int code = CodeOf([&] { InflatePieces(true, most, Whole(most)); });
  EXPECT_NE(code, zeIllegalRepDistCode);
  EXPECT_NE(code, zeIllegalRepLengthCode);
}

// ---------------------------------------------------------------------------------------------
// Decode tables

TEST(HuffmanTree, CodesOfEveryLengthDecodeAcrossPieces) {
  // Lengths 1, 2, ..., 15, 15: a complete code with codes under one 9-bit prefix in a second
  // level table.
  uint8_t lengths[16];
  for (int i = 0; i < 15; ++i) lengths[i] = uint8_t(i + 1);
  lengths[15] = 15;
  const TzqInflaterHuffmanTree tree(lengths, 16);
  ASSERT_EQ(tree.CodeSpace(), TzqInflaterHuffmanTree::csComplete);
  TzqBitWriter writer;
  std::vector<int> symbols;
  for (int round = 0; round < 3; ++round) {
    for (int symbol = 15; symbol >= 0; --symbol) {
      const int length = lengths[symbol];
      const uint32_t code = symbol == 15 ? (1u << 15) - 1 : ((1u << length) - 1) - 1;
      writer.Code(code, length);
      symbols.push_back(symbol);
    }
  }
  const TzqBytes data = writer.Bytes();
  TzqInflateBuffer input;
  std::vector<int> decoded;
  for (size_t i = 0; i < data.size(); ++i) {
    input.FeedInput(data.data(), int64_t(i), 1);
    for (int symbol; (symbol = input.DecodeSymbol(tree)) >= 0;) decoded.push_back(symbol);
  }
  // The zero bits that pad the last byte read as symbol 0 (code 0).
  ASSERT_GE(decoded.size(), symbols.size());
  decoded.resize(symbols.size());
  EXPECT_EQ(decoded, symbols);
}

TEST(HuffmanTree, CodeSpaceShapes) {
  const uint8_t over[3] = {1, 1, 1};
  EXPECT_EQ(TzqInflaterHuffmanTree(over, 3).CodeSpace(), TzqInflaterHuffmanTree::csOverSubscribed);
  const uint8_t incomplete[3] = {1, 2, 0};
  EXPECT_EQ(TzqInflaterHuffmanTree(incomplete, 3).CodeSpace(), TzqInflaterHuffmanTree::csIncomplete);
  const uint8_t single[3] = {0, 1, 0};
  EXPECT_EQ(TzqInflaterHuffmanTree(single, 3).CodeSpace(), TzqInflaterHuffmanTree::csComplete);
  const uint8_t empty[2] = {0, 0};
  EXPECT_EQ(TzqInflaterHuffmanTree(empty, 2).CodeSpace(), TzqInflaterHuffmanTree::csComplete);
  EXPECT_EQ(TzqHuffman::ReverseBits16(0x0001), 0x8000);
  EXPECT_EQ(TzqHuffman::ReverseBits16(0x1234), 0x2C48);
}

}  // namespace
}  // namespace zq
