#pragma once
// Percent encoding of texts in a charset: every unsafe byte is written as '%' and two hex
// digits. Descendants choose the unsafe characters and may map single bytes both ways.

#include <bitset>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/zqApi.h"
#include "core/zqComponent.h"
#include "core/zqStream.h"

namespace zq {

class ZQ_API TzqPercentEncoder : public TzqObject {
public:
  TzqPercentEncoder() = default;
  std::string ClassName() const override { return "TzqPercentEncoder"; }

  // When set, a '%' already followed by two hex digits is copied as it stands.
  bool PreserveEscapes() const { return preserveEscapes_; }
  void SetPreserveEscapes(bool value) { preserveEscapes_ = value; }

  // Characters always escaped. While empty, nothing at all is escaped, not even control bytes.
  const std::string& UnsafeCharacters() const { return unsafeCharacters_; }
  void SetUnsafeCharacters(const std::string& value);

  // Empty unsafe set: false. Otherwise true for the set's bytes and for bytes below 32 or above 126.
  virtual bool IsUnsafe(uint8_t b);
  // Mapping of each plain byte while decoding; the base keeps it.
  virtual uint8_t DecodeChar(uint8_t b);
  // Mapping of each byte written without escaping; the base keeps it.
  virtual uint8_t EncodeChar(uint8_t b);
  // Malformed escapes pass through: '%' with a non-hex character gives both characters (a
  // first digit already read is dropped); a '%' or single digit pending at the end is dropped.
  virtual TzqByteArray DecodeToBytes(std::string_view text);
  virtual std::string EncodeBytes(const TzqByteArray& bytes);
  // Text to bytes in charset (empty: the translator's default), then EncodeBytes.
  virtual std::string Encode(std::string_view text, std::string_view charset);
  // DecodeToBytes, then bytes in charset to text.
  virtual std::string Decode(std::string_view text, std::string_view charset);

private:
  const std::bitset<256>& UnsafeSet();

  bool preserveEscapes_ = false;
  // The unsafe characters as "us-ascii" bytes, built on first use.
  std::bitset<256> unsafeSet_;
  bool unsafeSetValid_ = false;
  std::string unsafeCharacters_;
};

// The encoder of application/x-www-form-urlencoded names and values: letters, digits and
// "-._*" stay, a space becomes '+', everything else is escaped; decoding maps '+' to space.
class ZQ_API TzqFormFieldEncoder : public TzqPercentEncoder {
public:
  TzqFormFieldEncoder();
  std::string ClassName() const override { return "TzqFormFieldEncoder"; }

  uint8_t DecodeChar(uint8_t b) override;
  uint8_t EncodeChar(uint8_t b) override;
};

}  // namespace zq
