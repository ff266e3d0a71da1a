#include "codec/zqTranslator.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_map>

#include "codec/zqCharsetTables.h"
#include "core/zqCodePage.h"
#include "core/zqText.h"

namespace zq {

namespace {

constexpr char16_t kMalformedUtf8 = 0x0080;
// What a single-byte code page writes for a character it cannot hold.
constexpr char kSubstitute = '?';
constexpr int64_t kStreamChunk = 64 * 1024;

const TzqCharsetTable* FindTable(std::string_view charset) {
  for (const TzqCharsetTable& table : kCharsetTables)
    if (SameText(charset, table.name)) return &table;
  return nullptr;
}

// No map means a plain copy.
void MapBytes(char* bytes, size_t count, const uint8_t* map) {
  if (!map) return;
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(map[static_cast<unsigned char>(bytes[i])]);
}

std::string MapText(std::string_view text, const uint8_t* map) {
  std::string out(text);
  MapBytes(out.data(), out.size(), map);
  return out;
}

bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// A sequence that is not well-formed: the lead takes two more bytes when its bit 0x20 is set,
// else one. A byte that fails to continue it is consumed too; the whole gives U+0080, or a
// blank when that byte was a blank.
char16_t SkipMalformed(std::string_view text, size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i++]);
  const int more = (lead & 0x20) ? 2 : 1;
  for (int k = 0; k < more && i < text.size(); ++k) {
    const auto next = static_cast<unsigned char>(text[i++]);
    if (!IsContinuation(next)) return next == ' ' ? u' ' : kMalformedUtf8;
  }
  return kMalformedUtf8;
}

// Puts a stream back where it was, also when the translation fails half way.
class PositionKeeper {
public:
  explicit PositionKeeper(TzqStream& stream) : stream_(stream), position_(stream.Position()) {}
  ~PositionKeeper() {
    try {
      stream_.SetPosition(position_);
    } catch (...) {  // NOLINT: a destructor must not throw; the first failure is the one reported
    }
  }
  PositionKeeper(const PositionKeeper&) = delete;
  PositionKeeper& operator=(const PositionKeeper&) = delete;

private:
  TzqStream& stream_;
  int64_t position_;
};

// Source and destination may be the same stream: each chunk is written back where it was read.
void MapStream(const uint8_t* map, TzqStream& source, TzqStream& destination) {
  PositionKeeper keepSource(source);
  PositionKeeper keepDestination(destination);
  std::string chunk(kStreamChunk, '\0');
  int64_t offset = 0;
  for (;;) {
    source.SetPosition(offset);
    const int64_t count = source.Read(chunk.data(), kStreamChunk);
    if (count <= 0) break;
    MapBytes(chunk.data(), static_cast<size_t>(count), map);
    destination.SetPosition(offset);
    destination.WriteBuffer(chunk.data(), count);
    offset += count;
  }
}

const uint8_t* DecodeMap(std::string_view charset) {
  const TzqCharsetTable* table = FindTable(charset);
  return table ? table->decode : nullptr;
}

const uint8_t* EncodeMap(std::string_view charset) {
  const TzqCharsetTable* table = FindTable(charset);
  return table ? table->encode : nullptr;
}

// With UTF-8 texts a table charset converts through Unicode; with Windows-1252 texts the byte
// maps apply as they stand.
const TzqCharsetTable* UnicodeTable(std::string_view charset) {
  return LocalCodePage() == CP_UTF8 ? FindTable(charset) : nullptr;
}

using TzqReverseTable = std::unordered_map<char32_t, uint8_t>;

// Character to byte. Where two bytes give one character the higher byte wins, which is the
// byte the charset's own encoding map writes.
const TzqReverseTable& ReverseTable(const TzqCharsetTable& table) {
  static const auto reverse = [] {
    std::array<TzqReverseTable, kCharsetTableCount> all;
    for (int i = 0; i < kCharsetTableCount; ++i)
      for (int b = 0x80; b < 0x100; ++b) all[size_t(i)][kCharsetTables[i].characters[b]] = uint8_t(b);
    return all;
  }();
  return reverse[size_t(&table - kCharsetTables)];
}

std::string EncodeThroughUnicode(std::string_view text, const TzqCharsetTable& table) {
  const TzqReverseTable& reverse = ReverseTable(table);
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t c = 0;
    const size_t length = DecodeUtf8(text, i, c);
    if (length == 0) {
      out += kSubstitute;
      ++i;
      continue;
    }
    i += length;
    if (c < 0x80) {
      out += static_cast<char>(c);
      continue;
    }
    const auto found = reverse.find(c);
    out += found == reverse.end() ? kSubstitute : static_cast<char>(found->second);
  }
  return out;
}

std::string DecodeThroughUnicode(std::string_view bytes, const TzqCharsetTable& table) {
  std::u16string wide(bytes.size(), u'\0');
  for (size_t i = 0; i < bytes.size(); ++i) wide[i] = table.characters[static_cast<unsigned char>(bytes[i])];
  return Utf16ToUtf8(wide);
}

std::string Encode(std::string_view text, std::string_view charset) {
  if (TzqTranslator::IsUtf8(charset))
    return TzqTranslator::WideToUtf8(TzqTranslator::AnsiToWide(text, LocalCodePage()));
  if (const TzqCharsetTable* table = UnicodeTable(charset)) return EncodeThroughUnicode(text, *table);
  return TzqTranslator::TranslateTo(charset, text);
}

}  // namespace

bool TzqTranslator::IsUtf8(std::string_view charset) { return SameText(charset, "utf-8"); }

TzqByteArray TzqTranslator::TextToBytes(std::string_view text, std::string_view charset) {
  const std::string bytes = Encode(text, charset);
  return TzqByteArray(bytes.begin(), bytes.end());
}

TzqByteArray TzqTranslator::TextToBytes(std::string_view text) { return TzqByteArray(text.begin(), text.end()); }

int64_t TzqTranslator::GetByteCount(std::string_view text, std::string_view charset) {
  if (!IsUtf8(charset) && UnicodeTable(charset) == nullptr) return static_cast<int64_t>(text.size());
  return static_cast<int64_t>(Encode(text, charset).size());
}

void TzqTranslator::TextToBuffer(std::string_view text, void* buffer, std::string_view charset, int64_t size) {
  if (!buffer || size <= 0) return;
  const std::string bytes = Encode(text, charset);
  std::memcpy(buffer, bytes.data(), static_cast<size_t>(std::min<int64_t>(size, static_cast<int64_t>(bytes.size()))));
}

std::string TzqTranslator::BytesToText(const void* data, int64_t count, std::string_view charset) {
  if (!data || count <= 0) return {};
  const auto* bytes = static_cast<const char*>(data);
  const auto* zero = static_cast<const char*>(std::memchr(bytes, 0, static_cast<size_t>(count)));
  const std::string_view raw(bytes, zero ? static_cast<size_t>(zero - bytes) : static_cast<size_t>(count));
  if (IsUtf8(charset)) return WideToAnsi(Utf8ToWide(raw), LocalCodePage());
  if (const TzqCharsetTable* table = UnicodeTable(charset)) return DecodeThroughUnicode(raw, *table);
  return TranslateFrom(charset, raw);
}

std::string TzqTranslator::BytesToText(const TzqByteArray& bytes, int64_t offset, std::string_view charset,
                                       int64_t count) {
  const auto size = static_cast<int64_t>(bytes.size());
  if (offset < 0 || offset >= size || count <= 0) return {};
  return BytesToText(bytes.data() + offset, std::min(count, size - offset), charset);
}

std::string TzqTranslator::BytesToText(const TzqByteArray& bytes, std::string_view charset) {
  return BytesToText(bytes, 0, charset, static_cast<int64_t>(bytes.size()));
}

void TzqTranslator::TranslateTo(std::string_view charset, TzqStream& source, TzqStream& destination) {
  MapStream(EncodeMap(charset), source, destination);
}

void TzqTranslator::TranslateFrom(std::string_view charset, TzqStream& source, TzqStream& destination) {
  MapStream(DecodeMap(charset), source, destination);
}

std::string TzqTranslator::TranslateTo(std::string_view charset, std::string_view text) {
  return MapText(text, EncodeMap(charset));
}

std::string TzqTranslator::TranslateFrom(std::string_view charset, std::string_view text) {
  return MapText(text, DecodeMap(charset));
}

std::u16string TzqTranslator::AnsiToWide(std::string_view text, int codePage) { return zq::AnsiToWide(text, codePage); }

std::string TzqTranslator::WideToAnsi(std::u16string_view text, int codePage) { return zq::WideToAnsi(text, codePage); }

std::string TzqTranslator::WideToUtf8(std::u16string_view text) { return Utf16ToUtf8(text); }

std::u16string TzqTranslator::Utf8ToWide(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t codePoint = 0;
    if (const size_t length = DecodeUtf8(text, i, codePoint)) {
      if (codePoint < 0x10000)
        out += static_cast<char16_t>(codePoint);
      else
        out += CodePointsToUtf16(std::u32string_view(&codePoint, 1));
      i += length;
    } else {
      out += SkipMalformed(text, i);
    }
  }
  return out;
}

}  // namespace zq
