#pragma once
// International host names to their ASCII form: each label that is not plain ASCII becomes
// "xn--" followed by its Punycode (RFC 3492). Only this direction exists.

#include <cstddef>
#include <string>
#include <string_view>

#include "core/zqApi.h"
#include "core/zqError.h"

namespace zq {

class ZQ_API EzqIdnError : public EzqError {
public:
  using EzqError::EzqError;
};

class ZQ_API TzqIdnTranslator {
public:
  TzqIdnTranslator() = delete;

  // The host's labels (split at '.', empty ones kept) encoded and joined with '.'.
  static std::string EncodeHost(std::string_view host);
  // A label in the local code page. All-ASCII labels come back unchanged (no case mapping);
  // any other label is lower-cased before Punycode, as IDNA maps it.
  // With a UTF-8 code page the label is decoded to Unicode first; otherwise each byte is taken
  // as a code point from 0 to 255. A label whose ASCII form would exceed the 63 octets a DNS
  // label can hold, or that is not valid UTF-8 under a UTF-8 code page, raises EzqIdnError.
  static std::string EncodeLabel(std::string_view label);
  // RFC 3492 encoding of code points, without the "xn--" prefix. Raises EzqIdnError when the
  // result would grow beyond maxLength characters or delta beyond the signed 32-bit range.
  static std::string Punycode(std::u32string_view codePoints, size_t maxLength = std::u32string_view::npos);
};

}  // namespace zq
