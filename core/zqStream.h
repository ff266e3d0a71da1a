#pragma once
// Byte streams: the abstract stream, the in-memory stream and the file stream.

#include <cstdint>
#include <string>
#include <vector>

#include "core/zqApi.h"
#include "core/zqError.h"

namespace zq {

using TzqByteArray = std::vector<uint8_t>;

enum TzqSeekOrigin { soBeginning, soCurrent, soEnd };

// A readable, writable, seekable byte sequence with a size. Positions and sizes are 64-bit.
class ZQ_API TzqStream {
public:
  virtual ~TzqStream() = default;

  // Reads up to count bytes; returns how many were read (0 at the end).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes up to count bytes; returns how many were written.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Moves the position; returns the new position.
  virtual int64_t Seek(int64_t offset, TzqSeekOrigin origin) = 0;

  virtual int64_t Size();
  virtual void SetSize(int64_t newSize);

  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t position) { Seek(position, soBeginning); }

  // Read or write exactly count bytes, or raise EzqStreamIoError.
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  void WriteBytes(const TzqByteArray& bytes) { WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size())); }
  void WriteString(const std::string& text) { WriteBuffer(text.data(), static_cast<int64_t>(text.size())); }
  // Reads everything from the position to the end.
  TzqByteArray ReadRemaining();

  // Copies count bytes from source's position; count 0 copies the whole source from its start.
  // Returns the number of bytes copied.
  int64_t CopyFrom(TzqStream& source, int64_t count);

protected:
  TzqStream() = default;
  TzqStream(const TzqStream&) = delete;
  TzqStream& operator=(const TzqStream&) = delete;
};

// A stream held in memory.
class ZQ_API TzqMemoryStream : public TzqStream {
public:
  TzqMemoryStream() = default;
  explicit TzqMemoryStream(std::string_view data);
  explicit TzqMemoryStream(TzqByteArray data) : data_(std::move(data)) {}

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TzqSeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }
  void SetSize(int64_t newSize) override;

  uint8_t* Memory() { return data_.data(); }
  const uint8_t* Memory() const { return data_.data(); }
  const TzqByteArray& Bytes() const { return data_; }
  // The whole content as a byte string.
  std::string DataString() const { return std::string(data_.begin(), data_.end()); }
  void Clear();

  void LoadFromStream(TzqStream& source);
  void SaveToStream(TzqStream& destination) const;
  void LoadFromFile(const std::string& fileName);
  void SaveToFile(const std::string& fileName) const;

private:
  TzqByteArray data_;
  int64_t position_ = 0;
};

// Open modes and share modes of TzqFileStream, combined with |.
enum : uint16_t {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmShareExclusive = 0x0010,  // no other stream of this process or another may open the file
  fmShareDenyWrite = 0x0020,  // others may open it only for reading
  fmShareDenyNone = 0x0040,   // others may read and write it
  fmCreate = 0xFF00,          // create or truncate, open for reading and writing
};

// A stream over a file. Share modes are kept with advisory locks (flock): an exclusive
// or deny-write opener fails while a conflicting one holds the file.
class ZQ_API TzqFileStream : public TzqStream {
public:
  TzqFileStream(const std::string& fileName, uint16_t mode);
  ~TzqFileStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TzqSeekOrigin origin) override;
  void SetSize(int64_t newSize) override;

  const std::string& FileName() const { return fileName_; }
  int Handle() const { return fd_; }

private:
  std::string fileName_;
  int fd_ = -1;
};

}  // namespace zq
