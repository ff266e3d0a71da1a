// IDN host encoding and Punycode. Invariants: an encoded host is ASCII with labels of at most
// 63 octets, all-ASCII labels pass unchanged, other labels carry "xn--"; Punycode decodes
// (RFC 3492's decoder, written here) back to the code points it encoded and never exceeds the
// length it was given.
// Input: a flag byte (code page, length cap), then the host text or code points.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "codec/zqIdnTranslator.h"
#include "core/zqCodePage.h"

using namespace zq;

namespace {

constexpr uint32_t kBase = 36, kTMin = 1, kTMax = 26, kSkew = 38, kDamp = 700, kInitialBias = 72, kInitialN = 128;

uint32_t Adapt(uint32_t delta, uint32_t points, bool first) {
  delta = first ? delta / kDamp : delta / 2;
  delta += delta / points;
  uint32_t k = 0;
  for (; delta > ((kBase - kTMin) * kTMax) / 2; k += kBase) delta /= kBase - kTMin;
  return k + (kBase - kTMin + 1) * delta / (delta + kSkew);
}

std::optional<uint32_t> Digit(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint32_t>(c - '0' + 26);
  if (c >= 'a' && c <= 'z') return static_cast<uint32_t>(c - 'a');
  if (c >= 'A' && c <= 'Z') return static_cast<uint32_t>(c - 'A');
  return std::nullopt;
}

std::optional<std::u32string> Decode(std::string_view input) {
  std::u32string output;
  const size_t delimiter = input.rfind('-');
  size_t in = 0;
  if (delimiter != std::string_view::npos) {
    for (size_t i = 0; i < delimiter; ++i) output.push_back(static_cast<unsigned char>(input[i]));
    in = delimiter + 1;
  }
  uint64_t n = kInitialN, i = 0, bias = kInitialBias;
  while (in < input.size()) {
    const uint64_t oldi = i;
    uint64_t w = 1;
    for (uint64_t k = kBase;; k += kBase) {
      if (in >= input.size()) return std::nullopt;
      const std::optional<uint32_t> digit = Digit(input[in++]);
      if (!digit) return std::nullopt;
      i += *digit * w;
      if (i > 0xFFFFFFFFu) return std::nullopt;
      const uint64_t t = k <= bias ? kTMin : k >= bias + kTMax ? kTMax : k - bias;
      if (*digit < t) break;
      w *= kBase - t;
    }
    bias = Adapt(static_cast<uint32_t>(i - oldi), static_cast<uint32_t>(output.size() + 1), oldi == 0);
    n += i / (output.size() + 1);
    i %= output.size() + 1;
    if (n > 0x10FFFF) return std::nullopt;
    output.insert(output.begin() + static_cast<std::ptrdiff_t>(i), static_cast<char32_t>(n));
    ++i;
  }
  return output;
}

void CheckHost(std::string_view host) {
  std::string encoded;
  try {
    encoded = TzqIdnTranslator::EncodeHost(host);
  } catch (const EzqIdnError&) {
    return;
  }
  // Control characters are refused, never dropped or taken for separators.
  for (char c : host)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) __builtin_trap();
  size_t from = 0, inFrom = 0;
  for (;;) {
    const size_t end = encoded.find('.', from);
    const std::string_view label = std::string_view(encoded).substr(from, end == std::string::npos ? end : end - from);
    const size_t inEnd = host.find('.', inFrom);
    const std::string_view original = host.substr(inFrom, inEnd == std::string_view::npos ? inEnd : inEnd - inFrom);
    if (label.size() > 63 && label != original) __builtin_trap();
    bool ascii = true;
    for (char c : original) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii && label != original) __builtin_trap();
    if (!ascii && label.substr(0, 4) != "xn--") __builtin_trap();
    for (char c : label)
      if (static_cast<unsigned char>(c) >= 0x80) __builtin_trap();
    if (end == std::string::npos || inEnd == std::string_view::npos) {
      if ((end == std::string::npos) != (inEnd == std::string_view::npos)) __builtin_trap();
      break;
    }
    from = end + 1;
    inFrom = inEnd + 1;
  }
}

void CheckPunycode(const uint8_t* data, size_t size, size_t cap) {
  std::u32string points;
  for (size_t i = 0; i + 2 < size; i += 3)
    points.push_back(static_cast<char32_t>((data[i] | data[i + 1] << 8 | data[i + 2] << 16) % 0x110000));
  std::string coded;
  try {
    coded = TzqIdnTranslator::Punycode(points, cap);
  } catch (const EzqIdnError&) {
    return;
  }
  if (coded.size() > cap) __builtin_trap();
  const std::optional<std::u32string> decoded = Decode(coded);
  if (!decoded || *decoded != points) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  SetLocalCodePage((data[0] & 1) ? CP_WINDOWS1252 : CP_UTF8);
  CheckHost(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
  CheckPunycode(data + 1, size - 1, data[0] & 2 ? 63 : std::u32string_view::npos);
  return 0;
}
