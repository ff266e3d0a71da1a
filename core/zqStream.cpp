#include "core/zqStream.h"

#include "core/zqSystem.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zq {

namespace {

const char* const sReadError = "Stream read error";
const char* const sWriteError = "Stream write error";
const char* const sSetSizeError = "Stream size cannot be changed";
const char* const sFileOpenError = "Cannot open file \"%s\". %s";
const char* const sFileCreateError = "Cannot create file \"%s\". %s";
const char* const sInvalidSeek = "Invalid stream position";

constexpr int64_t kCopyBufferSize = 64 * 1024;

}  // namespace

int64_t TzqStream::Size() {
  const int64_t position = Seek(0, soCurrent);
  const int64_t size = Seek(0, soEnd);
  Seek(position, soBeginning);
  return size;
}

void TzqStream::SetSize(int64_t) { throw EzqStreamIoError(sSetSizeError); }

void TzqStream::ReadBuffer(void* buffer, int64_t count) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  while (count > 0) {
    const int64_t got = Read(bytes, count);
    if (got <= 0) throw EzqStreamIoError(sReadError);
    bytes += got;
    count -= got;
  }
}

void TzqStream::WriteBuffer(const void* buffer, int64_t count) {
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  while (count > 0) {
    const int64_t put = Write(bytes, count);
    if (put <= 0) throw EzqStreamIoError(sWriteError);
    bytes += put;
    count -= put;
  }
}

TzqByteArray TzqStream::ReadRemaining() {
  TzqByteArray result;
  const int64_t remaining = Size() - Position();
  if (remaining > 0) result.reserve(static_cast<size_t>(remaining));
  uint8_t buffer[16 * 1024];
  for (;;) {
    const int64_t got = Read(buffer, sizeof buffer);
    if (got <= 0) break;
    result.insert(result.end(), buffer, buffer + got);
  }
  return result;
}

int64_t TzqStream::CopyFrom(TzqStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min(count, kCopyBufferSize)));
  const int64_t total = count;
  while (count > 0) {
    const int64_t n = std::min<int64_t>(count, static_cast<int64_t>(buffer.size()));
    source.ReadBuffer(buffer.data(), n);
    WriteBuffer(buffer.data(), n);
    count -= n;
  }
  return total;
}

// ---- TzqMemoryStream

TzqMemoryStream::TzqMemoryStream(std::string_view data) : data_(data.begin(), data.end()) {}

int64_t TzqMemoryStream::Read(void* buffer, int64_t count) {
  const int64_t size = Size();
  if (count <= 0 || position_ >= size) return 0;
  const int64_t n = std::min(count, size - position_);
  std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int64_t TzqMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  const auto at = static_cast<size_t>(position_);
  const auto n = static_cast<size_t>(count);
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  if (at + n > data_.capacity()) data_.reserve(std::max(at + n, data_.capacity() * 2));
  if (at > data_.size()) data_.resize(at);  // a gap left by seeking past the end reads as zeros
  // Bytes past the end are appended, not zero-filled first and then overwritten.
  const size_t overlap = std::min(n, data_.size() - at);
  std::memcpy(data_.data() + at, bytes, overlap);
  data_.insert(data_.end(), bytes + overlap, bytes + n);
  position_ += count;
  return count;
}

int64_t TzqMemoryStream::Seek(int64_t offset, TzqSeekOrigin origin) {
  int64_t base = 0;
  if (origin == soCurrent) base = position_;
  if (origin == soEnd) base = Size();
  const int64_t target = base + offset;
  if (target < 0) throw EzqStreamIoError(sInvalidSeek);
  position_ = target;
  return position_;
}

void TzqMemoryStream::SetSize(int64_t newSize) {
  if (newSize < 0) throw EzqStreamIoError(sSetSizeError);
  data_.resize(static_cast<size_t>(newSize));
  position_ = std::min(position_, newSize);
}

void TzqMemoryStream::Clear() {
  data_.clear();
  data_.shrink_to_fit();
  position_ = 0;
}

void TzqMemoryStream::LoadFromStream(TzqStream& source) {
  source.SetPosition(0);
  const int64_t size = source.Size();
  SetSize(size);
  if (size > 0) source.ReadBuffer(data_.data(), size);
  position_ = 0;
}

void TzqMemoryStream::SaveToStream(TzqStream& destination) const {
  if (!data_.empty()) destination.WriteBuffer(data_.data(), static_cast<int64_t>(data_.size()));
}

void TzqMemoryStream::LoadFromFile(const std::string& fileName) {
  TzqFileStream file(fileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(file);
}

void TzqMemoryStream::SaveToFile(const std::string& fileName) const {
  TzqFileStream file(fileName, fmCreate);
  SaveToStream(file);
}

// ---- TzqFileStream

TzqFileStream::TzqFileStream(const std::string& fileName, uint16_t mode) : fileName_(fileName) {
  const bool create = (mode & fmCreate) == fmCreate;
  int flags = O_CLOEXEC;
  if (create) {
    flags |= O_RDWR | O_CREAT | O_TRUNC;
  } else {
    switch (mode & 0x3) {
      case fmOpenWrite:
        flags |= O_WRONLY;
        break;
      case fmOpenReadWrite:
        flags |= O_RDWR;
        break;
      default:
        flags |= O_RDONLY;
        break;
    }
  }
  fd_ = ::open(fileName.c_str(), flags, 0666);
  if (fd_ < 0) {
    const int error = errno;
    throw EzqStreamIoError(
        Format(create ? sFileCreateError : sFileOpenError, fileName.c_str(), ErrnoText(error).c_str()));
  }
  const uint16_t share = create ? fmShareExclusive : (mode & 0xF0);
  int lock = 0;
  if (share == fmShareExclusive) lock = LOCK_EX;
  if (share == fmShareDenyWrite) lock = LOCK_SH;
  if (lock != 0 && ::flock(fd_, lock | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd_);
    fd_ = -1;
    throw EzqStreamIoError(Format(sFileOpenError, fileName.c_str(), ErrnoText(error).c_str()));
  }
}

TzqFileStream::~TzqFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

int64_t TzqFileStream::Read(void* buffer, int64_t count) {
  if (count <= 0) return 0;
  for (;;) {
    const ssize_t got = ::read(fd_, buffer, static_cast<size_t>(count));
    if (got >= 0) return got;
    if (errno != EINTR) return 0;
  }
}

int64_t TzqFileStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  for (;;) {
    const ssize_t put = ::write(fd_, buffer, static_cast<size_t>(count));
    if (put >= 0) return put;
    if (errno != EINTR) return 0;
  }
}

int64_t TzqFileStream::Seek(int64_t offset, TzqSeekOrigin origin) {
  const int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
  const off_t result = ::lseek(fd_, offset, whence);
  if (result < 0) throw EzqStreamIoError(sInvalidSeek);
  return result;
}

void TzqFileStream::SetSize(int64_t newSize) {
  const int64_t position = Position();
  if (newSize < 0 || ::ftruncate(fd_, newSize) != 0) throw EzqStreamIoError(sSetSizeError);
  if (position > newSize) Seek(newSize, soBeginning);
}

}  // namespace zq
