#pragma once
// Byte-string helpers shared by the whole library: case, trimming, numbers.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/zqApi.h"

namespace zq {

// ASCII case folding only: texts are bytes in the local code page.
ZQ_API char UpperChar(char c);
ZQ_API char LowerChar(char c);
ZQ_API std::string UpperCase(std::string_view text);
ZQ_API std::string LowerCase(std::string_view text);
// <0, 0, >0 like strcmp, ignoring the case of ASCII letters.
ZQ_API int CompareTextIgnoreCase(std::string_view a, std::string_view b);
ZQ_API bool SameText(std::string_view a, std::string_view b);
ZQ_API bool StartsText(std::string_view prefix, std::string_view text);
ZQ_API bool EndsText(std::string_view suffix, std::string_view text);
// 0-based index of pattern in text without regard to case, or npos.
ZQ_API size_t FindText(std::string_view pattern, std::string_view text, size_t from = 0);

// Remove blanks and control characters (bytes <= 32) at the ends; TrimView without a copy.
ZQ_API std::string_view TrimView(std::string_view text);
ZQ_API std::string Trim(std::string_view text);
ZQ_API std::string TrimLeft(std::string_view text);
ZQ_API std::string TrimRight(std::string_view text);

// Decimal (or 0x / $ hexadecimal) integers with optional sign and surrounding blanks, as the
// library's texts carry them. The Try forms return nullopt on anything else or on overflow;
// the others raise EzqConvertError "'<text>' is not a valid integer value".
ZQ_API std::optional<int64_t> TryStrToInt64(std::string_view text);
ZQ_API std::optional<int32_t> TryStrToInt(std::string_view text);
ZQ_API int64_t StrToInt64(std::string_view text);
ZQ_API int32_t StrToInt(std::string_view text);
ZQ_API int32_t StrToIntDef(std::string_view text, int32_t fallback);
ZQ_API int64_t StrToInt64Def(std::string_view text, int64_t fallback);
ZQ_API std::string IntToStr(int64_t value);

}  // namespace zq
