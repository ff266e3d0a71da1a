#include "http/zqStreams.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace zq {

namespace {

const char* const sInvalidStreamOperation = "Invalid Stream operation";
const char* const sChunkSizeMissing = "Invalid chunked data: a chunk-size line holds no hexadecimal digit";
const char* const sChunkSizeTooLarge = "Invalid chunked data: a chunk size does not fit in 63 bits";
const char* const sChunkSizeLineInvalid =
    "Invalid chunked data: a chunk-size line holds more than hexadecimal digits and an extension";
const char* const sChunkSizeLineTooLong = "Invalid chunked data: a chunk-size line exceeds 4096 bytes";
const char* const sChunkDataEnd = "Invalid chunked data: a chunk's data is not followed by CR LF";
const char* const sChunkTrailerTooLong = "Invalid chunked data: the trailer section exceeds 1048576 bytes";

constexpr int64_t kMaxSizeLineBytes = 4096;
constexpr int64_t kMaxTrailerBytes = int64_t{1} << 20;

bool IsBlank(uint8_t c) { return c == ' ' || c == '\t'; }

int HexValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

int64_t SeekTarget(int64_t offset, TzqSeekOrigin origin, int64_t position, int64_t size) {
  switch (origin) {
    case soBeginning:
      return offset;
    case soCurrent:
      return position + offset;
    case soEnd:
      return size + offset;
  }
  return position;
}

}  // namespace

// --- TzqMultiStream ---

TzqMultiStream::~TzqMultiStream() {
  while (!parts_.empty()) parts_.pop_back();
}

void TzqMultiStream::AddStream(std::unique_ptr<TzqStream> stream) {
  if (stream) parts_.push_back(std::move(stream));
}

int64_t TzqMultiStream::Size() {
  int64_t size = 0;
  for (const auto& part : parts_) size += part->Size();
  return size;
}

void TzqMultiStream::SetSize(int64_t) {}

int64_t TzqMultiStream::Write(const void*, int64_t) { return 0; }

int64_t TzqMultiStream::Seek(int64_t offset, TzqSeekOrigin origin) {
  const int64_t size = Size();
  position_ = std::clamp<int64_t>(SeekTarget(offset, origin, position_, size), 0, size);
  return position_;
}

int64_t TzqMultiStream::Read(void* buffer, int64_t count) {
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t total = 0;
  int64_t partStart = 0;
  for (const auto& part : parts_) {
    if (count <= 0) break;
    const int64_t partEnd = partStart + part->Size();
    if (position_ >= partStart && position_ < partEnd) {
      part->Seek(position_ - partStart, soBeginning);
      while (count > 0 && position_ < partEnd) {
        const int64_t got = part->Read(out, std::min(count, partEnd - position_));
        // A part that delivers less than its size ends this read; the position stays true.
        if (got <= 0) return total;
        out += got;
        position_ += got;
        total += got;
        count -= got;
      }
    }
    partStart = partEnd;
  }
  return total;
}

// --- TzqChunkedStream ---

int64_t TzqChunkedStream::Read(void*, int64_t) { return 0; }

void TzqChunkedStream::SetSize(int64_t) {}

int64_t TzqChunkedStream::Seek(int64_t offset, TzqSeekOrigin origin) {
  const bool query = origin == soBeginning ? offset == total_ : offset == 0;
  if (!query) throw EzqStreamError(sInvalidStreamOperation);
  return total_;
}

int64_t TzqChunkedStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  total_ += count;
  const auto* data = static_cast<const uint8_t*>(buffer);
  int64_t i = 0;
  while (i < count && !completed_) {
    switch (state_) {
      case State::SizeLine:
        i += ReadSizeLine(data + i, count - i);
        break;
      case State::Data:
        i += PassData(data + i, count - i);
        break;
      case State::DataEnd:
        i += SkipLine(data + i, count - i);
        break;
      case State::Trailer:
        i += ReadTrailer(data + i, count - i);
        break;
    }
  }
  return count;
}

// chunk-size [BWS ";" extension] CR LF: anything else before the line's end is refused, so a
// size such as "0x10" is never read as 0.
int64_t TzqChunkedStream::ReadSizeLine(const uint8_t* data, int64_t count) {
  for (int64_t i = 0; i < count; ++i) {
    const uint8_t c = data[i];
    if (c == '\n') {
      EndSizeLine();
      return i + 1;
    }
    if (++sizeLineLength_ > kMaxSizeLineBytes) throw EzqStreamError(sChunkSizeLineTooLong);
    if (inExtension_) continue;
    if (sawCR_) throw EzqStreamError(sChunkSizeLineInvalid);
    if (!sizeDigitsEnded_ && HexValue(c) >= 0) {
      TakeSizeDigit(c);
      continue;
    }
    sizeDigitsEnded_ = true;
    if (sizeDigits_ == 0) throw EzqStreamError(sChunkSizeMissing);
    if (c == ';')
      inExtension_ = true;
    else if (c == '\r')
      sawCR_ = true;
    else if (!IsBlank(c))
      throw EzqStreamError(sChunkSizeLineInvalid);
  }
  return count;
}

void TzqChunkedStream::TakeSizeDigit(uint8_t c) {
  if (chunkSize_ > (std::numeric_limits<int64_t>::max() >> 4)) throw EzqStreamError(sChunkSizeTooLarge);
  chunkSize_ = chunkSize_ * 16 + HexValue(c);
  ++sizeDigits_;
}

void TzqChunkedStream::EndSizeLine() {
  if (sizeDigits_ == 0) throw EzqStreamError(sChunkSizeMissing);
  sizeDigits_ = 0;
  sizeDigitsEnded_ = false;
  inExtension_ = false;
  sawCR_ = false;
  sizeLineLength_ = 0;
  passedOn_ = 0;
  trailerLineLength_ = 0;
  state_ = chunkSize_ > 0 ? State::Data : State::Trailer;
}

int64_t TzqChunkedStream::PassData(const uint8_t* data, int64_t count) {
  const int64_t n = std::min(chunkSize_ - passedOn_, count);
  destination_->WriteBuffer(data, n);
  passedOn_ += n;
  if (passedOn_ == chunkSize_) {
    chunkSize_ = 0;
    state_ = State::DataEnd;
  }
  return n;
}

// The CR LF (or a bare LF) that ends a chunk's data, and nothing else.
int64_t TzqChunkedStream::SkipLine(const uint8_t* data, int64_t count) {
  for (int64_t i = 0; i < count; ++i) {
    if (data[i] == '\n') {
      sawCR_ = false;
      state_ = State::SizeLine;
      return i + 1;
    }
    if (data[i] != '\r' || sawCR_) throw EzqStreamError(sChunkDataEnd);
    sawCR_ = true;
  }
  return count;
}

int64_t TzqChunkedStream::ReadTrailer(const uint8_t* data, int64_t count) {
  for (int64_t i = 0; i < count; ++i) {
    if (++trailerBytes_ > kMaxTrailerBytes) throw EzqStreamError(sChunkTrailerTooLong);
    if (data[i] == '\n') {
      if (trailerLineLength_ == 0) {
        completed_ = true;
        return i + 1;
      }
      trailerLineLength_ = 0;
    } else if (data[i] != '\r') {
      ++trailerLineLength_;
    }
  }
  return count;
}

// --- TzqBoundedStream ---

int64_t TzqBoundedStream::Read(void*, int64_t) { return 0; }

int64_t TzqBoundedStream::Seek(int64_t, TzqSeekOrigin) { return written_; }

int64_t TzqBoundedStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  const int64_t fits = std::min(count, limit_ - written_);
  if (fits > 0) target_.WriteBuffer(buffer, fits);
  written_ += fits;
  if (fits < count) onOverflow_();
  return count;
}

// --- TzqNonPersistentStream ---

int64_t TzqNonPersistentStream::Write(const void*, int64_t count) {
  if (position_ < 0 || count <= 0) return 0;
  position_ += count;
  size_ = std::max(size_, position_);
  return count;
}

int64_t TzqNonPersistentStream::Read(void*, int64_t count) {
  if (position_ < 0 || count <= 0 || size_ - position_ <= 0) return 0;
  count = std::min(count, size_ - position_);
  position_ += count;
  return count;
}

int64_t TzqNonPersistentStream::Seek(int64_t offset, TzqSeekOrigin origin) {
  position_ = SeekTarget(offset, origin, position_, size_);
  return position_;
}

void TzqNonPersistentStream::SetSize(int64_t newSize) {
  if (newSize == size_) return;
  size_ = newSize;
  if (position_ > size_) position_ = size_;
}

}  // namespace zq
