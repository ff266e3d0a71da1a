#pragma once
// The gzip decoding filter: a write-only stream that inflates what is written into it and
// writes the decoded bytes on to a destination stream.

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "codec/zqChecksum.h"
#include "codec/zqInflate.h"
#include "core/zqStream.h"

namespace zq {

// Write the gzip data in pieces of any size; decoded bytes reach the destination as soon as
// they are decoded. The trailer's CRC-32 and size are verified; the header's fields are
// skipped, not checked. The destination is not owned. Position and size read as the number
// of compressed bytes written; nothing can move them.
class TzqGZipInflateStream : public TzqStream {
public:
  explicit TzqGZipInflateStream(TzqStream& destination);
  ~TzqGZipInflateStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TzqSeekOrigin origin) override;

  TzqStream& Destination() const { return destination_; }

private:
  enum TzqHeaderStage { hsFixed, hsExtraLength, hsExtra, hsName, hsComment, hsHeaderCrc, hsDone };

  bool ParseGZipHeader(const uint8_t* buffer, int64_t count, int64_t& offset);
  bool InflateChunk(const uint8_t* buffer, int64_t count, int64_t& offset);
  bool InflateHeld(int64_t heldCount);
  bool InflateBuffer(const uint8_t* bytes, int64_t count, int64_t& offset);
  bool CheckGZipTrailer(const uint8_t* buffer, int64_t count, int64_t offset);
  void ResetMember();
  void NextHeaderStage(TzqHeaderStage stage);

  TzqStream& destination_;
  TzqMemoryStream gathered_;
  std::unique_ptr<TzqInflater> inflater_;
  TzqCrc32 crc_;
  bool headerParsed_ = false;
  bool deflateComplete_ = false;
  int64_t totalWritten_ = 0;
  uint32_t decompressedCount_ = 0;
  std::array<uint8_t, 10> held_{};
  int heldCount_ = 0;
  std::vector<uint8_t> output_;
  TzqHeaderStage headerStage_ = hsFixed;
  std::array<uint8_t, 12> headerBytes_{};  // the fixed part and XLEN
  int headerHave_ = 0;
  int64_t headerSkip_ = 0;
};

}  // namespace zq
