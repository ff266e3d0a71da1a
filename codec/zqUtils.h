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

#include "core/zqApi.h"
#include "core/zqComponent.h"
#include "core/zqDateTime.h"
#include "core/zqStream.h"
#include "core/zqStringList.h"
#include "platform/zqMessagePump.h"

namespace zq {

using TzqIntArray = std::vector<int32_t>;
using TzqShortArray = std::vector<int16_t>;
using TzqProgressEvent = std::function<void(TzqObject* Sender, int64_t ABytesProceed, int64_t ATotalBytes)>;

// A set of byte values, for the token routines.
class ZQ_API TzqCharSet {
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

// A growable raw buffer; descendants may take their memory elsewhere (and then call Clear()
// in their own destructor, since the base destructor can only reach the base release).
class ZQ_API TzqBinaryData {
public:
  TzqBinaryData() = default;
  explicit TzqBinaryData(int32_t size);
  virtual ~TzqBinaryData();
  TzqBinaryData(const TzqBinaryData&) = delete;
  TzqBinaryData& operator=(const TzqBinaryData&) = delete;

  uint8_t* Data() const { return data_; }
  int32_t DataSize() const { return dataSize_; }
  // Drops the old buffer and allocates n bytes (not cleared) when n > 0; n < 0 counts as 0.
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
class ZQ_API TzqStringsUtils {
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
ZQ_API std::string SystemErrorText(int errorCode);

// RFC 1123 dates (two-digit years allowed: 11..99 are 19xx, 0..10 are 20xx) to local time,
// by the zone rules in force on that date; 0 when year, month or day is 0 (no year word). An
// unknown month word takes the current month. A non-numeric day or year, or a date or clock out
// of range, raises EzqConvertError.
ZQ_API TzqDateTime ParseInternetDate(std::string_view text);
ZQ_API TzqDateTime ParseClockTime(std::string_view text);
// "+hhmm" / "-hhmm" as a fraction of a day; anything else 0.
ZQ_API double ParseZoneOffset(std::string_view text);
// A UTC file time (100 ns since 1601) as a local date-time; 0 when it is negative or past 9999.
ZQ_API TzqDateTime FileTimeToLocalDateTime(int64_t fileTime);

// First match at or after start (case-sensitive); 0 when none, start <= 0 or pattern empty.
ZQ_API int FindTextFrom(std::string_view pattern, std::string_view text, int start);
// Last match beginning at or before start (-1: the end), without regard to case; 0 when none.
ZQ_API int FindTextBackward(std::string_view pattern, std::string_view text, int start);

// Entries between delimiters (empty ones kept, a final delimiter adds one), dropping control
// characters 1..8 and 10..31 around them.
ZQ_API void SplitAtDelimiter(std::string_view text, TzqStringList& list, char delimiter);
// Tokens are maximal runs outside the delimiters, counted from 1.
ZQ_API int CountTokens(std::string_view text, const TzqCharSet& delimiters);
ZQ_API int TokenStart(int n, std::string_view text, const TzqCharSet& delimiters);
ZQ_API std::string TakeToken(int n, std::string_view text, const TzqCharSet& delimiters);
// Unchanged when it begins or ends with a double quote, else wrapped in them.
ZQ_API std::string QuoteIfNeeded(std::string_view text);
// 0-based index of the first of values[0..highestIndex] equal to text without regard to case; -1 if none.
ZQ_API int IndexOfText(std::string_view text, std::span<const std::string_view> values, int highestIndex);

// Two upper-case hex digits a byte.
ZQ_API std::string HexOfBytes(const TzqByteArray& bytes);
ZQ_API std::string HexOfBuffer(const void* buffer, int64_t count);

// Removes "." and ".." segments; the result always begins with the separator.
ZQ_API std::string CollapseDotSegments(std::string_view path, char separator);
// Stores value at bytes[index], bytes[index + 1] (growing bytes when short) and advances index
// by 2; a negative index raises EzqError.
ZQ_API void PutUInt16BigEndian(uint16_t value, TzqByteArray& bytes, int& index);
// 0-based index of the first occurrence of pattern lying wholly inside bytes[start, end), the
// range clipped to the bytes; -1 if none or when the pattern is empty.
ZQ_API int64_t FindByteSequence(std::span<const uint8_t> pattern, std::span<const uint8_t> bytes, int64_t start,
                                int64_t end);

// exact: the first entry equal to text without regard to case; otherwise the first entry that
// contains it (an empty text is in none). -1 when none.
ZQ_API int FindListEntry(const TzqStringList& list, std::string_view text, bool exact);
// The list's text (CR LF after each line) in the charset, at the stream's position; nothing
// for an empty list.
ZQ_API void WriteLinesToStream(const TzqStringList& list, TzqStream& stream, std::string_view charset);
// The bytes from the position to the end as the list's lines (cut at a zero byte, as every
// text from bytes is); with no bytes left the list stays as it was.
ZQ_API void ReadLinesFromStream(TzqStream& stream, TzqStringList& list, std::string_view charset);

// The month abbreviations "Jan" … "Dec".
extern ZQ_API const std::string_view kMonthNames[12];

// A hidden window whose messages reach proc on the calling thread (its owner is whatever
// proc captures). Creation and destruction are serialised by one process-wide lock.
ZQ_API TzqWindowHandle CreateMessageWindow(TzqWindowProc proc);
ZQ_API void DestroyMessageWindow(TzqWindowHandle window);

}  // namespace zq
