#pragma once
// The DEFLATE decoder (raw, or inside the zlib wrapper): bit input, output window, resumable
// decoder. It resumes wherever its input ends, so data can arrive in pieces of any size.

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "codec/zqChecksum.h"
#include "codec/zqHuffman.h"
#include "core/zqApi.h"
#include "core/zqError.h"

namespace zq {

class ZQ_API EzqZLibError : public EzqError {
public:
  using EzqError::EzqError;
};

// Error codes of EzqZLibError.
enum : int {
  zeOldInputNotProcessed = -101,
  zeInvalidStreamOperation = -102,
  zeInvalidCrc = -103,
  zeInvalidDataSize = -104,
  zeNotByteAligned = -105,
  zeArgumentOutOfRange = -106,
  zeUnknownError = -110,
  zeStaticTreeLengthIllegal = -111,
  zeWindowFull = -112,
  zeInvalidOperation = -113,
  zeHeaderChecksumIllegal = -114,
  zeCompressionMethodUnknown = -115,
  zeIllegalRepLengthCode = -116,
  zeIllegalRepDistCode = -117,
  zeUnknownMode = -118,
  zeAdlerMismatch = -119,
  zeUnknownBlockType = -120,
  zeBrokenStoredBlock = -121,
  zeNeedDictionary = -122,
  zeCodeLengthsOverSubscribed = -123,
  zeCodeLengthsIncomplete = -124,
  zeInvalidCode = -125,
  zeMissingEndOfBlock = -126,
  zeInvalidGZipHeader = -127,
  zeTruncatedStream = -128,
};

const char* const sZLibOldInputNotProcessed = "Old input was not completely processed";
const char* const sZLibInvalidStreamOperation = "Invalid Stream operation";
const char* const sZLibInvalidCrc = "Uncompressing error - invalid crc";
const char* const sZLibInvalidDataSize = "Uncompressing error - invalid data size";
const char* const sZLibNotByteAligned = "Bit buffer is not byte aligned";
const char* const sZLibArgumentOutOfRange = "Argument out of range";
const char* const sZLibUnknownError = "Unknown error";
const char* const sZLibStaticTreeLengthIllegal = "Static tree length illegal";
const char* const sZLibWindowFull = "Window is full";
const char* const sZLibInvalidOperation = "Invalid operation";
const char* const sZLibHeaderChecksumIllegal = "Header checksum illegal";
const char* const sZLibCompressionMethodUnknown = "Compression Method unknown";
const char* const sZLibIllegalRepLengthCode = "Illegal rep length code";
const char* const sZLibIllegalRepDistCode = "Illegal rep dist code";
const char* const sZLibUnknownMode = "Inflater unknown mode";
const char* const sZLibAdlerMismatch = "Adler chksum doesn't match";
const char* const sZLibUnknownBlockType = "Unknown block type ";
const char* const sZLibBrokenStoredBlock = "Broken uncompressed block";
const char* const sZLibNeedDictionary = "Need a dictionary";
const char* const sZLibCodeLengthsOverSubscribed = "Huffman code lengths over-subscribe the code space";
const char* const sZLibCodeLengthsIncomplete = "Huffman code lengths leave the code space incomplete";
const char* const sZLibInvalidCode = "Invalid Huffman code in compressed data";
const char* const sZLibMissingEndOfBlock = "Literal/length code lengths without an end-of-block code";
const char* const sZLibInvalidGZipHeader = "Invalid gzip header";
const char* const sZLibTruncatedStream = "Compressed data ended before the end of the stream";

// Bit input over the caller's bytes (not copied; they must stay valid until consumed).
// Bits are taken least-significant first. Whole bytes pulled into the bit buffer still count
// as unread, so UnreadByteCount is exact whatever the decoder has looked ahead.
class ZQ_API TzqInflateBuffer {
public:
  void FeedInput(const uint8_t* bytes, int64_t offset, int64_t count);
  // The low n bits (n <= 16) without consuming them, or -1 when fewer are available.
  int ShowBits(int n);
  // The low n bits (n <= 16), consumed, or -1 (nothing consumed) when fewer are available.
  int TakeBits(int n) {
    const int value = ShowBits(n);
    if (value >= 0) SkipBits(n);
    return value;
  }
  void SkipBits(int n) {
    bits_ >>= n;
    bitCount_ -= n;
  }
  void AlignToByte() { SkipBits(bitCount_ & 7); }
  int64_t UnreadByteCount() const { return (end_ - next_) + bitCount_ / 8; }
  bool InputExhausted() const { return next_ >= end_; }
  void ClearBuffer();
  // Whole bytes: first those held in the bit buffer, then straight from the input.
  int64_t CopyRawBytes(uint8_t* destination, int64_t offset, int64_t count);
  // The value of the next symbol of tree, or -1 when more input is needed; nothing is consumed
  // then.
  int DecodeSymbol(const TzqInflaterHuffmanTree& tree);

private:
  friend class TzqInflater;
  void Refill();

  const uint8_t* input_ = nullptr;
  int64_t next_ = 0;
  int64_t end_ = 0;
  uint64_t bits_ = 0;  // bits above bitCount_ are always zero
  int bitCount_ = 0;
};

// The window: the last 32 KiB of output, which matches copy from, followed by the decoded
// bytes (at most 32 KiB) the caller has not taken yet. It is flat, so a match is one plain copy;
// when the room behind it runs short, its most recent 32 KiB slide to the front. The padding
// past its end takes the few bytes that word-sized match copies write beyond a match.
class ZQ_API TzqOutputWindow {
public:
  static constexpr int kSize = 32768;
  static constexpr int kCapacity = 3 * kSize;
  static constexpr int kCopyOvershoot = 16;

  void PutByte(uint8_t value) {
    if (filled_ >= kSize || end_ >= kCapacity) Fail();
    data_[size_t(end_++)] = value;
    ++filled_;
    ++produced_;
  }
  void CopyMatch(int length, int distance);
  int CopyStored(TzqInflateBuffer& input, int count);
  int TakeOutput(uint8_t* buffer, int64_t offset, int count);
  // Room for more decoded bytes; slides the history forward first when the end is near.
  int FreeSpace();
  int PendingBytes() const { return filled_; }
  // Keeps bytes decoded straight into the caller's buffer as history (nothing may be pending).
  void Remember(const uint8_t* bytes, int64_t count);

private:
  friend class TzqInflater;
  [[noreturn]] static void Fail();
  void Slide();
  // Books count bytes the fast loop wrote at the end as pending output.
  void Advance(int64_t count);

  std::array<uint8_t, kCapacity + kCopyOvershoot> data_{};
  int end_ = 0;
  int filled_ = 0;
  // Bytes written since the stream began.
  int64_t produced_ = 0;
};

// Resumable reader of a dynamic block's code lengths.
class ZQ_API TzqInflaterHeader {
public:
  // True when every length has been read; false when input ran short (call again with more).
  bool ReadCodeLengths(TzqInflateBuffer& input);

  const uint8_t* Lengths() const { return lengths_.data(); }
  int LiteralCount() const { return literalCount_; }
  int DistanceCount() const { return distanceCount_; }

private:
  bool ReadCodeLengthCodes(TzqInflateBuffer& input);
  bool ReadLengthSymbols(TzqInflateBuffer& input);
  bool ReadRepeat(TzqInflateBuffer& input);

  std::array<uint8_t, 19> codeLengthLengths_{};
  std::vector<uint8_t> lengths_;
  std::unique_ptr<TzqInflaterHuffmanTree> codeLengthTree_;
  int subState_ = 0;
  int literalCount_ = 0;
  int distanceCount_ = 0;
  int codeLengthCount_ = 0;
  int totalCount_ = 0;
  int index_ = 0;
  int lastLength_ = 0;
  int repeatKind_ = 0;
};

enum TzqInflaterState {
  isZLibHeader,
  isDictionaryId,
  isBlockHeader,
  isStoredLength,
  isStoredNotLength,
  isStoredData,
  isDynamicHeader,
  isLiteralLength,
  isLengthExtra,
  isDistance,
  isDistanceExtra,
  isAdlerTrailer,
  isFinished,
};

class ZQ_API TzqInflater {
public:
  // noHeader: raw DEFLATE; otherwise the zlib header and Adler-32 trailer are expected.
  explicit TzqInflater(bool noHeader);
  ~TzqInflater();
  TzqInflater(const TzqInflater&) = delete;
  TzqInflater& operator=(const TzqInflater&) = delete;

  // Adds a range of input; the previous range must have been consumed.
  void FeedInput(const uint8_t* bytes, int64_t offset, int64_t count);
  // Decodes into buffer[offset, offset + count); returns the bytes produced.
  int64_t InflateInto(uint8_t* buffer, int64_t offset, int64_t count);

  bool InputExhausted() const { return input_.InputExhausted(); }
  int64_t UnreadByteCount() const { return input_.UnreadByteCount(); }
  bool NeedsDictionary() const { return state_ == isDictionaryId && neededBits_ == 0; }
  bool Finished() const { return state_ == isFinished && window_.PendingBytes() == 0; }
  bool NoHeader() const { return noHeader_; }
  TzqInflaterState State() const { return state_; }
  uint32_t TotalIn() const { return totalIn_; }
  uint32_t TotalOut() const { return totalOut_; }

private:
  bool DecodeStep();
  bool ReadZLibHeader();
  bool ReadAccumulator();
  bool ReadBlockHeader();
  bool ReadStoredLength(bool complement);
  bool CopyStoredData();
  bool ReadDynamicHeader();
  bool DecodeCodes();
  // Where the fast loop writes: from out on, while out <= limit, with begin the first byte of
  // this destination; the bytes before begin are the historySize ones ending at historyEnd.
  struct TzqFastOutput {
    uint8_t* begin;
    uint8_t* out;
    uint8_t* limit;
    const uint8_t* historyEnd;
    int64_t historySize;
  };
  void RunFast(TzqFastOutput& output, bool direct);
  // The fast loop, built twice: for any CPU, and for those with BMI2 (shifts by a register
  // count and bit-field extraction in one instruction); the CPU picks at run time.
  void DecodeCodesFast(TzqFastOutput& output);
  void DecodeCodesFastPortable(TzqFastOutput& output);
  void DecodeCodesFastBmi2(TzqFastOutput& output);
  void FastLoop(TzqFastOutput& output);
  // Where the fast loop stands in its input; it keeps these in locals while it runs.
  struct TzqFastPosition {
    int64_t next;
    uint64_t bits;
    int bitCount;
    uint8_t* out;
  };
  void StorePosition(const TzqFastPosition& position);
  [[noreturn]] void FailAt(const TzqFastPosition& position, TzqFastOutput& output, const char* message, int code);
  int64_t DecodeDirect(uint8_t* buffer, int64_t room);
  int64_t Deliver(const uint8_t* bytes, int64_t count);
  void CheckAdler();

  TzqInflaterState state_;
  uint32_t accumulator_ = 0;
  int neededBits_ = 0;
  int copyLength_ = 0;
  int copyDistance_ = 0;
  int storedRemaining_ = 0;
  // Decoding into the window stops once this many bytes are pending.
  int wanted_ = TzqOutputWindow::kSize;
  bool lastBlock_ = false;
  uint32_t totalOut_ = 0;
  uint32_t totalIn_ = 0;
  bool noHeader_;
  TzqInflateBuffer input_;
  TzqOutputWindow window_;
  TzqAdler32 adler_;
  std::unique_ptr<TzqInflaterHeader> header_;
  const TzqInflaterHuffmanTree* literalTree_ = nullptr;
  const TzqInflaterHuffmanTree* distanceTree_ = nullptr;
  std::unique_ptr<TzqInflaterHuffmanTree> dynamicLiteralTree_;
  std::unique_ptr<TzqInflaterHuffmanTree> dynamicDistanceTree_;
};

}  // namespace zq
