#pragma once
// The built-in single-byte charsets of TzqTranslator, in lookup order (the first name that
// matches wins). Each map replaces a byte by the entry at its value: decode turns bytes in the
// charset into text bytes, encode the reverse. Bytes below 0x80 never change.
//
// The Cyrillic maps recode against Windows-1251. A character with no place on the other side
// (box drawing, C1 controls, ...) keeps its byte when that byte is free there, else takes the
// lowest free one: every Cyrillic map is a permutation, so round trips never lose a byte.
//
// characters gives the Unicode character of each byte in the charset, for texts in UTF-8.

#include <cstdint>

#include "core/zqApi.h"

namespace zq {

struct ZQ_API TzqCharsetTable {
  const char* name;
  const uint8_t* decode;       // 256 entries
  const uint8_t* encode;       // 256 entries
  const char16_t* characters;  // 256 entries
};

constexpr int kCharsetTableCount = 12;
extern ZQ_API const TzqCharsetTable kCharsetTables[kCharsetTableCount];

}  // namespace zq
