#include "codec/zqPercentEncoder.h"

#include "codec/zqTranslator.h"
#include "core/zqText.h"

namespace zq {

namespace {

const char* const sFormFieldReservedCharacters = "!\"#$%&'()+,/:;<=>?@[\\]^`{|}~";
const char* const sUnsafeSetCharset = "us-ascii";
const char* const sUpperHexDigits = "0123456789ABCDEF";

// The value of a hex digit of either case, or -1.
int HexValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsHexDigit(uint8_t c) { return HexValue(c) >= 0; }

}  // namespace

void TzqPercentEncoder::SetUnsafeCharacters(const std::string& value) {
  if (value == unsafeCharacters_) return;
  unsafeCharacters_ = value;
  unsafeSet_.reset();
  unsafeSetValid_ = false;
}

const std::bitset<256>& TzqPercentEncoder::UnsafeSet() {
  if (!unsafeSetValid_) {
    for (uint8_t b : TzqTranslator::TextToBytes(unsafeCharacters_, sUnsafeSetCharset)) unsafeSet_.set(b);
    unsafeSetValid_ = true;
  }
  return unsafeSet_;
}

bool TzqPercentEncoder::IsUnsafe(uint8_t b) {
  const std::bitset<256>& set = UnsafeSet();
  if (set.none()) return false;
  return b < 32 || b > 126 || set.test(b);
}

uint8_t TzqPercentEncoder::DecodeChar(uint8_t b) { return b; }

uint8_t TzqPercentEncoder::EncodeChar(uint8_t b) { return b; }

TzqByteArray TzqPercentEncoder::DecodeToBytes(std::string_view text) {
  enum { kPlain, kFirstDigit, kSecondDigit } state = kPlain;
  TzqByteArray result;
  result.reserve(text.size());
  int value = 0;
  for (char ch : text) {
    const auto c = static_cast<uint8_t>(ch);
    if (state == kPlain) {
      if (c == '%')
        state = kFirstDigit;
      else
        result.push_back(DecodeChar(c));
      continue;
    }
    const int digit = HexValue(c);
    if (digit < 0) {
      result.push_back('%');
      result.push_back(c);
      state = kPlain;
    } else if (state == kFirstDigit) {
      value = digit * 16;
      state = kSecondDigit;
    } else {
      result.push_back(static_cast<uint8_t>(value + digit));
      state = kPlain;
    }
  }
  return result;
}

std::string TzqPercentEncoder::EncodeBytes(const TzqByteArray& bytes) {
  std::string result;
  result.reserve(bytes.size());
  const size_t n = bytes.size();
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = bytes[i];
    if (preserveEscapes_ && b == '%' && i + 2 < n && IsHexDigit(bytes[i + 1]) && IsHexDigit(bytes[i + 2])) {
      result += '%';
      result += static_cast<char>(bytes[i + 1]);
      result += static_cast<char>(bytes[i + 2]);
      i += 2;
    } else if (IsUnsafe(b)) {
      result += '%';
      result += sUpperHexDigits[b >> 4];
      result += sUpperHexDigits[b & 0x0F];
    } else {
      result += static_cast<char>(EncodeChar(b));
    }
  }
  return result;
}

std::string TzqPercentEncoder::Encode(std::string_view text, std::string_view charset) {
  const TzqByteArray bytes = TzqTranslator::TextToBytes(text, charset);
  if (bytes.empty()) return {};
  return EncodeBytes(bytes);
}

std::string TzqPercentEncoder::Decode(std::string_view text, std::string_view charset) {
  const TzqByteArray bytes = DecodeToBytes(text);
  if (bytes.empty()) return {};
  return TzqTranslator::BytesToText(bytes, charset);
}

TzqFormFieldEncoder::TzqFormFieldEncoder() { SetUnsafeCharacters(sFormFieldReservedCharacters); }

uint8_t TzqFormFieldEncoder::DecodeChar(uint8_t b) { return b == '+' ? ' ' : b; }

uint8_t TzqFormFieldEncoder::EncodeChar(uint8_t b) { return b == ' ' ? '+' : b; }

}  // namespace zq
