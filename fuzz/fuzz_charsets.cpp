// Charset translation both ways, for every built-in table and "utf-8", under both local code
// pages, over texts and streams (in place too). Invariants: a table maps one byte to one byte,
// a table whose maps invert each other round-trips every byte, bytes below 0x80 never change,
// the byte count matches the conversion, and UTF-8 decoding never grows beyond three text bytes
// per input byte.
// Input: a flag byte (table or utf-8, code page), then the bytes.

#include <cstdint>
#include <string>
#include <string_view>

#include "codec/zqCharsetTables.h"
#include "codec/zqTranslator.h"
#include "core/zqCodePage.h"
#include "core/zqStream.h"

using namespace zq;

namespace {

bool Inverts(const TzqCharsetTable& table) {
  for (int b = 0; b < 256; ++b)
    if (table.encode[table.decode[b]] != b) return false;
  return true;
}

std::string ThroughStream(std::string_view charset, std::string_view text, bool decode, bool inPlace) {
  TzqMemoryStream source;
  source.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
  TzqMemoryStream other;
  TzqMemoryStream& destination = inPlace ? source : other;
  if (decode)
    TzqTranslator::TranslateFrom(charset, source, destination);
  else
    TzqTranslator::TranslateTo(charset, source, destination);
  return destination.DataString();
}

void CheckTable(const TzqCharsetTable& table, std::string_view bytes, bool utf8Text) {
  const std::string_view name = table.name;
  const std::string text = TzqTranslator::BytesToText(bytes.data(), static_cast<int64_t>(bytes.size()), name);
  const TzqByteArray back = TzqTranslator::TextToBytes(text, name);
  if (TzqTranslator::GetByteCount(text, name) != static_cast<int64_t>(back.size())) __builtin_trap();
  const std::string_view raw = bytes.substr(0, bytes.find('\0'));
  // Through Unicode one byte is one character; with Windows-1252 texts one byte is one byte.
  if (back.size() != raw.size()) __builtin_trap();
  for (size_t i = 0; i < raw.size(); ++i)
    if (static_cast<unsigned char>(raw[i]) < 0x80 && back[i] != static_cast<unsigned char>(raw[i])) __builtin_trap();
  if (!utf8Text && Inverts(table) && std::string(back.begin(), back.end()) != raw) __builtin_trap();

  const std::string decoded = ThroughStream(name, bytes, true, false);
  if (decoded.size() != bytes.size() || ThroughStream(name, bytes, true, true) != decoded) __builtin_trap();
  const std::string encoded = ThroughStream(name, decoded, false, false);
  if (encoded.size() != bytes.size()) __builtin_trap();
  if (Inverts(table) && encoded != bytes) __builtin_trap();
}

void CheckUtf8(std::string_view bytes) {
  const std::string text = TzqTranslator::BytesToText(bytes.data(), static_cast<int64_t>(bytes.size()), "utf-8");
  if (text.size() > 3 * bytes.size()) __builtin_trap();
  const TzqByteArray back = TzqTranslator::TextToBytes(text, "utf-8");
  if (TzqTranslator::GetByteCount(text, "utf-8") != static_cast<int64_t>(back.size())) __builtin_trap();
  const std::u16string wide = TzqTranslator::Utf8ToWide(bytes);
  if (wide.size() > bytes.size()) __builtin_trap();
  // Well-formed UTF-8 comes back from UTF-16 unchanged.
  const std::string again = TzqTranslator::WideToUtf8(wide);
  if (TzqTranslator::Utf8ToWide(again) != wide) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool utf8Text = !(data[0] & 0x80);
  SetLocalCodePage(utf8Text ? CP_UTF8 : CP_WINDOWS1252);
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  const int choice = (data[0] & 0x7F) % (kCharsetTableCount + 1);
  if (choice == kCharsetTableCount)
    CheckUtf8(bytes);
  else
    CheckTable(kCharsetTables[choice], bytes, utf8Text);
  return 0;
}
