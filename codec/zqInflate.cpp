#include "codec/zqInflate.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace zq {
namespace {

constexpr int kMaxMatch = 258;
constexpr int kLiteralRootBits = 10;
constexpr int kDistanceRootBits = TzqInflaterHuffmanTree::kDefaultRootBits;
constexpr int kEndOfBlock = 256;
constexpr int kMaxLengthSymbol = 285;
constexpr int kMaxDistanceSymbol = 29;
// HLIT and HDIST may name up to 288 and 32 codes, but only 286 and 30 exist (zlib refuses more).
constexpr int kMaxLiteralCount = 286;
constexpr int kMaxDistanceCount = 30;
// The fast loop refills at most twice per pair, 8 bytes each time.
constexpr int64_t kFastInputMargin = 16;

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

inline uint64_t LoadLittle64(const uint8_t* bytes) {
  uint64_t value;
  std::memcpy(&value, bytes, sizeof value);
  if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
  return value;
}

inline uint64_t LowBits(uint64_t bits, int count) { return bits & ((uint64_t(1) << count) - 1); }

// The entry for the next code of tree in bits (enough bits must be present).
inline int32_t LookUp(const int32_t* entries, int rootBits, uint64_t bits) {
  const int32_t entry = entries[bits & ((1u << rootBits) - 1)];
  if (entry >= 0) return entry;
  const int subBits = TzqInflaterHuffmanTree::EntryLength(entry) - rootBits;
  return entries[TzqInflaterHuffmanTree::LinkIndex(entry) + int((bits >> rootBits) & ((1u << subBits) - 1))];
}

// Copies a match inside the window. Overlapping matches repeat the recent bytes, as the format
// requires. Copies that do not wrap move 8-byte words and may write up to 7 bytes past their
// end (see TzqOutputWindow); a word read then only covers bytes already written when the
// distance is at least 8. A distance of 1 repeats one byte; a shorter one repeats its pattern,
// so once the first multiple of it that reaches 8 is written, words copy from that far back.
inline void CopyInWindow(uint8_t* window, int write, int length, int distance) {
  constexpr int kRingSize = TzqOutputWindow::kRingSize;
  constexpr int kRingMask = TzqOutputWindow::kRingMask;
  const int source = (write - distance) & kRingMask;
  if (source + length > kRingSize || write + length > kRingSize) {
    for (int i = 0; i < length; ++i) window[(write + i) & kRingMask] = window[(source + i) & kRingMask];
    return;
  }
  uint8_t* to = window + write;
  const uint8_t* from = window + source;
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
    const int period = (8 + distance - 1) / distance * distance;
    for (uint8_t* const patternEnd = to + std::min(period, length); to < patternEnd;) *to++ = *from++;
    from = to - period;
  }
  while (to < end) {
    std::memcpy(to, from, 8);
    to += 8;
    from += 8;
  }
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

void TzqOutputWindow::CopyMatch(int length, int distance) {
  if (filled_ + length > kSize) Fail();
  if (distance > produced_) Raise(sZLibIllegalRepDistCode, zeIllegalRepDistCode);
  CopyInWindow(data_.data(), write_, length, distance);
  write_ = (write_ + length) & kRingMask;
  filled_ += length;
  produced_ += length;
}

int TzqOutputWindow::CopyStored(TzqInflateBuffer& input, int count) {
  if (count > FreeSpace()) Fail();
  int moved = 0;
  while (moved < count) {
    const int piece = std::min(count - moved, kRingSize - write_);
    const int copied = int(input.CopyRawBytes(data_.data(), write_, piece));
    write_ = (write_ + copied) & kRingMask;
    filled_ += copied;
    produced_ += copied;
    moved += copied;
    if (copied < piece) break;
  }
  return moved;
}

int TzqOutputWindow::TakeOutput(uint8_t* buffer, int64_t offset, int count) {
  const int taken = std::min(count, filled_);
  if (taken < 0) Raise(sZLibInvalidOperation, zeInvalidOperation);
  const int start = (write_ - filled_) & kRingMask;
  const int first = std::min(taken, kRingSize - start);
  std::memcpy(buffer + offset, data_.data() + start, size_t(first));
  std::memcpy(buffer + offset + first, data_.data(), size_t(taken - first));
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
  if (count == 0) {
    if (!Finished()) DecodeStep();
    return 0;
  }
  int64_t produced = 0;
  for (;;) {
    if (state_ != isAdlerTrailer) {
      const int chunk = int(std::min<int64_t>(count - produced, TzqOutputWindow::kSize));
      const int taken = window_.TakeOutput(buffer, offset + produced, chunk);
      // Raw data carries no Adler-32 trailer: the sum would go unused.
      if (!noHeader_) adler_.Update(buffer + offset + produced, taken);
      totalOut_ += uint32_t(taken);
      produced += taken;
      if (produced == count) return produced;
    }
    if (!DecodeStep() && (window_.PendingBytes() == 0 || state_ == isAdlerTrailer)) break;
  }
  return produced;
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

// States 7 to 10, while one maximal match fits in the window. Runs the fast loop whenever the
// input holds enough bytes for a whole literal/length + distance pair.
bool TzqInflater::DecodeCodes() {
  while (window_.FreeSpace() >= kMaxMatch) {
    if (state_ == isLiteralLength && input_.end_ - input_.next_ >= kFastInputMargin) {
      if (!DecodeCodesFast()) return true;
      continue;
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
  window_.write_ = position.write;
  window_.filled_ = position.filled;
  window_.produced_ = position.produced;
}

void TzqInflater::FailAt(const TzqFastPosition& position, const char* message, int code) {
  StorePosition(position);
  Raise(message, code);
}

// The hot loop: one 64-bit refill covers a whole literal/length + distance pair (at most
// 15 + 5 + 15 + 13 bits). Returns false when the block ended, true when it ran short of input
// or window space.
bool TzqInflater::DecodeCodesFast() {
  TzqInflateBuffer& in = input_;
  const uint8_t* const input = in.input_;
  const int64_t fastEnd = in.end_ - kFastInputMargin;
  int64_t next = in.next_;
  uint64_t bits = in.bits_;
  int bitCount = in.bitCount_;
  uint8_t* const window = window_.data_.data();
  int write = window_.write_;
  int filled = window_.filled_;
  int64_t produced = window_.produced_;
  const int32_t* const literal = literalTree_->Entries();
  const int literalRoot = literalTree_->RootBits();
  const int32_t* const distance = distanceTree_->Entries();
  const int distanceRoot = distanceTree_->RootBits();

  // The position goes out by value: locals whose address reached an out-of-line error path
  // would live in memory throughout the loop.
  auto here = [&]() __attribute__((always_inline)) {
    return TzqFastPosition{next, bits, bitCount, write, filled, produced};
  };

  auto refill = [&] {
    bits |= LoadLittle64(input + next) << bitCount;
    next += (63 - bitCount) >> 3;
    bitCount |= 56;
  };
  auto consume = [&](int count) {
    bits >>= count;
    bitCount -= count;
  };
  constexpr int kFilledLimit = TzqOutputWindow::kSize - kMaxMatch;
  bool blockEnded = false;
  while (next <= fastEnd && filled <= kFilledLimit) {
    refill();
    int32_t entry = LookUp(literal, literalRoot, bits);
    int32_t value = entry >> 4;
    // Literals follow each other without a refill while a whole code is in the bit buffer.
    bool literalsOnly = false;
    while (value < kEndOfBlock) {
      const int length = TzqInflaterHuffmanTree::EntryLength(entry);
      if (length == 0) FailAt(here(), sZLibInvalidCode, zeInvalidCode);
      consume(length);
      window[write] = uint8_t(value);
      write = (write + 1) & TzqOutputWindow::kRingMask;
      ++filled;
      ++produced;
      if (bitCount < TzqInflaterHuffmanTree::kMaxCodeLength || filled > kFilledLimit) {
        literalsOnly = true;
        break;
      }
      entry = LookUp(literal, literalRoot, bits);
      value = entry >> 4;
    }
    if (literalsOnly) continue;
    // The rest of the pair needs up to 48 bits; the margin keeps this refill inside the input.
    if (bitCount < 48) refill();
    consume(TzqInflaterHuffmanTree::EntryLength(entry));
    if (value == kEndOfBlock) {
      blockEnded = true;
      break;
    }
    if (!IsLengthValue(value)) FailAt(here(), sZLibIllegalRepLengthCode, zeIllegalRepLengthCode);
    int extraBits = LengthExtraBits(value);
    const int matchLength = LengthBase(value) + int(LowBits(bits, extraBits));
    consume(extraBits);

    entry = LookUp(distance, distanceRoot, bits);
    const int length = TzqInflaterHuffmanTree::EntryLength(entry);
    if (length == 0) FailAt(here(), sZLibInvalidCode, zeInvalidCode);
    consume(length);
    value = entry >> 4;
    if (value == kBadDistanceValue) FailAt(here(), sZLibIllegalRepDistCode, zeIllegalRepDistCode);
    extraBits = DistanceExtraBits(value);
    const int matchDistance = DistanceBase(value) + int(LowBits(bits, extraBits));
    consume(extraBits);

    if (matchDistance > produced) FailAt(here(), sZLibIllegalRepDistCode, zeIllegalRepDistCode);
    CopyInWindow(window, write, matchLength, matchDistance);
    write = (write + matchLength) & TzqOutputWindow::kRingMask;
    filled += matchLength;
    produced += matchLength;
  }
  StorePosition(here());
  if (blockEnded) {
    literalTree_ = distanceTree_ = nullptr;
    state_ = isBlockHeader;
  }
  return !blockEnded;
}

}  // namespace zq
