#pragma once
// The decoding filters of compressed bodies: write-only streams that inflate what is written
// into them and write the decoded bytes on to a destination stream.

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "codec/zqChecksum.h"
#include "codec/zqInflate.h"
#include "core/zqApi.h"
#include "core/zqStream.h"

namespace zq {

// What the decoding filters share: the destination, a write-only position and the test of a
// properly ended stream.
class ZQ_API TzqInflateFilter : public TzqStream {
public:
  explicit TzqInflateFilter(TzqStream& destination) : destination_(destination) {}
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TzqSeekOrigin origin) override;

  TzqStream& Destination() const { return destination_; }
  // True once the compressed data has ended properly (its last block and trailer seen).
  virtual bool Finished() const = 0;
  // Told that no more data will come: decodes what is still held back.
  virtual void EndOfInput() {}
  // Raises EzqZLibError when the data written so far stopped before the stream's end.
  void CheckFinished() const;

protected:
  // Decodes everything the inflater can from its input on to the destination; the count.
  int64_t Drain(TzqInflater& inflater, TzqCrc32* crc);
  int64_t CountWritten(int64_t count);

private:
  TzqStream& destination_;
  std::unique_ptr<uint8_t[]> output_;  // made on first use, left uncleared
  int64_t totalWritten_ = 0;
};

// Write the gzip data in pieces of any size; decoded bytes reach the destination as soon as
// they are decoded. The header's magic and method are checked, its optional fields skipped;
// the trailer's CRC-32 and size are verified. Members that follow one another are decoded in
// turn, as gzip -d does; bytes after a member that start no new member are ignored. The
// destination is not owned. Position and size read as the number of compressed bytes written.
class ZQ_API TzqGZipInflateStream : public TzqInflateFilter {
public:
  explicit TzqGZipInflateStream(TzqStream& destination);
  ~TzqGZipInflateStream() override;

  int64_t Write(const void* buffer, int64_t count) override;
  void EndOfInput() override;
  bool Finished() const override;

private:
  enum TzqHeaderStage { hsFixed, hsExtraLength, hsExtra, hsName, hsComment, hsHeaderCrc, hsDone, hsTrailingBytes };

  bool ParseGZipHeader(const uint8_t* buffer, int64_t count, int64_t& offset);
  void CheckFixedHeader();
  bool InflateChunk(const uint8_t* buffer, int64_t count, int64_t& offset);
  bool InflateHeld(int64_t heldCount);
  bool InflateBuffer(const uint8_t* bytes, int64_t count, int64_t& offset);
  bool TakeTrailer(const uint8_t* buffer, int64_t count, int64_t& offset);
  void ResetMember();
  void NextHeaderStage(TzqHeaderStage stage);

  TzqMemoryStream gathered_;
  std::unique_ptr<TzqInflater> inflater_;
  TzqCrc32 crc_;
  bool headerParsed_ = false;
  bool deflateComplete_ = false;
  int membersDone_ = 0;
  uint32_t decompressedCount_ = 0;
  std::array<uint8_t, 10> held_{};
  int heldCount_ = 0;
  TzqHeaderStage headerStage_ = hsFixed;
  std::array<uint8_t, 12> headerBytes_{};  // the fixed part and XLEN
  int headerHave_ = 0;
  int64_t headerSkip_ = 0;
};

// The "deflate" content coding: zlib-wrapped data (Adler-32 checked) or, as some servers send
// it, raw deflate data; the first two bytes tell which.
class ZQ_API TzqDeflateInflateStream : public TzqInflateFilter {
public:
  explicit TzqDeflateInflateStream(TzqStream& destination) : TzqInflateFilter(destination) {}
  ~TzqDeflateInflateStream() override;

  int64_t Write(const void* buffer, int64_t count) override;
  bool Finished() const override { return inflater_ && inflater_->Finished(); }

private:
  void Start(const uint8_t* firstTwo);
  void Feed(const uint8_t* bytes, int64_t count);

  std::unique_ptr<TzqInflater> inflater_;
  std::array<uint8_t, 2> first_{};
  int firstHave_ = 0;
};

}  // namespace zq
