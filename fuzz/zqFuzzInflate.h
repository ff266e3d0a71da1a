#pragma once
// Shared driver of the inflater fuzz targets. The first two input bytes choose how the rest is
// cut into pieces and how big the output buffer is; the rest is the compressed data. The same
// data decoded whole and in pieces must give the same bytes and the same outcome.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/zqInflate.h"
#include "codec/zqZLibStreams.h"

namespace zq::fuzz {

struct TzqOutcome {
  std::vector<uint8_t> output;
  int errorCode = 0;
  bool finished = false;
};

// Piece sizes from a small generator seeded by the control bytes.
class TzqSplitter {
public:
  explicit TzqSplitter(uint16_t seed) : state_(seed * 2654435761u + 1), maxPiece_(1 + seed % 97) {}
  size_t Next(size_t left) {
    state_ = state_ * 1103515245u + 12345u;
    const size_t piece = 1 + (state_ >> 16) % maxPiece_;
    return piece < left ? piece : left;
  }

private:
  uint32_t state_;
  size_t maxPiece_;
};

inline TzqOutcome RunInflater(bool raw, const uint8_t* data, size_t size, uint16_t seed, bool whole) {
  TzqOutcome outcome;
  TzqSplitter splitter(seed);
  const int64_t chunk = whole ? 16384 : 1 + seed % 3000;
  std::vector<uint8_t> buffer(static_cast<size_t>(chunk));
  TzqInflater inflater(raw);
  try {
    std::vector<std::vector<uint8_t>> kept;  // each piece in a buffer of its own, kept alive
    for (size_t position = 0; position < size && !inflater.Finished();) {
      const size_t piece = whole ? size : splitter.Next(size - position);
      kept.emplace_back(data + position, data + position + piece);
      inflater.FeedInput(kept.back().data(), 0, int64_t(piece));
      position += piece;
      for (;;) {
        const int64_t produced = inflater.InflateInto(buffer.data(), 0, chunk);
        outcome.output.insert(outcome.output.end(), buffer.begin(), buffer.begin() + produced);
        if (produced < chunk) break;
      }
      // Unless it finished or waits for a dictionary, the decoder has used all its input.
      if (!inflater.Finished() && !inflater.NeedsDictionary() && !inflater.InputExhausted()) __builtin_trap();
      if (inflater.NeedsDictionary()) break;
    }
  } catch (const EzqZLibError& error) {
    outcome.errorCode = error.ErrorCode();
  }
  outcome.finished = inflater.Finished();
  return outcome;
}

inline TzqOutcome RunGZip(const uint8_t* data, size_t size, uint16_t seed, bool whole) {
  TzqOutcome outcome;
  TzqSplitter splitter(seed);
  TzqMemoryStream destination;
  try {
    TzqGZipInflateStream gzip(destination);
    for (size_t position = 0; position < size;) {
      const size_t piece = whole ? size : splitter.Next(size - position);
      const std::vector<uint8_t> write(data + position, data + position + piece);
      if (gzip.Write(write.data(), int64_t(piece)) != int64_t(piece)) __builtin_trap();
      position += piece;
    }
  } catch (const EzqZLibError& error) {
    outcome.errorCode = error.ErrorCode();
  }
  outcome.output = destination.Bytes();
  return outcome;
}

// Both runs decode the same stream, so one output is always a prefix of the other.
inline void CheckPrefix(const TzqOutcome& a, const TzqOutcome& b) {
  const size_t common = a.output.size() < b.output.size() ? a.output.size() : b.output.size();
  for (size_t i = 0; i < common; ++i) {
    if (a.output[i] != b.output[i]) __builtin_trap();
  }
}

// The decoder's outcome does not depend on how its input was cut: same error, and for clean
// runs the same bytes.
inline void CheckSame(const TzqOutcome& whole, const TzqOutcome& pieces) {
  CheckPrefix(whole, pieces);
  if (whole.errorCode != pieces.errorCode) __builtin_trap();
  if (whole.errorCode == 0 && (whole.output != pieces.output || whole.finished != pieces.finished)) {
    __builtin_trap();
  }
}

// One fuzz input for the raw or zlib decoder: whole against split delivery.
inline int FuzzInflater(bool raw, const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint16_t seed = uint16_t(data[0] | data[1] << 8);
  CheckSame(RunInflater(raw, data + 2, size - 2, seed, true), RunInflater(raw, data + 2, size - 2, seed, false));
  return 0;
}

}  // namespace zq::fuzz
