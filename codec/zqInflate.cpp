#include "codec/zqInflate.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace zq {
namespace {

constexpr int kMaxMatch = 258;
constexpr int kLiteralRootBits = 11;
constexpr int kDistanceRootBits = TzqInflaterHuffmanTree::kDefaultRootBits;
constexpr int kEndOfBlock = 256;
constexpr int kMaxLengthSymbol = 285;
constexpr int kMaxDistanceSymbol = 29;
// HLIT and HDIST may name up to 288 and 32 codes, but only 286 and 30 exist (zlib refuses more).
constexpr int kMaxLiteralCount = 286;
constexpr int kMaxDistanceCount = 30;
// The fast loop reads 8 bytes at a time, at most 7 of them ahead of what it decodes.
constexpr int64_t kFastInputMargin = 16;
// Room the fast loop needs past its limit: two literals, a maximal match and its copy's
// overshoot.
constexpr int64_t kFastOutputMargin = 2 + kMaxMatch + TzqOutputWindow::kCopyOvershoot;

constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
constexpr int kRepeatMinimum[3] = {3, 3, 11};
constexpr int kRepeatExtraBits[3] = {2, 3, 7};
constexpr int kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr int kLengthExtraBits[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr int kDistanceBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                   33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                   1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr int kDistanceExtraBits[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

[[noreturn]] void Raise(const char* message, int code) { throw EzqZLibError(message, code); }

// Values the decode tables give for literal/length and distance symbols, so one look-up yields
// the base and extra-bit count. Literals and the end of block keep their symbol; a length is
// kLengthFlag | extra bits << 10 | base << 14; the two symbols no length uses give
// kBadLengthValue. A distance is base << 4 | extra bits; the two unused ones give
// kBadDistanceValue.
constexpr int32_t kLengthFlag = 0x200;
constexpr int32_t kBadLengthValue = 0x300;
constexpr int32_t kBadDistanceValue = 15;

constexpr std::array<int32_t, 288> kLiteralValues = [] {
  std::array<int32_t, 288> values{};
  for (int symbol = 0; symbol < 288; ++symbol) {
    if (symbol <= kEndOfBlock)
      values[size_t(symbol)] = symbol;
    else if (symbol <= kMaxLengthSymbol)
      values[size_t(symbol)] = kLengthFlag | kLengthExtraBits[symbol - 257] << 10 | kLengthBase[symbol - 257] << 14;
    else
      values[size_t(symbol)] = kBadLengthValue;
  }
  return values;
}();

constexpr std::array<int32_t, 32> kDistanceValues = [] {
  std::array<int32_t, 32> values{};
  for (int symbol = 0; symbol < 32; ++symbol) {
    values[size_t(symbol)] =
        symbol <= kMaxDistanceSymbol ? kDistanceBase[symbol] << 4 | kDistanceExtraBits[symbol] : kBadDistanceValue;
  }
  return values;
}();

inline bool IsLengthValue(int32_t value) { return (value & ~0x1FF) != 0 && (value & 0x100) == 0; }
inline int LengthExtraBits(int32_t value) { return (value >> 10) & 15; }
inline int LengthBase(int32_t value) { return value >> 14; }
inline int DistanceExtraBits(int32_t value) { return value & 15; }
inline int DistanceBase(int32_t value) { return value >> 4; }

struct TzqFixedTables {
  TzqInflaterHuffmanTree literal;
  TzqInflaterHuffmanTree distance;
};

TzqFixedTables BuildFixedTables() {
  uint8_t literal[288];
  std::fill(literal, literal + 144, 8);
  std::fill(literal + 144, literal + 256, 9);
  std::fill(literal + 256, literal + 280, 7);
  std::fill(literal + 280, literal + 288, 8);
  uint8_t distance[32];
  std::fill(distance, distance + 32, 5);
  TzqFixedTables tables{TzqInflaterHuffmanTree(literal, 288, kLiteralRootBits, kLiteralValues.data()),
                        TzqInflaterHuffmanTree(distance, 32, kDistanceRootBits, kDistanceValues.data())};
  if (tables.literal.CodeSpace() != TzqInflaterHuffmanTree::csComplete ||
      tables.distance.CodeSpace() != TzqInflaterHuffmanTree::csComplete) {
    Raise(sZLibStaticTreeLengthIllegal, zeStaticTreeLengthIllegal);
  }
  return tables;
}

// Built once, on first use, and shared read-only by every decoder.
const TzqFixedTables& FixedTables() {
  static const TzqFixedTables tables = [] {
    try {
      return BuildFixedTables();
    } catch (const EzqZLibError&) {
      throw;
    } catch (...) {
      Raise(sZLibStaticTreeLengthIllegal, zeStaticTreeLengthIllegal);
    }
  }();
  return tables;
}

void CheckCodeSpace(const TzqInflaterHuffmanTree& tree) {
  switch (tree.CodeSpace()) {
    case TzqInflaterHuffmanTree::csComplete:
      return;
    case TzqInflaterHuffmanTree::csOverSubscribed:
      Raise(sZLibCodeLengthsOverSubscribed, zeCodeLengthsOverSubscribed);
    case TzqInflaterHuffmanTree::csIncomplete:
      Raise(sZLibCodeLengthsIncomplete, zeCodeLengthsIncomplete);
  }
}

__attribute__((always_inline)) inline uint64_t LoadLittle64(const uint8_t* bytes) {
  uint64_t value;
  std::memcpy(&value, bytes, sizeof value);
  if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
  return value;
}

__attribute__((always_inline)) inline uint64_t LowBits(uint64_t bits, int count) {
  return bits & ((uint64_t(1) << count) - 1);
}

// The entry for the next code of tree in bits (enough bits must be present).
__attribute__((always_inline)) inline int32_t LookUp(const int32_t* entries, int rootBits, uint64_t bits) {
  const int32_t entry = entries[bits & ((1u << rootBits) - 1)];
  if (entry >= 0) return entry;
  const int subBits = TzqInflaterHuffmanTree::EntryLength(entry) - rootBits;
  return entries[TzqInflaterHuffmanTree::LinkIndex(entry) + int((bits >> rootBits) & ((1u << subBits) - 1))];
}

// The first multiple of each distance below 8 that reaches 8.
constexpr int kPatternPeriod[8] = {0, 8, 8, 9, 8, 10, 12, 14};

// Copies [from, from + (end - to)) to to in 8-byte words, the first two whatever the length
// (most matches are short): up to 15 bytes past end are written, and read past the source.
__attribute__((always_inline)) inline void CopyWords(uint8_t* to, const uint8_t* from, const uint8_t* end) {
  std::memcpy(to, from, 8);
  std::memcpy(to + 8, from + 8, 8);
  to += 16;
  from += 16;
  while (to < end) {
    std::memcpy(to, from, 8);
    to += 8;
    from += 8;
  }
}

// Copies a match whose source starts distance bytes before to, in the same buffer. Overlapping
// matches repeat the recent bytes, as the format requires. Words of 8 bytes move at a time, the
// first two whatever the length (most matches are short), so up to 15 bytes past the match's
// end are written (the destination keeps that much room); a word read then only covers bytes
// already written when the distance is at least 8. A distance of 1 repeats one byte; a shorter
// one repeats its pattern, so once the first multiple of it that reaches 8 is written, words
// copy from that far back.
__attribute__((always_inline)) inline void CopyMatchBytes(uint8_t* to, int length, int distance) {
  const uint8_t* from = to - distance;
  uint8_t* const end = to + length;
  if (distance == 1) {
    const uint64_t repeated = uint64_t(*from) * 0x0101010101010101u;
    do {
      std::memcpy(to, &repeated, 8);
      to += 8;
    } while (to < end);
    return;
  }
  if (distance < 8) {
    const int period = kPatternPeriod[distance];
    for (uint8_t* const patternEnd = to + std::min(period, length); to < patternEnd;) *to++ = *from++;
    // Done when the match is no longer than the pattern: reading a period back from its end
    // would reach before the match's source, which may be before the buffer.
    if (length <= period) return;
    from = to - period;
  }
  CopyWords(to, from, end);
}

// A match whose first back bytes lie in the history before the destination (held elsewhere,
// with room to read a few bytes past its end): those come from there, the rest from the
// destination itself. Words copied from the history may overshoot into the rest; it is written
// over before it is read.
inline void CopyFromHistory(uint8_t* to, int length, int64_t back, const uint8_t* historyEnd, int distance) {
  const uint8_t* const from = historyEnd - back;
  if (back >= length) {
    CopyWords(to, from, to + length);
    return;
  }
  CopyWords(to, from, to + back);
  CopyMatchBytes(to + back, length - int(back), distance);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TzqInflateBuffer

void TzqInflateBuffer::FeedInput(const uint8_t* bytes, int64_t offset, int64_t count) {
  if (next_ < end_) Raise(sZLibOldInputNotProcessed, zeOldInputNotProcessed);
  if (offset < 0 || count < 0) Raise(sZLibArgumentOutOfRange, zeArgumentOutOfRange);
  input_ = bytes;
  next_ = offset;
  end_ = offset + count;
}

void TzqInflateBuffer::Refill() {
  while (bitCount_ <= 48 && next_ < end_) {
    bits_ |= uint64_t(input_[next_++]) << bitCount_;
    bitCount_ += 8;
  }
}

int TzqInflateBuffer::ShowBits(int n) {
  if (bitCount_ < n) {
    Refill();
    if (bitCount_ < n) return -1;
  }
  return int(LowBits(bits_, n));
}

void TzqInflateBuffer::ClearBuffer() {
  input_ = nullptr;
  next_ = end_ = 0;
  bits_ = 0;
  bitCount_ = 0;
}

int64_t TzqInflateBuffer::CopyRawBytes(uint8_t* destination, int64_t offset, int64_t count) {
  if (count < 0 || offset < 0) Raise(sZLibArgumentOutOfRange, zeArgumentOutOfRange);
  if (bitCount_ % 8 != 0) Raise(sZLibNotByteAligned, zeNotByteAligned);
  int64_t copied = 0;
  for (; copied < count && bitCount_ >= 8; ++copied) {
    destination[offset + copied] = uint8_t(bits_);
    SkipBits(8);
  }
  const int64_t direct = std::min(count - copied, end_ - next_);
  if (direct > 0) {
    std::memcpy(destination + offset + copied, input_ + next_, size_t(direct));
    next_ += direct;
  }
  return copied + std::max<int64_t>(direct, 0);
}

int TzqInflateBuffer::DecodeSymbol(const TzqInflaterHuffmanTree& tree) {
  if (bitCount_ < TzqInflaterHuffmanTree::kMaxCodeLength) Refill();
  const int rootBits = tree.RootBits();
  const int32_t root = tree.Entries()[bits_ & ((1u << rootBits) - 1)];
  // A pattern no code uses is an error only once every bit that could matter is present.
  const int decisiveBits = root < 0 ? TzqInflaterHuffmanTree::EntryLength(root) : rootBits;
  const int32_t entry = LookUp(tree.Entries(), rootBits, bits_);
  const int length = TzqInflaterHuffmanTree::EntryLength(entry);
  if (length == 0) {
    if (bitCount_ >= decisiveBits) Raise(sZLibInvalidCode, zeInvalidCode);
    return -1;
  }
  if (length > bitCount_) return -1;
  SkipBits(length);
  return TzqInflaterHuffmanTree::EntrySymbol(entry);
}

// ---------------------------------------------------------------------------------------------
// TzqOutputWindow

void TzqOutputWindow::Fail() { Raise(sZLibWindowFull, zeWindowFull); }

int TzqOutputWindow::FreeSpace() {
  if (kCapacity - end_ < kSize) Slide();
  return std::min(kSize - filled_, kCapacity - end_);
}

// Keeps the last 32 KiB: all the history a match may reach, and every pending byte.
void TzqOutputWindow::Slide() {
  const int keep = std::min(end_, kSize);
  std::memmove(data_.data(), data_.data() + end_ - keep, size_t(keep));
  end_ = keep;
}

void TzqOutputWindow::Advance(int64_t count) {
  end_ += int(count);
  filled_ += int(count);
  produced_ += count;
}

void TzqOutputWindow::Remember(const uint8_t* bytes, int64_t count) {
  produced_ += count;
  if (count >= kSize) {
    std::memcpy(data_.data(), bytes + count - kSize, size_t(kSize));
    end_ = kSize;
    return;
  }
  if (end_ + count > kCapacity) Slide();
  std::memcpy(data_.data() + end_, bytes, size_t(count));
  end_ += int(count);
}

void TzqOutputWindow::CopyMatch(int length, int distance) {
  if (length > FreeSpace()) Fail();
  // The window holds every byte written, or at least the 32 KiB a distance can span.
  if (distance > end_) Raise(sZLibIllegalRepDistCode, zeIllegalRepDistCode);
  CopyMatchBytes(data_.data() + end_, length, distance);
  Advance(length);
}

int TzqOutputWindow::CopyStored(TzqInflateBuffer& input, int count) {
  if (count > FreeSpace()) Fail();
  const int copied = int(input.CopyRawBytes(data_.data(), end_, count));
  Advance(copied);
  return copied;
}

int TzqOutputWindow::TakeOutput(uint8_t* buffer, int64_t offset, int count) {
  const int taken = std::min(count, filled_);
  if (taken < 0) Raise(sZLibInvalidOperation, zeInvalidOperation);
  std::memcpy(buffer + offset, data_.data() + end_ - filled_, size_t(taken));
  filled_ -= taken;
  return taken;
}

// ---------------------------------------------------------------------------------------------
// TzqInflaterHeader

bool TzqInflaterHeader::ReadCodeLengths(TzqInflateBuffer& input) {
  for (;;) {
    switch (subState_) {
      case 0: {
        const int hlit = input.TakeBits(5);
        if (hlit < 0) return false;
        literalCount_ = hlit + 257;
        if (literalCount_ > kMaxLiteralCount) Raise(sZLibIllegalRepLengthCode, zeIllegalRepLengthCode);
        subState_ = 1;
        break;
      }
      case 1: {
        const int hdist = input.TakeBits(5);
        if (hdist < 0) return false;
        distanceCount_ = hdist + 1;
        if (distanceCount_ > kMaxDistanceCount) Raise(sZLibIllegalRepDistCode, zeIllegalRepDistCode);
        totalCount_ = literalCount_ + distanceCount_;
        lengths_.assign(size_t(totalCount_), 0);
        subState_ = 2;
        break;
      }
      case 2: {
        const int hclen = input.TakeBits(4);
        if (hclen < 0) return false;
        codeLengthCount_ = hclen + 4;
        codeLengthLengths_.fill(0);
        index_ = 0;
        subState_ = 3;
        break;
      }
      case 3:
        if (!ReadCodeLengthCodes(input)) return false;
        break;
      case 4:
        if (!ReadLengthSymbols(input)) return false;
        if (index_ == totalCount_) return true;
        break;
      case 5:
        if (!ReadRepeat(input)) return false;
        if (index_ == totalCount_) return true;
        break;
      default:
        Raise(sZLibUnknownMode, zeUnknownMode);
    }
  }
}

bool TzqInflaterHeader::ReadCodeLengthCodes(TzqInflateBuffer& input) {
  for (; index_ < codeLengthCount_; ++index_) {
    const int length = input.TakeBits(3);
    if (length < 0) return false;
    codeLengthLengths_[kCodeLengthOrder[index_]] = uint8_t(length);
  }
  codeLengthTree_ = std::make_unique<TzqInflaterHuffmanTree>(codeLengthLengths_.data(), 19, 7);
  CheckCodeSpace(*codeLengthTree_);
  index_ = 0;
  lastLength_ = 0;
  subState_ = 4;
  return true;
}

// Reads literal lengths until a repeat symbol (then sub-state 5) or the end of the array.
bool TzqInflaterHeader::ReadLengthSymbols(TzqInflateBuffer& input) {
  while (index_ < totalCount_) {
    const int symbol = input.DecodeSymbol(*codeLengthTree_);
    if (symbol < 0) return false;
    if (symbol < 16) {
      lengths_[size_t(index_++)] = uint8_t(symbol);
      lastLength_ = symbol;
      continue;
    }
    if (symbol == 16 && index_ == 0) Raise(sZLibUnknownError, zeUnknownError);
    repeatKind_ = symbol - 16;
    subState_ = 5;
    return true;
  }
  return true;
}

bool TzqInflaterHeader::ReadRepeat(TzqInflateBuffer& input) {
  const int extra = input.TakeBits(kRepeatExtraBits[repeatKind_]);
  if (extra < 0) return false;
  const int count = kRepeatMinimum[repeatKind_] + extra;
  if (index_ + count > totalCount_) Raise(sZLibUnknownError, zeUnknownError);
  // A run of zeros becomes the previous length for a following repeat of kind 16.
  if (repeatKind_ != 0) lastLength_ = 0;
  std::fill_n(lengths_.begin() + index_, count, uint8_t(lastLength_));
  index_ += count;
  subState_ = 4;
  return true;
}

// ---------------------------------------------------------------------------------------------
// TzqInflater

TzqInflater::TzqInflater(bool noHeader) : state_(noHeader ? isBlockHeader : isZLibHeader), noHeader_(noHeader) {
  FixedTables();
}

TzqInflater::~TzqInflater() = default;

void TzqInflater::FeedInput(const uint8_t* bytes, int64_t offset, int64_t count) {
  input_.FeedInput(bytes, offset, count);
  totalIn_ += uint32_t(count);
}

int64_t TzqInflater::InflateInto(uint8_t* buffer, int64_t offset, int64_t count) {
  if (count < 0 || offset < 0) Raise(sZLibArgumentOutOfRange, zeArgumentOutOfRange);
  wanted_ = TzqOutputWindow::kSize;
  if (count == 0) {
    if (!Finished()) DecodeStep();
    return 0;
  }
  int64_t produced = 0;
  bool direct = false;
  for (;;) {
    if (state_ != isAdlerTrailer) {
      uint8_t* at = buffer + offset + produced;
      const int chunk = int(std::min<int64_t>(count - produced, TzqOutputWindow::kSize));
      produced += Deliver(at, window_.TakeOutput(at, 0, chunk));
      if (produced == count) return produced;
      at = buffer + offset + produced;
      const int64_t decoded = DecodeDirect(at, count - produced);
      if (decoded >= 0) {
        produced += Deliver(at, decoded);
        direct = true;
        continue;
      }
      // After decoding straight into the buffer, the window only fills its tail: more would be
      // copied twice.
      if (direct) wanted_ = int(std::min<int64_t>(count - produced, TzqOutputWindow::kSize));
    }
    if (!DecodeStep() && (window_.PendingBytes() == 0 || state_ == isAdlerTrailer)) break;
  }
  return produced;
}

int64_t TzqInflater::Deliver(const uint8_t* bytes, int64_t count) {
  // Raw data carries no Adler-32 trailer: the sum would go unused.
  if (!noHeader_) adler_.Update(bytes, count);
  totalOut_ += uint32_t(count);
  return count;
}

// Decodes into the caller's buffer when nothing is pending and the fast loop can run there, or
// copies stored bytes there; returns the bytes written, or -1 when the window must be used.
int64_t TzqInflater::DecodeDirect(uint8_t* buffer, int64_t room) {
  if (window_.PendingBytes() != 0) return -1;
  if (state_ == isStoredData) {
    const int64_t count = std::min<int64_t>({storedRemaining_, room, input_.UnreadByteCount()});
    if (count == 0) return -1;
    input_.CopyRawBytes(buffer, 0, count);
    window_.Remember(buffer, count);
    storedRemaining_ -= int(count);
    if (storedRemaining_ == 0) state_ = isBlockHeader;
    return count;
  }
  if (state_ != isLiteralLength || room < kFastOutputMargin || input_.end_ - input_.next_ < kFastInputMargin) {
    return -1;
  }
  TzqFastOutput output{buffer, buffer, buffer + room - kFastOutputMargin, window_.data_.data() + window_.end_,
                       window_.end_};
  RunFast(output, true);
  return output.out - buffer;
}

bool TzqInflater::DecodeStep() {
  switch (state_) {
    case isZLibHeader:
      return ReadZLibHeader();
    case isDictionaryId:
      ReadAccumulator();
      return false;
    case isBlockHeader:
      return ReadBlockHeader();
    case isStoredLength:
      return ReadStoredLength(false);
    case isStoredNotLength:
      return ReadStoredLength(true);
    case isStoredData:
      return CopyStoredData();
    case isDynamicHeader:
      return ReadDynamicHeader();
    case isLiteralLength:
    case isLengthExtra:
    case isDistance:
    case isDistanceExtra:
      return DecodeCodes();
    case isAdlerTrailer:
      if (!ReadAccumulator()) return false;
      CheckAdler();
      return false;
    case isFinished:
      return false;
  }
  Raise(sZLibUnknownMode, zeUnknownMode);
}

bool TzqInflater::ReadZLibHeader() {
  const int bits = input_.TakeBits(16);
  if (bits < 0) return false;
  const int header = (bits & 0xFF) << 8 | bits >> 8;
  if (header % 31 != 0) Raise(sZLibHeaderChecksumIllegal, zeHeaderChecksumIllegal);
  if (((header >> 8) & 0x0F) != 8) Raise(sZLibCompressionMethodUnknown, zeCompressionMethodUnknown);
  if (header & 0x20) {
    state_ = isDictionaryId;
    accumulator_ = 0;
    neededBits_ = 32;
  } else {
    state_ = isBlockHeader;
  }
  return true;
}

// Shifts whole bytes into the accumulator, most significant first; true when all are read.
bool TzqInflater::ReadAccumulator() {
  while (neededBits_ > 0) {
    const int byte = input_.TakeBits(8);
    if (byte < 0) return false;
    accumulator_ = accumulator_ << 8 | uint32_t(byte);
    neededBits_ -= 8;
  }
  return true;
}

void TzqInflater::CheckAdler() {
  if (accumulator_ != adler_.Value()) Raise(sZLibAdlerMismatch, zeAdlerMismatch);
  state_ = isFinished;
}

bool TzqInflater::ReadBlockHeader() {
  if (lastBlock_) {
    if (noHeader_) {
      state_ = isFinished;
      return false;
    }
    // The trailer covers every output byte, so it waits until the caller has taken them all.
    if (window_.PendingBytes() > 0) return true;
    input_.AlignToByte();
    accumulator_ = 0;
    neededBits_ = 32;
    state_ = isAdlerTrailer;
    return true;
  }
  const int bits = input_.TakeBits(3);
  if (bits < 0) return false;
  lastBlock_ = (bits & 1) != 0;
  switch (bits >> 1) {
    case 0:
      input_.AlignToByte();
      state_ = isStoredLength;
      break;
    case 1:
      literalTree_ = &FixedTables().literal;
      distanceTree_ = &FixedTables().distance;
      state_ = isLiteralLength;
      break;
    case 2:
      header_ = std::make_unique<TzqInflaterHeader>();
      state_ = isDynamicHeader;
      break;
    default:
      Raise(sZLibUnknownBlockType, zeUnknownBlockType);
  }
  return true;
}

bool TzqInflater::ReadStoredLength(bool complement) {
  const int value = input_.TakeBits(16);
  if (value < 0) return false;
  if (!complement) {
    storedRemaining_ = value;
    state_ = isStoredNotLength;
    return true;
  }
  if (value != (storedRemaining_ ^ 0xFFFF)) Raise(sZLibBrokenStoredBlock, zeBrokenStoredBlock);
  state_ = isStoredData;
  return true;
}

bool TzqInflater::CopyStoredData() {
  const int64_t count = std::min<int64_t>({storedRemaining_, window_.FreeSpace(), input_.UnreadByteCount()});
  storedRemaining_ -= window_.CopyStored(input_, int(count));
  if (storedRemaining_ == 0) {
    state_ = isBlockHeader;
    return true;
  }
  return !input_.InputExhausted();
}

bool TzqInflater::ReadDynamicHeader() {
  if (!header_->ReadCodeLengths(input_)) return false;
  const uint8_t* lengths = header_->Lengths();
  if (lengths[kEndOfBlock] == 0) Raise(sZLibMissingEndOfBlock, zeMissingEndOfBlock);
  auto literal = std::make_unique<TzqInflaterHuffmanTree>(lengths, header_->LiteralCount(), kLiteralRootBits,
                                                          kLiteralValues.data());
  CheckCodeSpace(*literal);
  auto distance = std::make_unique<TzqInflaterHuffmanTree>(lengths + header_->LiteralCount(), header_->DistanceCount(),
                                                           kDistanceRootBits, kDistanceValues.data());
  CheckCodeSpace(*distance);
  dynamicLiteralTree_ = std::move(literal);
  dynamicDistanceTree_ = std::move(distance);
  literalTree_ = dynamicLiteralTree_.get();
  distanceTree_ = dynamicDistanceTree_.get();
  state_ = isLiteralLength;
  return true;
}

// States 7 to 10, while one maximal match fits in the window and fewer than wanted_ bytes are
// pending. Runs the fast loop whenever the input holds enough bytes for a whole
// literal/length + distance pair.
bool TzqInflater::DecodeCodes() {
  while (window_.FreeSpace() >= kMaxMatch && window_.PendingBytes() < wanted_) {
    if (state_ == isLiteralLength && input_.end_ - input_.next_ >= kFastInputMargin) {
      uint8_t* const data = window_.data_.data();
      uint8_t* const pending = data + window_.end_ - window_.filled_;
      // Past the limit the loop writes at most kFastOutputMargin bytes, the last
      // kCopyOvershoot of them scratch: neither the pending bytes nor the window may overflow.
      const int64_t written = kFastOutputMargin - TzqOutputWindow::kCopyOvershoot;
      uint8_t* const limit = std::min({pending + TzqOutputWindow::kSize - written, pending + wanted_ - 1,
                                       data + TzqOutputWindow::kCapacity - written});
      TzqFastOutput output{data, data + window_.end_, limit, data, 0};
      if (output.out <= output.limit) {
        RunFast(output, false);
        if (state_ != isLiteralLength) return true;
        continue;
      }
    }
    switch (state_) {
      case isLiteralLength: {
        const int value = input_.DecodeSymbol(*literalTree_);
        if (value < 0) return false;
        if (value < kEndOfBlock) {
          window_.PutByte(uint8_t(value));
          break;
        }
        if (value == kEndOfBlock) {
          literalTree_ = distanceTree_ = nullptr;
          state_ = isBlockHeader;
          return true;
        }
        if (!IsLengthValue(value)) Raise(sZLibIllegalRepLengthCode, zeIllegalRepLengthCode);
        copyLength_ = LengthBase(value);
        neededBits_ = LengthExtraBits(value);
        state_ = isLengthExtra;
        break;
      }
      case isLengthExtra: {
        const int extra = input_.TakeBits(neededBits_);
        if (extra < 0) return false;
        copyLength_ += extra;
        state_ = isDistance;
        break;
      }
      case isDistance: {
        const int value = input_.DecodeSymbol(*distanceTree_);
        if (value < 0) return false;
        if (value == kBadDistanceValue) Raise(sZLibIllegalRepDistCode, zeIllegalRepDistCode);
        copyDistance_ = DistanceBase(value);
        neededBits_ = DistanceExtraBits(value);
        state_ = isDistanceExtra;
        break;
      }
      case isDistanceExtra: {
        const int extra = input_.TakeBits(neededBits_);
        if (extra < 0) return false;
        copyDistance_ += extra;
        window_.CopyMatch(copyLength_, copyDistance_);
        state_ = isLiteralLength;
        break;
      }
      default:
        Raise(sZLibUnknownMode, zeUnknownMode);
    }
  }
  return true;
}

void TzqInflater::StorePosition(const TzqFastPosition& position) {
  input_.next_ = position.next;
  input_.bits_ = LowBits(position.bits, position.bitCount);
  input_.bitCount_ = position.bitCount;
}

void TzqInflater::FailAt(const TzqFastPosition& position, TzqFastOutput& output, const char* message, int code) {
  StorePosition(position);
  output.out = position.out;
  Raise(message, code);
}

// Runs the fast loop and books what it wrote, also when it stops on an error: as history when
// it wrote into the caller's buffer, as pending output when into the window.
void TzqInflater::RunFast(TzqFastOutput& output, bool direct) {
  uint8_t* const start = output.out;
  const auto book = [&] {
    if (direct)
      window_.Remember(start, output.out - start);
    else
      window_.Advance(output.out - start);
  };
  try {
    DecodeCodesFast(output);
  } catch (...) {
    book();
    throw;
  }
  book();
}

// The hot loop: a 64-bit refill covers up to three literals, or a whole literal/length +
// distance pair (at most 15 + 5 + 15 + 13 bits), so it is one per pair or per three literals,
// with one more when a match follows literals. It stops at
// the end of the block, when the input runs short or when output.out passes output.limit.
__attribute__((always_inline)) inline void TzqInflater::FastLoop(TzqFastOutput& output) {
  TzqInflateBuffer& in = input_;
  const uint8_t* const input = in.input_;
  const int64_t fastEnd = in.end_ - kFastInputMargin;
  int64_t next = in.next_;
  uint64_t bits = in.bits_;
  int bitCount = in.bitCount_;
  uint8_t* const begin = output.begin;
  uint8_t* const limit = output.limit;
  uint8_t* out = output.out;
  const int32_t* const literal = literalTree_->Entries();
  const int32_t* const distance = distanceTree_->Entries();

  // The position goes out by value: locals whose address reached an out-of-line error path
  // would live in memory throughout the loop.
  auto fail = [&](const char* message, int code) __attribute__((always_inline)) {
    FailAt(TzqFastPosition{next, bits, bitCount, out}, output, message, code);
  };
  auto refill = [&]() __attribute__((always_inline)) {
    bits |= LoadLittle64(input + next) << bitCount;
    next += (63 - bitCount) >> 3;
    bitCount |= 56;
  };
  auto consume = [&](int count) __attribute__((always_inline)) {
    bits >>= count;
    bitCount -= count;
  };
  bool blockEnded = false;
  // A literal's entry is never 0, which marks a pattern no code uses: that one goes on as a
  // length and fails there.
  auto putLiteral = [&](int32_t entry) __attribute__((always_inline)) {
    // The entry's low 6 bits are the code length, so the shift needs no mask of its own.
    bits >>= entry & 63;
    bitCount -= TzqInflaterHuffmanTree::EntryLength(entry);
    *out++ = uint8_t(TzqInflaterHuffmanTree::EntrySymbol(entry));
  };
  auto isLiteral = [](int32_t entry) __attribute__((always_inline)) {
    return uint32_t(entry) - 1 < uint32_t(kEndOfBlock << 8) - 1;
  };
  while (next <= fastEnd && out <= limit) {
    // 56 bits or more: three literal codes, or a whole length + distance pair.
    refill();
    int32_t entry = LookUp(literal, kLiteralRootBits, bits);
    if (isLiteral(entry)) {
      putLiteral(entry);
      entry = LookUp(literal, kLiteralRootBits, bits);
      if (isLiteral(entry)) {
        putLiteral(entry);
        entry = LookUp(literal, kLiteralRootBits, bits);
        if (isLiteral(entry)) {
          putLiteral(entry);
          continue;
        }
      }
      refill();
    }
    int32_t value = TzqInflaterHuffmanTree::EntrySymbol(entry);
    // A code and its extra bits go in one shift; the extra bits are read past the code meanwhile.
    int codeLength = TzqInflaterHuffmanTree::EntryLength(entry);
    if (value == kEndOfBlock) {
      consume(codeLength);
      blockEnded = true;
      break;
    }
    if (!IsLengthValue(value)) {
      if (codeLength == 0) fail(sZLibInvalidCode, zeInvalidCode);
      fail(sZLibIllegalRepLengthCode, zeIllegalRepLengthCode);
    }
    int extraBits = LengthExtraBits(value);
    const int matchLength = LengthBase(value) + int(LowBits(bits >> codeLength, extraBits));
    consume(codeLength + extraBits);

    const int32_t distanceEntry = LookUp(distance, kDistanceRootBits, bits);
    codeLength = TzqInflaterHuffmanTree::EntryLength(distanceEntry);
    if (codeLength == 0) fail(sZLibInvalidCode, zeInvalidCode);
    value = TzqInflaterHuffmanTree::EntrySymbol(distanceEntry);
    if (value == kBadDistanceValue) fail(sZLibIllegalRepDistCode, zeIllegalRepDistCode);
    extraBits = DistanceExtraBits(value);
    const int matchDistance = DistanceBase(value) + int(LowBits(bits >> codeLength, extraBits));
    consume(codeLength + extraBits);

    if (matchDistance > out - begin) {
      const int64_t back = matchDistance - (out - begin);
      if (back > output.historySize) fail(sZLibIllegalRepDistCode, zeIllegalRepDistCode);
      CopyFromHistory(out, matchLength, back, output.historyEnd, matchDistance);
    } else {
      CopyMatchBytes(out, matchLength, matchDistance);
    }
    out += matchLength;
  }
  StorePosition(TzqFastPosition{next, bits, bitCount, out});
  output.out = out;
  if (blockEnded) {
    literalTree_ = distanceTree_ = nullptr;
    state_ = isBlockHeader;
  }
}

void TzqInflater::DecodeCodesFastPortable(TzqFastOutput& output) { FastLoop(output); }

#if defined(__x86_64__)
__attribute__((target("bmi2"))) void TzqInflater::DecodeCodesFastBmi2(TzqFastOutput& output) { FastLoop(output); }
#endif

void TzqInflater::DecodeCodesFast(TzqFastOutput& output) {
#if defined(__x86_64__)
  static const bool hasBmi2 = __builtin_cpu_supports("bmi2");
  if (hasBmi2) {
    DecodeCodesFastBmi2(output);
    return;
  }
#endif
  DecodeCodesFastPortable(output);
}

}  // namespace zq
