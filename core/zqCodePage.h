#pragma once
// The local ("ANSI") code page and conversions between it and UTF-16.

#include <string>
#include <string_view>

#include "core/zqApi.h"

namespace zq {

constexpr int CP_UTF8 = 65001;
constexpr int CP_WINDOWS1252 = 1252;
constexpr int CP_LATIN1 = 28591;

// The code page the library's texts are in: UTF-8 unless Windows-1252 is selected.
ZQ_API int LocalCodePage();
// Selects the process-wide local code page (CP_UTF8 or CP_WINDOWS1252).
ZQ_API void SetLocalCodePage(int codePage);

// Bytes in a code page to UTF-16. Malformed UTF-8 becomes U+FFFD.
ZQ_API std::u16string AnsiToWide(std::string_view text, int codePage);
// UTF-16 to bytes in a code page; characters it cannot hold become its default character
// ('?' for the single-byte pages, U+FFFD for UTF-8).
ZQ_API std::string WideToAnsi(std::u16string_view text, int codePage);

// Decodes the well-formed UTF-8 sequence at text[i] into c and returns its length, or 0 when the
// bytes there are not one (overlong forms, surrogates and values above U+10FFFF included).
ZQ_API size_t DecodeUtf8(std::string_view text, size_t i, char32_t& c);

// Strict UTF-8 to UTF-16 and back, for callers that need real Unicode (four-byte sequences
// become surrogate pairs).
ZQ_API std::u16string Utf8ToUtf16(std::string_view text);
ZQ_API std::string Utf16ToUtf8(std::u16string_view text);

// Code points of a UTF-16 text, surrogate pairs combined; lone surrogates stay as they are.
ZQ_API std::u32string Utf16ToCodePoints(std::u16string_view text);
ZQ_API std::u16string CodePointsToUtf16(std::u32string_view codePoints);

}  // namespace zq
