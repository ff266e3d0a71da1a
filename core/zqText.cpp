#include "core/zqText.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "core/zqError.h"

namespace zq {

namespace {

const char* const sInvalidInteger = "'%s' is not a valid integer value";

bool IsTrimmed(char c) { return static_cast<unsigned char>(c) <= 32; }

}  // namespace

char UpperChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
char LowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

std::string UpperCase(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = UpperChar(c);
  return result;
}

std::string LowerCase(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = LowerChar(c);
  return result;
}

int CompareTextIgnoreCase(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const auto ca = static_cast<unsigned char>(UpperChar(a[i]));
    const auto cb = static_cast<unsigned char>(UpperChar(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CompareTextIgnoreCase(a, b) == 0;
}

bool StartsText(std::string_view prefix, std::string_view text) {
  return text.size() >= prefix.size() && SameText(prefix, text.substr(0, prefix.size()));
}

bool EndsText(std::string_view suffix, std::string_view text) {
  return text.size() >= suffix.size() && SameText(suffix, text.substr(text.size() - suffix.size()));
}

size_t FindText(std::string_view pattern, std::string_view text, size_t from) {
  if (pattern.size() > text.size()) return std::string_view::npos;
  for (size_t i = from; i + pattern.size() <= text.size(); ++i)
    if (SameText(pattern, text.substr(i, pattern.size()))) return i;
  return std::string_view::npos;
}

std::string TrimLeft(std::string_view text) {
  size_t start = 0;
  while (start < text.size() && IsTrimmed(text[start])) ++start;
  return std::string(text.substr(start));
}

std::string TrimRight(std::string_view text) {
  size_t end = text.size();
  while (end > 0 && IsTrimmed(text[end - 1])) --end;
  return std::string(text.substr(0, end));
}

std::string_view TrimView(std::string_view text) {
  while (!text.empty() && IsTrimmed(text.back())) text.remove_suffix(1);
  while (!text.empty() && IsTrimmed(text.front())) text.remove_prefix(1);
  return text;
}

std::string Trim(std::string_view text) { return std::string(TrimView(text)); }

std::optional<int64_t> TryStrToInt64(std::string_view text) {
  std::string trimmed = Trim(text);
  std::string_view s = trimmed;
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (s.size() > 1 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  } else if (!s.empty() && s[0] == '$') {
    base = 16;
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  uint64_t magnitude = 0;
  const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), magnitude, base);
  if (error != std::errc() || end != s.data() + s.size()) return std::nullopt;
  const uint64_t limit = negative ? uint64_t{1} << 63 : static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (magnitude > limit) return std::nullopt;
  if (negative) return static_cast<int64_t>(0 - magnitude);
  return static_cast<int64_t>(magnitude);
}

std::optional<int32_t> TryStrToInt(std::string_view text) {
  const auto value = TryStrToInt64(text);
  if (!value || *value < std::numeric_limits<int32_t>::min() || *value > std::numeric_limits<int32_t>::max())
    return std::nullopt;
  return static_cast<int32_t>(*value);
}

int64_t StrToInt64(std::string_view text) {
  const auto value = TryStrToInt64(text);
  if (!value) throw EzqConvertError(Format(sInvalidInteger, std::string(text).c_str()));
  return *value;
}

int32_t StrToInt(std::string_view text) {
  const auto value = TryStrToInt(text);
  if (!value) throw EzqConvertError(Format(sInvalidInteger, std::string(text).c_str()));
  return *value;
}

int32_t StrToIntDef(std::string_view text, int32_t fallback) { return TryStrToInt(text).value_or(fallback); }
int64_t StrToInt64Def(std::string_view text, int64_t fallback) { return TryStrToInt64(text).value_or(fallback); }

std::string IntToStr(int64_t value) { return std::to_string(value); }

}  // namespace zq
