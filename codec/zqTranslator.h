#pragma once
// Conversions between the library's texts (bytes in the local code page) and bytes in a
// named charset: "utf-8", the built-in single-byte tables, or a plain copy for any other name.
// With a UTF-8 local code page, "utf-8" gives every well-formed text back unchanged, and the
// table charsets convert between their bytes and UTF-8 text (a character a table cannot hold,
// or a malformed byte, becomes '?'); with Windows-1252 texts the tables map bytes as they
// stand. Nothing here raises on bad input.

#include <cstdint>
#include <string>
#include <string_view>

#include "core/zqApi.h"
#include "core/zqStream.h"

namespace zq {

class ZQ_API TzqTranslator {
public:
  TzqTranslator() = delete;

  static TzqByteArray TextToBytes(std::string_view text, std::string_view charset);
  static TzqByteArray TextToBytes(std::string_view text);
  static int64_t GetByteCount(std::string_view text, std::string_view charset);
  // Copies min(size, converted length) bytes into buffer.
  static void TextToBuffer(std::string_view text, void* buffer, std::string_view charset, int64_t size);

  // count <= 0 gives an empty text; the bytes end early at a zero byte.
  static std::string BytesToText(const TzqByteArray& bytes, int64_t offset, std::string_view charset, int64_t count);
  static std::string BytesToText(const TzqByteArray& bytes, std::string_view charset);
  static std::string BytesToText(const void* data, int64_t count, std::string_view charset);

  // Table mappings over whole streams or texts. TranslateTo encodes text into the charset,
  // TranslateFrom decodes from it; other names copy. The streams are read and written from
  // their starts (the destination is overwritten, not truncated; it may be the source itself)
  // and both positions are restored.
  static void TranslateTo(std::string_view charset, TzqStream& source, TzqStream& destination);
  static void TranslateFrom(std::string_view charset, TzqStream& source, TzqStream& destination);
  static std::string TranslateTo(std::string_view charset, std::string_view text);
  static std::string TranslateFrom(std::string_view charset, std::string_view text);

  static std::u16string AnsiToWide(std::string_view text, int codePage);
  static std::string WideToAnsi(std::u16string_view text, int codePage);
  // Surrogate pairs become four-byte sequences; a lone surrogate becomes U+FFFD.
  static std::string WideToUtf8(std::u16string_view text);
  // Well-formed sequences of one to four bytes decode exactly (four-byte ones to surrogate
  // pairs). Anything else never fails: the lead takes two more bytes when its bit 0x20 is set,
  // else one; the sequence gives U+0080, or a blank when the byte that broke it was a blank
  // (that byte is consumed). Overlong forms and encoded surrogates count as malformed.
  static std::u16string Utf8ToWide(std::string_view text);

  // True when charset names "utf-8" (any case).
  static bool IsUtf8(std::string_view charset);
};

}  // namespace zq
