#include "codec/zqIdnTranslator.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <cstdint>

#include "codec/zqUtils.h"
#include "core/zqCodePage.h"
#include "core/zqStringList.h"

namespace zq {

namespace {

const char* const sBadInputValue = "Bad input value for the IDN translator";
const char* const sNeedsWiderIntegers = "Input value needs wider integers to translate";
const char* const sLabelTooLong = "Host name label is too long for the IDN translator";
const char* const sInvalidUtf8Label = "Host name label is not valid UTF-8 text";

const char* const sAcePrefix = "xn--";
constexpr size_t kMaxLabelLength = 63;

constexpr int64_t kBase = 36;
constexpr int64_t kTMin = 1;
constexpr int64_t kTMax = 26;
constexpr int64_t kSkew = 38;
constexpr int64_t kDamp = 700;
constexpr int64_t kInitialBias = 72;
constexpr char32_t kInitialN = 128;
constexpr char kDelimiter = '-';
constexpr int64_t kMaxDelta = 2147483647;

char Digit(int64_t value) {
  if (value >= 0 && value <= 25) return static_cast<char>('a' + value);
  if (value >= 26 && value <= 35) return static_cast<char>('0' + value - 26);
  throw EzqIdnError(sBadInputValue);
}

int64_t Adapt(int64_t delta, int64_t count, bool first) {
  delta = first ? delta / kDamp : delta / 2;
  delta += delta / count;
  int64_t k = 0;
  while (delta > ((kBase - kTMin) * kTMax) / 2) {
    delta /= kBase - kTMin;
    k += kBase;
  }
  return k + ((kBase - kTMin + 1) * delta) / (delta + kSkew);
}

// Appends the variable-length digits of q for the current bias.
void AppendNumber(std::string& out, int64_t q, int64_t bias) {
  for (int64_t k = kBase;; k += kBase) {
    const int64_t t = k <= bias ? kTMin : (k >= bias + kTMax ? kTMax : k - bias);
    if (q < t) break;
    out += Digit(t + (q - t) % (kBase - t));
    q = (q - t) / (kBase - t);
  }
  out += Digit(q);
}

void CheckLength(const std::string& out, size_t maxLength) {
  if (out.size() > maxLength) throw EzqIdnError(sLabelTooLong);
}

std::u32string LabelCodePoints(std::string_view label) {
  std::u32string codePoints;
  const bool utf8 = LocalCodePage() == CP_UTF8;
  for (size_t i = 0; i < label.size();) {
    char32_t c = static_cast<unsigned char>(label[i]);
    const size_t length = utf8 ? DecodeUtf8(label, i, c) : 1;
    if (length == 0) throw EzqIdnError(sInvalidUtf8Label);
    codePoints += c;
    i += length;
  }
  return codePoints;
}

// Simple Unicode lower case, so that "BÜCHER" and "bücher" give the same DNS name. glibc
// always has C.UTF-8; without it only ASCII and Latin-1 letters are folded.
char32_t LowerCodePoint(char32_t c) {
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(nullptr));
  if (unicode != locale_t(nullptr)) return static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), unicode));
  const bool latin = (c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7);
  return latin ? c + 32 : c;
}

}  // namespace

std::string TzqIdnTranslator::Punycode(std::u32string_view codePoints, size_t maxLength) {
  std::string out;
  for (char32_t c : codePoints)
    if (c < kInitialN) out += static_cast<char>(c);
  CheckLength(out, maxLength);
  const int64_t basicCount = static_cast<int64_t>(out.size());
  const int64_t length = static_cast<int64_t>(codePoints.size());
  if (basicCount > 0) out += kDelimiter;

  int64_t n = kInitialN, delta = 0, bias = kInitialBias, h = basicCount;
  while (h < length) {
    int64_t m = INT64_MAX;
    for (char32_t c : codePoints)
      if (c >= n && c < m) m = c;
    if ((kMaxDelta - delta) / (h + 1) < m - n) throw EzqIdnError(sNeedsWiderIntegers);
    delta += (m - n) * (h + 1);
    n = m;
    for (char32_t c : codePoints) {
      if (c < n && ++delta > kMaxDelta) throw EzqIdnError(sNeedsWiderIntegers);
      if (c != n) continue;
      AppendNumber(out, delta, bias);
      CheckLength(out, maxLength);
      bias = Adapt(delta, h + 1, h == basicCount);
      delta = 0;
      ++h;
    }
    if (++delta > kMaxDelta) throw EzqIdnError(sNeedsWiderIntegers);
    ++n;
  }
  return out;
}

std::string TzqIdnTranslator::EncodeLabel(std::string_view label) {
  if (std::all_of(label.begin(), label.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
    return std::string(label);
  const size_t prefixLength = std::string_view(sAcePrefix).size();
  std::u32string codePoints = LabelCodePoints(label);
  std::transform(codePoints.begin(), codePoints.end(), codePoints.begin(), LowerCodePoint);
  return sAcePrefix + Punycode(codePoints, kMaxLabelLength - prefixLength);
}

std::string TzqIdnTranslator::EncodeHost(std::string_view host) {
  // The label split skips control characters, which would turn "a\r\nevil.com" into another
  // host: a host holding any is refused instead.
  if (std::any_of(host.begin(), host.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }))
    throw EzqIdnError(sBadInputValue);
  TzqStringList labels;
  SplitAtDelimiter(host, labels, '.');
  std::string result;
  for (int i = 0; i < labels.Count(); ++i) {
    if (i > 0) result += '.';
    result += EncodeLabel(labels[i]);
  }
  return result;
}

}  // namespace zq
