#include "codec/zqZLibStreams.h"

#include <algorithm>

namespace zq {
namespace {

// Large enough that the inflater decodes most bytes straight into it, and its matches seldom
// reach back past its start.
constexpr int64_t kOutputBufferSize = 65536;
constexpr int kFixedHeaderSize = 10;
constexpr int kTrailerSize = 8;

constexpr uint8_t kMagic1 = 0x1F;
constexpr uint8_t kMagic2 = 0x8B;
constexpr uint8_t kMethodDeflate = 8;
constexpr uint8_t kFlagHeaderCrc = 0x02;
constexpr uint8_t kFlagExtra = 0x04;
constexpr uint8_t kFlagName = 0x08;
constexpr uint8_t kFlagComment = 0x10;
constexpr uint8_t kFlagsReserved = 0xE0;

uint32_t ReadLittle32(const uint8_t* bytes) {
  return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

// A zlib header: method 8, a window of at most 32 KiB, and the check bits right.
bool IsZLibHeader(const uint8_t* bytes) {
  return (bytes[0] & 0x0F) == kMethodDeflate && (bytes[0] >> 4) <= 7 && ((bytes[0] << 8) | bytes[1]) % 31 == 0;
}

}  // namespace

// ---- TzqInflateFilter ------------------------------------------------------------------------

int64_t TzqInflateFilter::Read(void*, int64_t) { return 0; }

int64_t TzqInflateFilter::Seek(int64_t offset, TzqSeekOrigin origin) {
  const int64_t target = origin == soBeginning ? offset : offset + totalWritten_;
  if (target != totalWritten_) throw EzqZLibError(sZLibInvalidStreamOperation, zeInvalidStreamOperation);
  return target;
}

void TzqInflateFilter::CheckFinished() const {
  if (!Finished()) throw EzqZLibError(sZLibTruncatedStream, zeTruncatedStream);
}

int64_t TzqInflateFilter::CountWritten(int64_t count) {
  if (count < 0) throw EzqZLibError(sZLibArgumentOutOfRange, zeArgumentOutOfRange);
  totalWritten_ += count;
  return count;
}

int64_t TzqInflateFilter::Drain(TzqInflater& inflater, TzqCrc32* crc) {
  if (!output_) output_.reset(new uint8_t[size_t(kOutputBufferSize)]);
  uint8_t* output = output_.get();
  int64_t total = 0;
  while (!inflater.Finished()) {
    const int64_t produced = inflater.InflateInto(output, 0, kOutputBufferSize);
    destination_.WriteBuffer(output, produced);
    if (crc != nullptr) crc->Update(output, produced);
    total += produced;
    if (inflater.NeedsDictionary()) throw EzqZLibError(sZLibNeedDictionary, zeNeedDictionary);
    if (produced < kOutputBufferSize) break;
  }
  return total;
}

// ---- TzqGZipInflateStream --------------------------------------------------------------------

TzqGZipInflateStream::TzqGZipInflateStream(TzqStream& destination) : TzqInflateFilter(destination) {}

TzqGZipInflateStream::~TzqGZipInflateStream() = default;

bool TzqGZipInflateStream::Finished() const {
  return membersDone_ > 0 && ((headerStage_ == hsFixed && headerHave_ == 0) || headerStage_ == hsTrailingBytes);
}

// A write may end one member and start the next: each pass takes one member's part of it.
int64_t TzqGZipInflateStream::Write(const void* buffer, int64_t count) {
  CountWritten(count);
  const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
  int64_t offset = 0;
  while (offset < count) {
    if (headerStage_ == hsTrailingBytes) return count;
    if (!headerParsed_) {
      if (!ParseGZipHeader(bytes, count, offset)) return count;
      headerParsed_ = true;
    }
    if (!deflateComplete_) deflateComplete_ = InflateChunk(bytes, count, offset);
    if (!deflateComplete_ || !TakeTrailer(bytes, count, offset)) return count;
    ResetMember();
  }
  return count;
}

// A lone byte held back for a pair is decoded now, so a stream that ends there is judged (and
// its errors found) as if it had come in one write.
void TzqGZipInflateStream::EndOfInput() {
  if (!headerParsed_ || deflateComplete_ || heldCount_ != 1) return;
  deflateComplete_ = InflateHeld(1);
  int64_t offset = 0;
  if (deflateComplete_ && TakeTrailer(nullptr, 0, offset)) ResetMember();
}

// The header is read incrementally: only the fixed part and XLEN are kept, the optional
// fields are skipped as they pass, so a huge name or comment costs neither memory nor time.
bool TzqGZipInflateStream::ParseGZipHeader(const uint8_t* buffer, int64_t count, int64_t& offset) {
  while (headerStage_ != hsDone) {
    if (headerStage_ == hsTrailingBytes) {
      offset = count;
      return false;
    }
    if (offset >= count) return false;
    switch (headerStage_) {
      case hsFixed:
      case hsExtraLength:
        headerBytes_[size_t(headerHave_++)] = buffer[offset++];
        if (headerHave_ <= 3) CheckFixedHeader();
        if (headerHave_ == kFixedHeaderSize) {
          if (headerBytes_[3] & kFlagsReserved) throw EzqZLibError(sZLibInvalidGZipHeader, zeInvalidGZipHeader);
          NextHeaderStage(hsExtraLength);
        }
        if (headerHave_ == kFixedHeaderSize + 2) {
          headerSkip_ = int64_t(headerBytes_[10]) | int64_t(headerBytes_[11]) << 8;
          NextHeaderStage(hsExtra);
        }
        break;
      case hsExtra:
      case hsHeaderCrc: {
        const int64_t skipped = std::min(headerSkip_, count - offset);
        offset += skipped;
        headerSkip_ -= skipped;
        if (headerSkip_ == 0) NextHeaderStage(headerStage_ == hsExtra ? hsName : hsDone);
        break;
      }
      case hsName:
      case hsComment:
        if (buffer[offset++] == 0) NextHeaderStage(headerStage_ == hsName ? hsComment : hsHeaderCrc);
        break;
      case hsDone:
      case hsTrailingBytes:
        break;
    }
  }
  heldCount_ = 0;
  return true;
}

// A first member must be gzip data; after a complete member, bytes that start no new member
// are trailing bytes and ignored.
void TzqGZipInflateStream::CheckFixedHeader() {
  static const uint8_t expected[3] = {kMagic1, kMagic2, kMethodDeflate};
  const int at = headerHave_ - 1;
  if (headerBytes_[size_t(at)] == expected[at]) return;
  if (membersDone_ == 0) throw EzqZLibError(sZLibInvalidGZipHeader, zeInvalidGZipHeader);
  headerStage_ = hsTrailingBytes;
}

// Moves to the first stage from `stage` on that the header's flags ask for.
void TzqGZipInflateStream::NextHeaderStage(TzqHeaderStage stage) {
  const uint8_t flags = headerBytes_[3];
  for (;; stage = TzqHeaderStage(stage + 1)) {
    if (stage == hsExtraLength && !(flags & kFlagExtra)) continue;
    if (stage == hsExtra && headerSkip_ == 0) continue;
    if (stage == hsName && !(flags & kFlagName)) continue;
    if (stage == hsComment && !(flags & kFlagComment)) continue;
    if (stage == hsHeaderCrc && !(flags & kFlagHeaderCrc)) continue;
    break;
  }
  if (stage == hsHeaderCrc) headerSkip_ = 2;
  headerStage_ = stage;
}

// The decoder is fed in pairs of bytes: a lone last byte is held back until the next write.
bool TzqGZipInflateStream::InflateChunk(const uint8_t* buffer, int64_t count, int64_t& offset) {
  const int64_t left = count - offset;
  if (left <= 0) return false;
  if (left <= 2 && heldCount_ == 1) {
    held_[1] = buffer[offset];
    if (left == 2) held_[2] = buffer[offset + 1];
    offset = count;
    return InflateHeld(1 + left);
  }
  if (left == 1) {
    held_[0] = buffer[offset];
    heldCount_ = 1;
    offset = count;
    return false;
  }
  if (heldCount_ == 1) {
    held_[1] = buffer[offset];
    ++offset;
    if (InflateHeld(2)) return true;
  }
  return InflateBuffer(buffer, count, offset);
}

// Feeds the held bytes; when the data ends among them, the unread ones start the trailer.
bool TzqGZipInflateStream::InflateHeld(int64_t heldCount) {
  heldCount_ = 0;
  int64_t heldOffset = 0;
  const bool complete = InflateBuffer(held_.data(), heldCount, heldOffset);
  if (complete && heldOffset < heldCount) {
    gathered_.Seek(0, soEnd);
    gathered_.WriteBuffer(held_.data() + heldOffset, heldCount - heldOffset);
  }
  return complete;
}

// Decodes until the decoder wants more input or has finished, and also drains everything it
// decoded, so decoded bytes reach the destination as early as possible.
bool TzqGZipInflateStream::InflateBuffer(const uint8_t* bytes, int64_t count, int64_t& offset) {
  // A member's decoder is made when its data starts: most bodies are one member, and a decoder
  // (its window cleared) made in advance for a next one would cost as much as the decoding.
  if (!inflater_) inflater_ = std::make_unique<TzqInflater>(true);
  const int64_t fed = count - offset;
  if (fed > 0) inflater_->FeedInput(bytes, offset, fed);
  decompressedCount_ += uint32_t(Drain(*inflater_, &crc_));
  // A decoder that finished earlier may still hold bytes of an older input; only bytes of this
  // one can start the trailer here.
  offset = count - std::min(inflater_->UnreadByteCount(), std::max<int64_t>(fed, 0));
  return inflater_->Finished();
}

// Gathers the eight trailer bytes (taking no more from the buffer) and checks them.
bool TzqGZipInflateStream::TakeTrailer(const uint8_t* buffer, int64_t count, int64_t& offset) {
  const int64_t wanted = std::min<int64_t>(kTrailerSize - gathered_.Size(), count - offset);
  if (wanted > 0) {
    gathered_.Seek(0, soEnd);
    gathered_.WriteBuffer(buffer + offset, wanted);
    offset += wanted;
  }
  if (gathered_.Size() < kTrailerSize) return false;
  const uint8_t* trailer = gathered_.Memory();
  if (ReadLittle32(trailer) != crc_.Value()) throw EzqZLibError(sZLibInvalidCrc, zeInvalidCrc);
  if (ReadLittle32(trailer + 4) != decompressedCount_) {
    throw EzqZLibError(sZLibInvalidDataSize, zeInvalidDataSize);
  }
  return true;
}

void TzqGZipInflateStream::ResetMember() {
  ++membersDone_;
  inflater_.reset();
  crc_.Reset();
  decompressedCount_ = 0;
  gathered_.Clear();
  heldCount_ = 0;
  headerStage_ = hsFixed;
  headerHave_ = 0;
  headerSkip_ = 0;
  headerParsed_ = false;
  deflateComplete_ = false;
}

// ---- TzqDeflateInflateStream -----------------------------------------------------------------

TzqDeflateInflateStream::~TzqDeflateInflateStream() = default;

int64_t TzqDeflateInflateStream::Write(const void* buffer, int64_t count) {
  CountWritten(count);
  const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
  int64_t offset = 0;
  while (!inflater_ && offset < count) {
    first_[size_t(firstHave_++)] = bytes[offset++];
    if (firstHave_ == 2) {
      Start(first_.data());
      Feed(first_.data(), 2);
    }
  }
  if (inflater_ && offset < count) Feed(bytes + offset, count - offset);
  return count;
}

void TzqDeflateInflateStream::Start(const uint8_t* firstTwo) {
  inflater_ = std::make_unique<TzqInflater>(!IsZLibHeader(firstTwo));
}

// Bytes after the end of the data are ignored.
void TzqDeflateInflateStream::Feed(const uint8_t* bytes, int64_t count) {
  if (inflater_->Finished()) return;
  inflater_->FeedInput(bytes, 0, count);
  Drain(*inflater_, nullptr);
}

}  // namespace zq
