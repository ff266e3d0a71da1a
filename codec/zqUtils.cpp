#include "codec/zqUtils.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "codec/zqTranslator.h"
#include "core/zqError.h"
#include "core/zqSystem.h"
#include "core/zqText.h"

namespace zq {

const std::string_view kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

namespace {

const char* const sIndexOutOfBounds = "Index out of bounds (%d)";

// Codes 1 to 8 and 10 to 31: tab, blank and code 0 stay inside entries.
bool IsSplitControl(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b >= 1 && b <= 31 && b != 9;
}

// Cuts the text up to the first blank off the front of rest; false (rest untouched) when no
// blank follows.
bool TakeWord(std::string& rest, std::string& word) {
  const size_t blank = rest.find(' ');
  if (blank == std::string::npos) return false;
  word = rest.substr(0, blank);
  rest.erase(0, blank + 1);
  return true;
}

int TwoDigits(std::string_view text) {
  if (text.size() != 2 || text[0] < '0' || text[0] > '9' || text[1] < '0' || text[1] > '9') return 0;
  return (text[0] - '0') * 10 + (text[1] - '0');
}

int CurrentMonth() {
  int year = 0, month = 0, day = 0;
  DecodeDate(Now(), year, month, day);
  return month;
}

int ExpandYear(int year) {
  if (year < 0 || year >= 100) return year;
  return year > 10 ? 1900 + year : 2000 + year;
}

// The n-th ':'-separated number of a clock; 0 when missing or not a number.
int ClockPart(std::string_view clock, int n) { return StrToIntDef(TakeToken(n, clock, TzqCharSet(":")), 0); }

constexpr char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

// --- TzqBinaryData ---

TzqBinaryData::TzqBinaryData(int32_t size) { SetSize(size); }

TzqBinaryData::~TzqBinaryData() { Clear(); }

void TzqBinaryData::SetSize(int32_t n) {
  ReleaseMemory(data_);
  data_ = nullptr;
  dataSize_ = std::max(n, 0);
  if (dataSize_ > 0) AllocateMemory(data_, dataSize_);
}

void TzqBinaryData::Clear() {
  ReleaseMemory(data_);
  data_ = nullptr;
  dataSize_ = 0;
}

std::u16string TzqBinaryData::AsWideText() const {
  if (!data_ || dataSize_ < 2) return {};
  std::u16string text(static_cast<size_t>(dataSize_ / 2), u'\0');
  std::memcpy(text.data(), data_, text.size() * sizeof(char16_t));
  if (text.back() == u'\0') text.pop_back();
  return text;
}

void TzqBinaryData::ReleaseMemory(uint8_t*& data) {
  std::free(data);
  data = nullptr;
}

void TzqBinaryData::AllocateMemory(uint8_t*& data, int32_t size) {
  data = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
  if (!data) throw std::bad_alloc();
}

// --- TzqStringsUtils ---

TzqStringsUtils::TzqStringsUtils(TzqStringList& list, std::string charset)
    : list_(list), charset_(std::move(charset)) {}

TzqStringsUtils::TzqStringsUtils(TzqStringList& list) : list_(list) {}

int TzqStringsUtils::FindEntry(std::string_view text, bool exact) const {
  const std::string wanted = UpperCase(text);
  for (int i = 0; i < list_.Count(); ++i) {
    const std::string entry = UpperCase(list_[i]);
    if (exact ? entry == wanted : (!wanted.empty() && entry.find(wanted) != std::string::npos)) return i;
  }
  return -1;
}

void TzqStringsUtils::LoadFromStream(TzqStream& stream) {
  const TzqByteArray bytes = stream.ReadRemaining();
  if (bytes.empty()) return;
  list_.SetText(TzqTranslator::BytesToText(bytes, charset_));
}

void TzqStringsUtils::SaveToStream(TzqStream& stream) const {
  const std::string text = list_.Text();
  if (text.empty()) return;
  stream.WriteBytes(TzqTranslator::TextToBytes(text, charset_));
}

// --- Free routines ---

std::string SystemErrorText(int errorCode) { return Trim(ErrnoText(errorCode)); }

TzqDateTime ParseInternetDate(std::string_view text) {
  std::string rest = Trim(text);
  if (const size_t comma = rest.find(','); comma != std::string::npos) rest.erase(0, comma + 2);

  std::string word;  // no blank after the day leaves it empty, which does not convert either
  TakeWord(rest, word);
  const int day = StrToInt(word);

  // An unknown month word stays in place (and is then read as the year).
  int month = CurrentMonth();
  const size_t blank = rest.find(' ');
  if (blank != std::string::npos) {
    const int index = IndexOfText(std::string_view(rest).substr(0, blank), kMonthNames, 11);
    if (index >= 0) {
      month = index + 1;
      rest.erase(0, blank + 1);
    }
  }

  int year = 0;
  if (TakeWord(rest, word)) year = ExpandYear(StrToInt(word));
  // Checked before the clock, so that a date without its year never fails on a stray word.
  if (year == 0 || month == 0 || day == 0) return 0;

  std::string clock;
  if (!TakeWord(rest, clock)) clock.swap(rest);
  const TzqDateTime time = ParseClockTime(clock);
  const std::string zone = rest.substr(0, rest.find(' '));
  // Summed in milliseconds: before 1899-12-30 a date-time's fraction counts backwards.
  const int64_t utc = DateTimeToUnixMs(EncodeDate(year, month, day)) +
                      std::llround((time - ParseZoneOffset(zone)) * kMillisecondsPerDay);
  return UtcToLocal(UnixMsToDateTime(utc));
}

TzqDateTime ParseClockTime(std::string_view text) {
  std::string clock = UpperCase(text);
  const size_t pm = clock.find("PM");
  if (pm != std::string::npos) clock.resize(pm);
  const size_t am = clock.find("AM");
  if (am != std::string::npos) clock.resize(am);
  clock = Trim(clock);

  int hour = ClockPart(clock, 1);
  if (pm != std::string::npos && hour < 12) hour += 12;
  if (am != std::string::npos && hour == 12) hour = 0;
  return EncodeTime(hour, ClockPart(clock, 2), ClockPart(clock, 3), 0);
}

double ParseZoneOffset(std::string_view text) {
  if (text.size() < 5 || (text[0] != '+' && text[0] != '-')) return 0;
  TzqDateTime offset = 0;
  if (!TryEncodeTime(TwoDigits(text.substr(1, 2)), TwoDigits(text.substr(3, 2)), 0, 0, offset)) return 0;
  return text[0] == '-' ? -offset : offset;
}

TzqDateTime FileTimeToLocalDateTime(int64_t fileTime) {
  static const TzqDateTime kLast = EncodeDate(9999, 12, 31) + 1;
  if (fileTime < 0) return 0;
  const TzqDateTime local = UtcToLocal(FileTimeToDateTime(fileTime));
  return local < kLast ? local : 0;
}

int FindTextFrom(std::string_view pattern, std::string_view text, int start) {
  if (start <= 0 || pattern.empty() || static_cast<size_t>(start) > text.size()) return 0;
  const size_t found = text.find(pattern, static_cast<size_t>(start - 1));
  return found == std::string_view::npos ? 0 : static_cast<int>(found) + 1;
}

int FindTextBackward(std::string_view pattern, std::string_view text, int start) {
  if (pattern.empty() || pattern.size() > text.size()) return 0;
  const auto last = static_cast<int64_t>(text.size() - pattern.size()) + 1;
  const int64_t from = start == -1 ? last : std::min<int64_t>(start, last);
  for (int64_t position = from; position >= 1; --position)
    if (SameText(text.substr(static_cast<size_t>(position - 1), pattern.size()), pattern))
      return static_cast<int>(position);
  return 0;
}

void SplitAtDelimiter(std::string_view text, TzqStringList& list, char delimiter) {
  list.BeginUpdate();
  try {
    list.Clear();
    size_t i = 0;
    auto skipControls = [&] {
      while (i < text.size() && IsSplitControl(text[i])) ++i;
    };
    skipControls();
    while (i < text.size()) {
      const size_t begin = i;
      while (i < text.size() && !IsSplitControl(text[i]) && text[i] != delimiter) ++i;
      list.Add(std::string(text.substr(begin, i - begin)));
      skipControls();
      if (i < text.size() && text[i] == delimiter) {
        if (i == text.size() - 1) list.Add(std::string());
        ++i;
        skipControls();
      }
    }
  } catch (...) {
    list.EndUpdate();
    throw;
  }
  list.EndUpdate();
}

int CountTokens(std::string_view text, const TzqCharSet& delimiters) {
  int count = 0;
  bool inToken = false;
  for (char c : text) {
    const bool delimiter = delimiters.Contains(c);
    if (!delimiter && !inToken) ++count;
    inToken = !delimiter;
  }
  return count;
}

int TokenStart(int n, std::string_view text, const TzqCharSet& delimiters) {
  if (n <= 0) return 0;
  bool inToken = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool delimiter = delimiters.Contains(text[i]);
    if (!delimiter && !inToken && --n == 0) return static_cast<int>(i) + 1;
    inToken = !delimiter;
  }
  return 0;
}

std::string TakeToken(int n, std::string_view text, const TzqCharSet& delimiters) {
  const int start = TokenStart(n, text, delimiters);
  if (start == 0) return {};
  size_t end = static_cast<size_t>(start - 1);
  while (end < text.size() && !delimiters.Contains(text[end])) ++end;
  return std::string(text.substr(static_cast<size_t>(start - 1), end - static_cast<size_t>(start - 1)));
}

std::string QuoteIfNeeded(std::string_view text) {
  if (!text.empty() && (text.front() == '"' || text.back() == '"')) return std::string(text);
  return '"' + std::string(text) + '"';
}

int IndexOfText(std::string_view text, std::span<const std::string_view> values, int highestIndex) {
  const int last = std::min(highestIndex, static_cast<int>(values.size()) - 1);
  for (int i = 0; i <= last; ++i)
    if (SameText(text, values[static_cast<size_t>(i)])) return i;
  return -1;
}

std::string HexOfBuffer(const void* buffer, int64_t count) {
  if (!buffer || count <= 0) return {};
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  std::string hex;
  hex.reserve(static_cast<size_t>(count) * 2);
  for (int64_t i = 0; i < count; ++i) {
    hex += kHexDigits[bytes[i] >> 4];
    hex += kHexDigits[bytes[i] & 0x0F];
  }
  return hex;
}

std::string HexOfBytes(const TzqByteArray& bytes) {
  return HexOfBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

// Removing the first ".." with the segment before it, again and again, is one pass with a
// stack: that keeps long hostile paths linear.
std::string CollapseDotSegments(std::string_view path, char separator) {
  if (!path.empty() && path.front() == separator) path.remove_prefix(1);
  std::vector<std::string_view> kept;
  std::string_view segment;
  for (size_t begin = 0;;) {
    const size_t end = path.find(separator, begin);
    segment = path.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin);
    if (segment == "..") {
      if (!kept.empty()) kept.pop_back();
    } else if (segment != ".") {
      kept.push_back(segment);
    }
    if (end == std::string_view::npos) break;
    begin = end + 1;
  }
  if (segment == "." || segment == "..") kept.push_back(std::string_view());
  std::string result;
  for (std::string_view piece : kept) {
    result += separator;
    result += piece;
  }
  return result;
}

void PutUInt16BigEndian(uint16_t value, TzqByteArray& bytes, int& index) {
  if (index < 0) throw EzqError(Format(sIndexOutOfBounds, index));
  const auto at = static_cast<size_t>(index);
  if (bytes.size() < at + 2) bytes.resize(at + 2);
  bytes[at] = static_cast<uint8_t>(value >> 8);
  bytes[at + 1] = static_cast<uint8_t>(value & 0xFF);
  index += 2;
}

int64_t FindByteSequence(std::span<const uint8_t> pattern, std::span<const uint8_t> bytes, int64_t start, int64_t end) {
  const int64_t first = std::max<int64_t>(start, 0);
  const int64_t stop = std::min<int64_t>(end, static_cast<int64_t>(bytes.size()));
  if (pattern.empty() || stop - first < static_cast<int64_t>(pattern.size())) return -1;
  const auto from = bytes.begin() + first;
  const auto to = bytes.begin() + stop;
  const auto found = std::search(from, to, pattern.begin(), pattern.end());
  return found == to ? -1 : static_cast<int64_t>(found - bytes.begin());
}

// The helper only reads the list in these two.
int FindListEntry(const TzqStringList& list, std::string_view text, bool exact) {
  return TzqStringsUtils(const_cast<TzqStringList&>(list)).FindEntry(text, exact);
}

void WriteLinesToStream(const TzqStringList& list, TzqStream& stream, std::string_view charset) {
  TzqStringsUtils(const_cast<TzqStringList&>(list), std::string(charset)).SaveToStream(stream);
}

void ReadLinesFromStream(TzqStream& stream, TzqStringList& list, std::string_view charset) {
  TzqStringsUtils(list, std::string(charset)).LoadFromStream(stream);
}

namespace {

std::mutex& MessageWindowLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

TzqWindowHandle CreateMessageWindow(TzqWindowProc proc) {
  std::lock_guard<std::mutex> guard(MessageWindowLock());
  return AllocateHiddenWindow(std::move(proc));
}

void DestroyMessageWindow(TzqWindowHandle window) {
  std::lock_guard<std::mutex> guard(MessageWindowLock());
  DeallocateHiddenWindow(window);
}

}  // namespace zq
