#pragma once
// Streams that move message bodies without holding them whole: a read-only concatenation of
// streams, a write-only decoder of chunked transfer coding and a stream that drops its data.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/zqApi.h"
#include "core/zqError.h"
#include "core/zqStream.h"

namespace zq {

// Misuse of a body stream, and chunked data that cannot be decoded.
class ZQ_API EzqStreamError : public EzqError {
public:
  using EzqError::EzqError;
};

// Presents its parts, back to back, as one read-only stream. The parts are owned and freed
// last first.
class ZQ_API TzqMultiStream : public TzqStream {
public:
  TzqMultiStream() = default;
  ~TzqMultiStream() override;

  void AddStream(std::unique_ptr<TzqStream> stream);
  int PartCount() const { return static_cast<int>(parts_.size()); }

  int64_t Read(void* buffer, int64_t count) override;
  // Read-only: writes nothing.
  int64_t Write(const void* buffer, int64_t count) override;
  // The position is clamped to [0, Size()].
  int64_t Seek(int64_t offset, TzqSeekOrigin origin) override;
  // The sum of the parts' sizes, taken afresh on every call.
  int64_t Size() override;
  // Ignored.
  void SetSize(int64_t newSize) override;

private:
  std::vector<std::unique_ptr<TzqStream>> parts_;
  int64_t position_ = 0;
};

// Decodes chunked transfer coding written into it and passes the payload on to the
// destination (not owned). Completion is reported once the last chunk and the trailer
// section after it, up to and including its closing empty line, have been consumed; bytes
// written after that are dropped.
class ZQ_API TzqChunkedStream : public TzqStream {
public:
  explicit TzqChunkedStream(TzqStream& destination) : destination_(&destination) {}

  // Decodes; always returns count. Raises EzqStreamError on a chunk-size line that is not
  // hexadecimal digits with an optional extension, longer than 4 KiB or with a size beyond
  // 63 bits, on chunk data not followed by CR LF, and on a trailer section over 1 MiB.
  int64_t Write(const void* buffer, int64_t count) override;
  // Write-only: reads nothing.
  int64_t Read(void* buffer, int64_t count) override;
  // Only a query of the position (the bytes written so far); any other seek raises EzqStreamError.
  int64_t Seek(int64_t offset, TzqSeekOrigin origin) override;
  // Ignored.
  void SetSize(int64_t newSize) override;

  bool IsCompleted() const { return completed_; }

private:
  enum class State { SizeLine, Data, DataEnd, Trailer };

  int64_t ReadSizeLine(const uint8_t* data, int64_t count);
  void TakeSizeDigit(uint8_t c);
  void EndSizeLine();
  int64_t PassData(const uint8_t* data, int64_t count);
  int64_t SkipLine(const uint8_t* data, int64_t count);
  int64_t ReadTrailer(const uint8_t* data, int64_t count);

  TzqStream* destination_;
  int64_t total_ = 0;
  int64_t chunkSize_ = 0;
  int64_t passedOn_ = 0;
  // Of the size line being read: digits seen, and whether the digits have ended (an
  // extension, blank or CR may follow them).
  int sizeDigits_ = 0;
  bool sizeDigitsEnded_ = false;
  bool inExtension_ = false;
  bool sawCR_ = false;
  int64_t sizeLineLength_ = 0;
  int64_t trailerBytes_ = 0;
  // Length of the trailer line being read, without its CR.
  int64_t trailerLineLength_ = 0;
  State state_ = State::SizeLine;
  bool completed_ = false;
};

// Passes what is written on to a target (not owned) until more than limit bytes would have
// gone through: the part that fits is passed on, then onOverflow is called, which raises.
class ZQ_API TzqBoundedStream : public TzqStream {
public:
  TzqBoundedStream(TzqStream& target, int64_t limit, std::function<void()> onOverflow)
      : target_(target), limit_(limit), onOverflow_(std::move(onOverflow)) {}
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  // Only a query of the position (the bytes passed on).
  int64_t Seek(int64_t offset, TzqSeekOrigin origin) override;

private:
  TzqStream& target_;
  int64_t limit_;
  std::function<void()> onOverflow_;
  int64_t written_ = 0;
};

// Keeps a position and a size and drops the data: a stand-in where a stream is required but
// its content is not wanted.
class ZQ_API TzqNonPersistentStream : public TzqStream {
public:
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TzqSeekOrigin origin) override;
  int64_t Size() override { return size_; }
  void SetSize(int64_t newSize) override;

private:
  int64_t position_ = 0;
  int64_t size_ = 0;
};

}  // namespace zq
