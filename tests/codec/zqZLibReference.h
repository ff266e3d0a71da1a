#pragma once
// zlib as the reference compressor of the inflater tests, and generators of data to compress.

#include <zlib.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace zq::test {

using TzqBytes = std::vector<uint8_t>;

enum TzqZFormat { zfRaw, zfZLib, zfGZip };

inline int WindowBits(TzqZFormat format) { return format == zfRaw ? -15 : format == zfZLib ? 15 : 31; }

// Compresses data with zlib; header (gzip only) may name extra fields to write.
inline TzqBytes Compress(const TzqBytes& data, TzqZFormat format, int level = 6, int strategy = Z_DEFAULT_STRATEGY,
                         gz_header* header = nullptr, const TzqBytes* dictionary = nullptr) {
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, WindowBits(format), 8, strategy) != Z_OK) {
    throw std::runtime_error("deflateInit2");
  }
  if (header) deflateSetHeader(&stream, header);
  if (dictionary) deflateSetDictionary(&stream, dictionary->data(), uInt(dictionary->size()));
  TzqBytes out(deflateBound(&stream, uLong(data.size())) + 64);
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = uInt(data.size());
  stream.next_out = out.data();
  stream.avail_out = uInt(out.size());
  const int result = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  if (result != Z_STREAM_END) throw std::runtime_error("deflate");
  return out;
}

// Kinds of generated data: each stresses a different part of the decoder.
enum TzqDataKind { dkText, dkBinary, dkRuns, dkRandom, dkEmpty, dkKindCount };

inline TzqBytes Generate(TzqDataKind kind, size_t size, std::mt19937& random) {
  static const char* const kWords[] = {
      "the ", "inflate ", "window ", "of ",   "HTTP/1.1 ",  "gzip ", "Content-Length: ", "\r\n", "<div class=\"a\">",
      "zq ",  "a ",       "match ",  "1234 ", "{\"key\": ", "}, "};
  TzqBytes data;
  data.reserve(size);
  switch (kind) {
    case dkText:
      while (data.size() < size) {
        const std::string word = kWords[random() % std::size(kWords)];
        data.insert(data.end(), word.begin(), word.end());
        if (random() % 16 == 0) data.push_back(uint8_t('A' + random() % 26));
      }
      break;
    case dkBinary:
      // Records with a few varying fields, so matches of all distances appear.
      while (data.size() < size) {
        const uint32_t value = random();
        for (int i = 0; i < 16; ++i) data.push_back(i < 4 ? uint8_t(value >> (8 * i)) : uint8_t(i * 7 + (value & 3)));
      }
      break;
    case dkRuns:
      while (data.size() < size) data.insert(data.end(), 1 + random() % 2000, uint8_t(random() % 4));
      break;
    case dkRandom:
      while (data.size() < size) data.push_back(uint8_t(random()));
      break;
    default:
      break;
  }
  data.resize(kind == dkEmpty ? 0 : size);
  return data;
}

// Cuts data into random pieces of 1 to maxPiece bytes.
inline std::vector<size_t> RandomSplits(size_t size, size_t maxPiece, std::mt19937& random) {
  std::vector<size_t> pieces;
  while (size > 0) {
    const size_t piece = std::min(size, 1 + random() % maxPiece);
    pieces.push_back(piece);
    size -= piece;
  }
  return pieces;
}

}  // namespace zq::test
