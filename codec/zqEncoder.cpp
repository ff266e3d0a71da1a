#include "codec/zqEncoder.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "codec/zqTranslator.h"

namespace zq {

namespace {

const char* const sUnsupportedFormat = "Unsupported format.";
const char* const sWrongSymbols = "Wrong symbols in source stream.";

constexpr int kUnsupportedFormatCode = -1;
constexpr int kWrongSymbolsCode = -2;
constexpr int32_t kDefaultBatchSize = 8192;
constexpr int64_t kDefaultLineLength = 76;
// A uuencoded count character holds six bits.
constexpr int64_t kMaxUULineBytes = 63;

constexpr char kCR = '\r';
constexpr char kLF = '\n';

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Decoding table: 0..63 symbol values, kSkip for bytes ignored anywhere, kBad otherwise.
constexpr uint8_t kSkip = 0x40;
constexpr uint8_t kBad = 0x80;

constexpr std::array<uint8_t, 256> MakeBase64DecodeTable() {
  std::array<uint8_t, 256> table{};
  for (auto& entry : table) entry = kBad;
  for (int i = 0; i < 64; ++i) table[static_cast<uint8_t>(kBase64Alphabet[i])] = static_cast<uint8_t>(i);
  for (char c : {kCR, kLF, ' ', '='}) table[static_cast<uint8_t>(c)] = kSkip;
  return table;
}

constexpr std::array<uint8_t, 256> kBase64DecodeTable = MakeBase64DecodeTable();

// numerator / 4 rounded to the nearest integer, halves to the even one.
int64_t RoundQuarters(int64_t numerator) {
  const int64_t quotient = numerator / 4;
  const int64_t remainder = numerator % 4;
  if (remainder > 2 || (remainder == 2 && quotient % 2 != 0)) return quotient + 1;
  return quotient;
}

bool IsCrOrLf(int c) { return c == kCR || c == kLF; }

int HexValue(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Reads a stream byte by byte through a buffer, with one byte of look-ahead.
class SourceReader {
public:
  explicit SourceReader(TzqStream& source) : source_(source) {}

  int Peek() {
    if (next_ == end_ && !Fill()) return -1;
    return buffer_[next_];
  }
  int Get() {
    const int c = Peek();
    if (c >= 0) {
      ++next_;
      ++consumed_;
    }
    return c;
  }
  int64_t Consumed() const { return consumed_; }

private:
  bool Fill() {
    end_ =
        static_cast<size_t>(std::max<int64_t>(source_.Read(buffer_.data(), static_cast<int64_t>(buffer_.size())), 0));
    next_ = 0;
    return end_ > 0;
  }

  TzqStream& source_;
  std::array<uint8_t, 16 * 1024> buffer_;
  size_t next_ = 0;
  size_t end_ = 0;
  int64_t consumed_ = 0;
};

// Collects output and writes it to the destination in large pieces.
class OutputSink {
public:
  explicit OutputSink(TzqStream& destination) : destination_(destination) {}

  void Put(char c) {
    buffer_.push_back(c);
    if (buffer_.size() >= kFlushSize) Flush();
  }
  void Put(std::string_view text) {
    buffer_.append(text);
    if (buffer_.size() >= kFlushSize) Flush();
  }
  void Flush() {
    destination_.WriteBuffer(buffer_.data(), static_cast<int64_t>(buffer_.size()));
    buffer_.clear();
  }

private:
  static constexpr size_t kFlushSize = 64 * 1024;
  TzqStream& destination_;
  std::string buffer_;
};

// The two characters of every 12-bit value, so that a group of three bytes takes two look-ups.
constexpr std::array<std::array<char, 2>, 4096> MakeBase64Pairs() {
  std::array<std::array<char, 2>, 4096> pairs{};
  for (size_t v = 0; v < pairs.size(); ++v) pairs[v] = {kBase64Alphabet[v >> 6], kBase64Alphabet[v & 63]};
  return pairs;
}

constexpr std::array<std::array<char, 2>, 4096> kBase64Pairs = MakeBase64Pairs();

// Codes count bytes as base64 characters, padding a final partial group; returns the
// number of characters written.
size_t EncodeBase64Block(const uint8_t* in, size_t count, char* out) {
  char* const start = out;
  size_t i = 0;
  for (; i + 3 <= count; i += 3) {
    const uint32_t group = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    std::memcpy(out, kBase64Pairs[group >> 12].data(), 2);
    std::memcpy(out + 2, kBase64Pairs[group & 0xFFF].data(), 2);
    out += 4;
  }
  if (i < count) {
    const bool two = count - i == 2;
    const uint32_t group = (uint32_t{in[i]} << 16) | (two ? uint32_t{in[i + 1]} << 8 : 0);
    out[0] = kBase64Alphabet[group >> 18];
    out[1] = kBase64Alphabet[(group >> 12) & 63];
    out[2] = two ? kBase64Alphabet[(group >> 6) & 63] : '=';
    out[3] = '=';
    out += 4;
  }
  return static_cast<size_t>(out - start);
}

// The progress of base64 encoding: from half the input size up, one report for each
// thousandth of the output passed, while the figure stays below the input size.
class Base64EncodeProgress {
public:
  Base64EncodeProgress(int64_t total, int64_t outputSize, std::function<void(int64_t)> report)
      : half_(total / 2),
        total_(total),
        step_(outputSize >= 1000 ? outputSize / 1000 : 0),
        report_(std::move(report)) {}

  void Passed(int64_t outputPosition) {
    while (step_ > 0 && next_ * step_ <= outputPosition) {
      // h * k / 1000 without overflowing for huge inputs.
      const int64_t figure = half_ + (half_ / 1000) * next_ + (half_ % 1000) * next_ / 1000 + 1;
      if (figure >= total_) {
        step_ = 0;
        return;
      }
      report_(figure);
      ++next_;
    }
  }

private:
  int64_t half_;
  int64_t total_;
  int64_t step_;
  int64_t next_ = 1;
  std::function<void(int64_t)> report_;
};

char UUChar(uint32_t value) { return value == 0 ? '`' : static_cast<char>(32 + value); }

void EncodeUULine(const uint8_t* in, size_t count, std::string& out) {
  out.push_back(count == 0 ? '`' : static_cast<char>(32 + (count & 63)));
  for (size_t i = 0; i < count; i += 3) {
    const size_t left = count - i;
    const uint32_t group =
        (uint32_t{in[i]} << 16) | (left > 1 ? uint32_t{in[i + 1]} << 8 : 0) | (left > 2 ? in[i + 2] : 0);
    const size_t chars = left >= 3 ? 4 : left + 1;
    for (size_t k = 0; k < chars; ++k) out.push_back(UUChar((group >> (18 - 6 * k)) & 63));
  }
}

// Turns the six-bit values of a uuencoded line into exactly count bytes.
void DecodeUULine(const uint8_t* values, size_t count, std::vector<uint8_t>& out) {
  for (size_t i = 0, v = 0; i < count; i += 3, v += 4) {
    const uint32_t group =
        (uint32_t{values[v]} << 18) | (uint32_t{values[v + 1]} << 12) | (uint32_t{values[v + 2]} << 6) | values[v + 3];
    const size_t bytes = std::min<size_t>(3, count - i);
    for (size_t k = 0; k < bytes; ++k) out.push_back(static_cast<uint8_t>(group >> (16 - 8 * k)));
  }
}

bool StartsWithBegin(const TzqByteArray& data) {
  static constexpr std::string_view kBegin = "begin";
  return data.size() >= kBegin.size() && std::equal(kBegin.begin(), kBegin.end(), data.begin());
}

}  // namespace

TzqEncoder::TzqEncoder(TzqComponent* owner) : TzqComponent(owner) {}

void TzqEncoder::SetCharsPerLine(int32_t value) {
  if (charsPerLine_ != value) charsPerLine_ = value;
}

void TzqEncoder::SetEncodeMethod(TzqEncodeMethod value) {
  if (encodeMethod_ != value) encodeMethod_ = value;
}

void TzqEncoder::SetSuppressCrlf(bool value) {
  if (suppressCrlf_ != value) suppressCrlf_ = value;
}

void TzqEncoder::SetBatchSize(int32_t value) {
  if (batchSize_ != value) batchSize_ = value;
}

void TzqEncoder::SetAllowESC(bool value) {
  if (allowEsc_ != value) allowEsc_ = value;
}

void TzqEncoder::SetCharSet(const std::string& value) {
  if (charSet_ != value) charSet_ = value;
}

void TzqEncoder::SetErrorProcessing(TzqEncodeErrorProcessing value) {
  if (errorProcessing_ != value) errorProcessing_ = value;
}

int64_t TzqEncoder::EffectiveLineLength() const {
  const int64_t chars = charsPerLine_;
  switch (encodeMethod_) {
    case cmBase64:
      // 4 * round(C / 4 + 0.25) = 4 * round((C + 1) / 4).
      return chars < 64 ? 64 : 4 * RoundQuarters(chars + 1);
    case cmQuotedPrintable:
      return std::clamp<int64_t>(chars, 4, 132);
    case cmUUEncode:
      return std::clamp<int64_t>(chars, 3, 132);
    default:
      return chars >= 1 ? chars : kDefaultLineLength;
  }
}

void TzqEncoder::DoProgress(int64_t bytesDone, int64_t total) {
  if (OnProgress) OnProgress(this, bytesDone, total);
}

void TzqEncoder::Encode(TzqStream& source, TzqStream& destination) {
  Run(source, destination, &TzqEncoder::EncodeQuotedPrintable, &TzqEncoder::EncodeBase64, &TzqEncoder::EncodeUU);
}

void TzqEncoder::Decode(TzqStream& source, TzqStream& destination) {
  Run(source, destination, &TzqEncoder::DecodeQuotedPrintable, &TzqEncoder::DecodeBase64, &TzqEncoder::DecodeUU);
}

void TzqEncoder::Run(TzqStream& source, TzqStream& destination, Coder quotedPrintable, Coder base64, Coder uu) {
  const int64_t total = source.Size() - source.Position();
  if (total <= 0) return;
  Coder coder = nullptr;
  switch (encodeMethod_) {
    case cmQuotedPrintable:
      coder = quotedPrintable;
      break;
    case cmBase64:
      coder = base64;
      break;
    case cmUUEncode:
      coder = uu;
      break;
    case cmNone:
    case cm8Bit:
      coder = &TzqEncoder::Copy;
      break;
    default:
      throw EzqEncoderError(sUnsupportedFormat, kUnsupportedFormatCode);
  }
  DoProgress(0, total);
  (this->*coder)(source, destination, total);
}

void TzqEncoder::Copy(TzqStream& source, TzqStream& destination, int64_t total) {
  destination.CopyFrom(source, total);
  DoProgress(total, total);
}

void TzqEncoder::EncodeBase64(TzqStream& source, TzqStream& destination, int64_t total) {
  const TzqByteArray input = source.ReadRemaining();
  const auto size = static_cast<int64_t>(input.size());
  if (size == 0) return;
  const int64_t lineBytes = suppressCrlf_ ? size : EffectiveLineLength() * 3 / 4;
  const int64_t lines = (size + lineBytes - 1) / lineBytes;
  const int64_t outputSize = (size + 2) / 3 * 4 + 2 * (lines - 1);
  // Every byte is written below, so the buffer is not cleared first.
  const std::unique_ptr<char[]> output(new char[static_cast<size_t>(outputSize)]);
  Base64EncodeProgress progress(total, outputSize, [this, total](int64_t done) { DoProgress(done, total); });
  // Pieces of a line small enough for the progress figures to follow the work.
  constexpr int64_t kPiece = 3 * 1024;
  size_t out = 0;
  for (int64_t start = 0; start < size; start += lineBytes) {
    if (start > 0) {
      output[out++] = kCR;
      output[out++] = kLF;
    }
    const int64_t lineEnd = std::min(size, start + lineBytes);
    for (int64_t piece = start; piece < lineEnd; piece += kPiece) {
      const auto count = static_cast<size_t>(std::min(kPiece, lineEnd - piece));
      out += EncodeBase64Block(input.data() + piece, count, output.get() + out);
      progress.Passed(static_cast<int64_t>(out));
    }
  }
  destination.WriteBuffer(output.get(), outputSize);
  DoProgress(total, total);
}

void TzqEncoder::DecodeBase64(TzqStream& source, TzqStream& destination, int64_t total) {
  const int64_t batch = batchSize_ >= 1 ? batchSize_ : kDefaultBatchSize;
  std::vector<uint8_t> chunk(static_cast<size_t>(std::min(batch, total)));
  uint32_t bits = 0;  // the pending bits of a partial byte, carried from chunk to chunk
  int bitCount = 0;
  int64_t done = 0;
  stopped_ = false;
  while (done < total) {
    const int64_t got = source.Read(chunk.data(), std::min(batch, total - done));
    if (got <= 0) break;
    uint8_t* const data = chunk.data();
    const auto count = static_cast<size_t>(got);
    size_t in = 0;
    size_t out = 0;  // decoded bytes go back into the chunk, never ahead of what was read
    while (in < count) {
      if (bitCount == 0) {
        while (in + 4 <= count) {
          const uint8_t a = kBase64DecodeTable[data[in]], b = kBase64DecodeTable[data[in + 1]];
          const uint8_t c = kBase64DecodeTable[data[in + 2]], d = kBase64DecodeTable[data[in + 3]];
          if ((a | b | c | d) & (kSkip | kBad)) break;
          data[out] = static_cast<uint8_t>((a << 2) | (b >> 4));
          data[out + 1] = static_cast<uint8_t>((b << 4) | (c >> 2));
          data[out + 2] = static_cast<uint8_t>((c << 6) | d);
          out += 3;
          in += 4;
        }
        if (in == count) break;
      }
      const uint8_t value = kBase64DecodeTable[data[in]];
      if (value == kBad) {
        stopped_ = true;
        break;
      }
      ++in;
      if (value == kSkip) continue;
      bits = (bits << 6) | value;
      bitCount += 6;
      if (bitCount >= 8) {
        bitCount -= 8;
        data[out++] = static_cast<uint8_t>(bits >> bitCount);
        bits &= (1u << bitCount) - 1;
      }
    }
    destination.WriteBuffer(data, static_cast<int64_t>(out));
    // Everything before the bad symbol is in the destination, whichever way the caller reacts.
    if (stopped_) {
      if (errorProcessing_ == epStop) throw EzqEncoderError(sWrongSymbols, kWrongSymbolsCode);
      return;
    }
    done += got;
    DoProgress(done, total);
  }
}

void TzqEncoder::EncodeQuotedPrintable(TzqStream& source, TzqStream& destination, int64_t total) {
  // A line always takes at least one input byte, also when the length leaves no room
  // before the soft break (4 and 5).
  const int64_t breakAfter = std::max<int64_t>(EffectiveLineLength() - 6, 0);
  SourceReader reader(source);
  OutputSink sink(destination);
  int64_t lineLength = 0;
  auto endLine = [&](std::string_view lineBreak, int64_t done) {
    sink.Put(lineBreak);
    lineLength = 0;
    DoProgress(done, total);
  };
  for (int c = reader.Get(); c >= 0; c = reader.Get()) {
    if (!suppressCrlf_ && lineLength > breakAfter) endLine("=\r\n", reader.Consumed() - 1);
    if (c == kCR && reader.Peek() == kLF) {
      reader.Get();
      endLine("\r\n", reader.Consumed());
    } else if ((c >= 32 && c <= 126) && c != '=') {
      sink.Put(static_cast<char>(c));
      ++lineLength;
    } else {
      char escape[4];
      std::snprintf(escape, sizeof escape, "=%2.2X", c);
      sink.Put(std::string_view(escape, 3));
      lineLength += 3;
    }
  }
  sink.Flush();
  if (lineLength > 0) DoProgress(reader.Consumed(), total);
}

void TzqEncoder::DecodeQuotedPrintable(TzqStream& source, TzqStream& destination, int64_t total) {
  SourceReader reader(source);
  OutputSink sink(destination);
  bool softBreak = false;
  int64_t reported = 0;
  for (;;) {
    // The line breaks before a line's text, a CR LF pair counted once.
    int64_t breaks = 0;
    for (int c = reader.Peek(); IsCrOrLf(c); c = reader.Peek()) {
      reader.Get();
      if (c == kCR && reader.Peek() == kLF) reader.Get();
      ++breaks;
    }
    // Trailing breaks are treated like the breaks of an empty last line, so a soft break
    // at the very end joins nothing instead of turning into a hard one.
    if (softBreak && breaks > 0) --breaks;
    softBreak = false;
    for (; breaks > 0; --breaks) sink.Put("\r\n");
    if (reader.Peek() < 0) break;
    // The text: '=' HEX HEX is a byte; anything malformed is copied, except that a single
    // hex digit between '=' and a non-hex character is dropped.
    int state = 0;  // 0 plain, 1 after '=', 2 after '=' and one hex digit
    int high = 0;
    for (int c = reader.Peek(); c >= 0 && !IsCrOrLf(c); c = reader.Peek()) {
      reader.Get();
      if (state == 0) {
        if (c == '=')
          state = 1;
        else
          sink.Put(static_cast<char>(c));
      } else if (HexValue(c) >= 0 && state == 1) {
        high = HexValue(c);
        state = 2;
      } else if (HexValue(c) >= 0) {
        sink.Put(static_cast<char>(high * 16 + HexValue(c)));
        state = 0;
      } else {
        sink.Put('=');
        sink.Put(static_cast<char>(c));
        state = 0;
      }
    }
    if (state == 1) softBreak = true;
    // '=' and one hex digit cut off by the line end are kept as they stand.
    if (state == 2) {
      sink.Put('=');
      sink.Put("0123456789ABCDEF"[high]);
    }
    reported = reader.Consumed();
    DoProgress(reported, total);
  }
  sink.Flush();
  if (reader.Consumed() > reported) DoProgress(reader.Consumed(), total);
}

void TzqEncoder::EncodeUU(TzqStream& source, TzqStream& destination, int64_t total) {
  const TzqByteArray input = source.ReadRemaining();
  const auto size = static_cast<int64_t>(input.size());
  if (size == 0) return;
  // Lines longer than a count character can state would not decode again: capped at 63 bytes.
  const int64_t lineBytes = suppressCrlf_ ? size : std::min(RoundQuarters(EffectiveLineLength() * 3), kMaxUULineBytes);
  // The empty last line that follows an exact multiple of lineBytes is left out of the
  // single line written with SuppressCrlf: it would carry no data and no break.
  const int64_t lines = suppressCrlf_ ? 1 : size / lineBytes + 1;
  std::string output;
  output.reserve(static_cast<size_t>(size / 3 * 4 + lines * 4 + 8));
  for (int64_t line = 0; line < lines; ++line) {
    const int64_t start = line * lineBytes;
    const int64_t count = std::min(lineBytes, size - start);
    EncodeUULine(input.data() + start, static_cast<size_t>(count), output);
    if (!suppressCrlf_) output += "\r\n";
    DoProgress(start + count, total);
  }
  if (!suppressCrlf_) output += "`\r\n";
  destination.WriteBuffer(output.data(), static_cast<int64_t>(output.size()));
}

void TzqEncoder::DecodeUU(TzqStream& source, TzqStream& destination, int64_t total) {
  const TzqByteArray input = source.ReadRemaining();
  const size_t size = input.size();
  size_t i = 0;
  if (StartsWithBegin(input))
    while (i < size && !IsCrOrLf(input[i])) ++i;
  std::vector<uint8_t> output;
  // A count of 63 needs 84 values; the table is zeroed so short lines decode as if padded.
  std::array<uint8_t, 88> values{};
  auto visit = [&] { DoProgress(static_cast<int64_t>(i++), total); };
  while (i < size) {
    // Line breaks between lines, CR LF pairs and empty lines included, start no line.
    if (IsCrOrLf(input[i])) {
      visit();
      continue;
    }
    const size_t count = (input[i] - 32u) & 63u;
    visit();
    if (count == 0) break;
    // One value beyond count * 4 / 3 completes a final partial group; further ones are ignored.
    const size_t wanted = count * 4 / 3 + 1;
    values.fill(0);
    for (size_t taken = 0; i < size && !IsCrOrLf(input[i]); visit())
      if (taken < wanted) values[taken++] = static_cast<uint8_t>((input[i] - 32u) & 63u);
    DecodeUULine(values.data(), count, output);
  }
  destination.WriteBuffer(output.data(), static_cast<int64_t>(output.size()));
}

std::string TzqEncoder::EncodeString(std::string_view text) {
  TzqMemoryStream source(TzqTranslator::TextToBytes(text, charSet_));
  return EncodeToString(source);
}

std::string TzqEncoder::EncodeToString(TzqStream& source) {
  TzqMemoryStream destination;
  Encode(source, destination);
  if (destination.Size() == 0) return {};
  return TzqTranslator::BytesToText(destination.Bytes(), charSet_);
}

void TzqEncoder::DecodeString(std::string_view text, TzqStream& destination) {
  if (text.empty()) return;
  TzqMemoryStream source(TzqTranslator::TextToBytes(text, charSet_));
  Decode(source, destination);
}

std::string TzqEncoder::QuickEncode(std::string_view text, TzqEncodeMethod method) {
  TzqEncoder encoder;
  encoder.SetEncodeMethod(method);
  encoder.SetSuppressCrlf(true);
  return encoder.EncodeString(text);
}

}  // namespace zq
