#pragma once
// Routines shared across the library: byte arrays, progress events, binary buffers, tokens,
// Internet dates, hex dumps, dot segments, byte-sequence search, string lists and streams.
// Positions in texts are 1-based; byte arrays are 0-based.

#include <bitset>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/zqComponent.h"
#include "core/zqDateTime.h"
#include "core/zqStream.h"
#include "core/zqStringList.h"

namespace zq {

using TzqIntArray = std::vector<int32_t>;
using TzqShortArray = std::vector<int16_t>;
using TzqProgressEvent = std::function<void(TzqObject* Sender, int64_t ABytesProceed, int64_t ATotalBytes)>;

// A set of byte values, for the token routines.
class TzqCharSet {
public:
  TzqCharSet() = default;
  TzqCharSet(std::string_view chars) {  // NOLINT: implicit from a list of characters
    for (char c : chars) bits_.set(static_cast<unsigned char>(c));
  }
  bool Contains(char c) const { return bits_.test(static_cast<unsigned char>(c)); }
  TzqCharSet& Add(char c) {
    bits_.set(static_cast<unsigned char>(c));
    return *this;
  }

private:
  std::bitset<256> bits_;
};

// A growable raw buffer; descendants may take their memory elsewhere.
class TzqBinaryData {
public:
  TzqBinaryData() = default;
  explicit TzqBinaryData(int32_t size);
  virtual ~TzqBinaryData();
  TzqBinaryData(const TzqBinaryData&) = delete;
  TzqBinaryData& operator=(const TzqBinaryData&) = delete;

  uint8_t* Data() const { return data_; }
  int32_t DataSize() const { return dataSize_; }
  // Drops the old buffer and allocates n bytes (not cleared) when n > 0.
  void SetSize(int32_t n);
  void Clear();
  // The bytes as UTF-16 code units, one trailing zero unit dropped.
  std::u16string AsWideText() const;

protected:
  virtual void ReleaseMemory(uint8_t*& data);
  virtual void AllocateMemory(uint8_t*& data, int32_t size);

private:
  uint8_t* data_ = nullptr;
  int32_t dataSize_ = 0;
};

// Finds entries of a string list and moves it to and from streams in a charset.
class TzqStringsUtils {
public:
  TzqStringsUtils(TzqStringList& list, std::string charset);
  explicit TzqStringsUtils(TzqStringList& list);

  int FindEntry(std::string_view text, bool exact) const;
  void LoadFromStream(TzqStream& stream);
  void SaveToStream(TzqStream& stream) const;

private:
  TzqStringList& list_;
  std::string charset_;
};

// The system's message for an error code, trimmed.
std::string SystemErrorText(int errorCode);

// RFC 1123 dates (two-digit years allowed) to local time; 0 when year, month or day is 0.
// A non-numeric day or year raises EzqConvertError.
TzqDateTime ParseInternetDate(std::string_view text);
TzqDateTime ParseClockTime(std::string_view text);
// "+hhmm" / "-hhmm" as a fraction of a day; anything else 0.
double ParseZoneOffset(std::string_view text);
// A UTC file time (100 ns since 1601) as a local date-time; 0 when it cannot be converted.
TzqDateTime FileTimeToLocalDateTime(int64_t fileTime);

int FindTextFrom(std::string_view pattern, std::string_view text, int start);
int FindTextBackward(std::string_view pattern, std::string_view text, int start);

void SplitAtDelimiter(std::string_view text, TzqStringList& list, char delimiter);
int CountTokens(std::string_view text, const TzqCharSet& delimiters);
int TokenStart(int n, std::string_view text, const TzqCharSet& delimiters);
std::string TakeToken(int n, std::string_view text, const TzqCharSet& delimiters);
std::string QuoteIfNeeded(std::string_view text);
// 0-based index of the first of values[0..highestIndex] equal to text without regard to case; -1 if none.
int IndexOfText(std::string_view text, std::span<const std::string_view> values, int highestIndex);

std::string HexOfBytes(const TzqByteArray& bytes);
std::string HexOfBuffer(const void* buffer, int64_t count);

std::string CollapseDotSegments(std::string_view path, char separator);
void PutUInt16BigEndian(uint16_t value, TzqByteArray& bytes, int& index);
// 0-based index of the first occurrence of pattern lying wholly inside bytes[start, end); -1 if none.
int64_t FindByteSequence(std::span<const uint8_t> pattern, std::span<const uint8_t> bytes, int64_t start, int64_t end);

int FindListEntry(const TzqStringList& list, std::string_view text, bool exact);
void WriteLinesToStream(const TzqStringList& list, TzqStream& stream, std::string_view charset);
void ReadLinesFromStream(TzqStream& stream, TzqStringList& list, std::string_view charset);

// The month abbreviations "Jan" … "Dec".
extern const std::string_view kMonthNames[12];

}  // namespace zq
