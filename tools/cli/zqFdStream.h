#pragma once
// A write-only stream onto an open file descriptor (the program's standard output), which
// neither seeks nor is sized in advance: its size is what has been written.

#include <cstdint>

#include "core/zqStream.h"

namespace zq::cli {

class TzqFdStream : public TzqStream {
public:
  explicit TzqFdStream(int fd) : fd_(fd) {}
  int64_t Read(void* buffer, int64_t count) override;
  // Every byte or EzqStreamIoError (a closed pipe, a full disk).
  int64_t Write(const void* buffer, int64_t count) override;
  // Only where it already is: the start when nothing was written, or the end.
  int64_t Seek(int64_t offset, TzqSeekOrigin origin) override;
  int64_t Size() override { return written_; }

private:
  int fd_;
  int64_t written_ = 0;
};

}  // namespace zq::cli
