#include "http/zqHttpResponseReader.h"

#include <algorithm>

#include "codec/zqZLibStreams.h"
#include "core/zqError.h"
#include "core/zqText.h"
#include "http/zqHeaderFieldList.h"
#include "http/zqStreams.h"
#include "platform/zqSocketApi.h"

namespace zq {

namespace {

const char* const sBodyCutShort = "The connection closed before the response body ended";
const char* const sBadContentLength = "The response's Content-Length is not one decimal number: %s";
const char* const sUnknownTransferCoding = "The response's Transfer-Encoding is not supported: %s";

constexpr int kMaxLengthDigits = 18;  // every 18-digit number fits 63 bits

// The comma-separated items of the values, trimmed and lower-cased; empty ones dropped.
std::vector<std::string> ListItems(const std::vector<std::string>& values) {
  std::vector<std::string> items;
  for (const std::string& value : values) {
    size_t from = 0;
    for (;;) {
      const size_t comma = value.find(',', from);
      const std::string_view piece =
          std::string_view(value).substr(from, comma == std::string::npos ? std::string::npos : comma - from);
      std::string item = LowerCase(TrimView(piece));
      if (!item.empty()) items.push_back(std::move(item));
      if (comma == std::string::npos) break;
      from = comma + 1;
    }
  }
  return items;
}

bool IsDecimal(const std::string& text) {
  return !text.empty() && text.size() <= kMaxLengthDigits &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool IsKnownCoding(const std::string& coding) {
  return coding == "gzip" || coding == "x-gzip" || coding == "deflate" || coding == "identity";
}

// Counts what reaches the body, so reads stop exactly at its end.
class TzqCountingSink : public TzqStream {
public:
  explicit TzqCountingSink(TzqStream& target) : target_(target) {}
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* buffer, int64_t count) override {
    target_.WriteBuffer(buffer, count);
    written_ += count;
    return count;
  }
  int64_t Seek(int64_t, TzqSeekOrigin) override { return written_; }
  int64_t Written() const { return written_; }

private:
  TzqStream& target_;
  int64_t written_ = 0;
};

}  // namespace

// ---- the source over a connection ----------------------------------------------------------

void TzqConnectionSource::Read(TzqStream& sink, int64_t limit) {
  // The read limit counts from the counter's reset; the progress made so far stays.
  connection_.InitProgress(connection_.ProgressDone(), connection_.ProgressTotal());
  TzqReadLimitScope scope(connection_, limit);
  // Bodies come in large pieces; the header's reads are bounded by their limit.
  TzqLargeBatchScope large(connection_);
  connection_.ReadData(&sink);
}

bool TzqConnectionSource::Ended() { return !connection_.Active() || connection_.PeerClosed(); }

void TzqStreamSource::Read(TzqStream& sink, int64_t limit) {
  int64_t count = stream_.Size() - stream_.Position();
  if (pieceSize_) count = std::min(count, std::max<int64_t>(1, pieceSize_()));
  if (limit >= 0) count = std::min(count, limit);
  if (count > 0) sink.CopyFrom(stream_, count);
}

// ---- decoding chain ----------------------------------------------------------------------------

// The content and transfer decodings a body passes through on its way to the destination,
// outermost last; each is checked for a proper end once the framing has ended.
class TzqHttpResponseReader::TzqDecodingChain {
public:
  TzqDecodingChain(TzqStream& destination, const std::vector<std::string>& contentCodings,
                   const std::vector<std::string>& transferCodings) {
    top_ = &destination;
    // Unknown content codings are delivered as they came, undecoded.
    if (std::all_of(contentCodings.begin(), contentCodings.end(), IsKnownCoding)) Add(contentCodings);
    Add(transferCodings);
  }
  TzqStream& Top() { return *top_; }
  // The outermost first: what it still decodes reaches the next one before that is judged.
  void CheckFinished() const {
    for (auto filter = filters_.rbegin(); filter != filters_.rend(); ++filter) {
      (*filter)->EndOfInput();
      (*filter)->CheckFinished();
    }
  }

private:
  void Add(const std::vector<std::string>& codings) {
    // The codings were applied in the listed order: the last one is undone first.
    for (const std::string& coding : codings) {
      std::unique_ptr<TzqInflateFilter> filter;
      if (coding == "gzip" || coding == "x-gzip")
        filter = std::make_unique<TzqGZipInflateStream>(*top_);
      else if (coding == "deflate")
        filter = std::make_unique<TzqDeflateInflateStream>(*top_);
      else
        continue;
      top_ = filter.get();
      filters_.push_back(std::move(filter));
    }
  }

  TzqStream* top_;
  std::vector<std::unique_ptr<TzqInflateFilter>> filters_;
};

// ---- header ------------------------------------------------------------------------------------

TzqHttpResponseReader::TzqHttpResponseReader(TzqResponseSource& source, const TzqHeaderRules& rules)
    : source_(source), rules_(rules) {}

TzqHttpResponseReader::~TzqHttpResponseReader() = default;

void TzqHttpResponseReader::ReadHeader(TzqStringList& lines, TzqHttpVersion fallback) {
  version_ = fallback;
  while (!ScanHeader()) {
    if (buffer_.Size() >= rules_.maxBytes) FailHeader(rules_.tooLong);
    if (source_.Ended()) {
      // A kept connection that the server dropped before this request answers with nothing.
      if (buffer_.Size() == 0) RaiseSocketError(WSAECONNABORTED);
      FailHeader(rules_.noStatus);
    }
    buffer_.Seek(0, soEnd);
    source_.Read(buffer_, std::min(rules_.piece, rules_.maxBytes - buffer_.Size()));
  }
  lines.Assign(lines_);
}

void TzqHttpResponseReader::FailHeader(const char* message) {
  statusCode_ = 0;
  throw EzqHttpError(message, std::string(), 0);
}

// Examines each byte once, whatever the sizes of the pieces it came in; true once a final
// header has been taken. Empty lines before a status line are skipped.
bool TzqHttpResponseReader::ScanHeader() {
  const uint8_t* bytes = buffer_.Memory();
  const int64_t size = std::min(buffer_.Size(), rules_.maxBytes);
  for (; scanned_ < size; ++scanned_) {
    const uint8_t c = bytes[scanned_];
    if (c == '\r') {
      ++lineCrs_;
      continue;
    }
    if (c != '\n') {
      ++lineBytes_;
      continue;
    }
    // Only CR LF or a bare LF end a header; "\r\r\n" is a line, as other parsers take it, so
    // the client cannot see a header end where a proxy or a server sees none.
    const bool emptyLine = lineBytes_ == 0 && lineCrs_ <= 1;
    lineBytes_ = 0;
    lineCrs_ = 0;
    const int64_t end = scanned_ + 1;
    if (!emptyLine) {
      headerHasLine_ = true;
    } else if (!headerHasLine_) {
      headerStart_ = end;
    } else if (TakeHeaderAt(end)) {
      scanned_ = end;
      return true;
    } else {
      headerStart_ = end;
      headerHasLine_ = false;
    }
  }
  return false;
}

// Parses the header that ends at end; false when it was an interim response.
bool TzqHttpResponseReader::TakeHeaderAt(int64_t end) {
  const uint8_t* bytes = buffer_.Memory();
  const uint8_t* start = bytes + headerStart_;
  const uint8_t* lineEnd = std::find(start, bytes + end, uint8_t{'\n'});
  TzqByteArray line(start, lineEnd);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  line.push_back(' ');
  int64_t position = 0;
  version_ = TzqHttpUtils::ParseStatusVersion(line, position, version_);
  ++position;
  statusCode_ = TzqHttpUtils::ParseStatusCode(line, position);
  ++position;
  statusText_ = TzqHttpUtils::ParseStatusText(line, position);
  if (statusCode_ < 100 || statusCode_ > 999) FailHeader(rules_.noStatus);
  // Every 1xx but 101 is interim: the final answer is still to come.
  if (statusCode_ < 200 && statusCode_ != 101) return false;
  headerEnd_ = end;
  TzqHttpUtils::HeaderLinesFromBytes(bytes + headerStart_, end - headerStart_, lines_);
  fields_.Parse(lines_, 1);
  buffer_.SetPosition(end);
  return true;
}

// ---- framing -----------------------------------------------------------------------------------

std::vector<std::string> TzqHttpResponseReader::FieldValues(const char* name) const {
  std::vector<std::string> values;
  for (int i = 0; i < fields_.FieldCount(); ++i)
    if (SameText(TrimView(fields_.FieldName(i)), name)) values.push_back(fields_.GetFieldValueAt(i));
  return values;
}

bool TzqHttpResponseReader::HasField(const char* name) const {
  for (int i = 0; i < fields_.FieldCount(); ++i)
    if (SameText(TrimView(fields_.FieldName(i)), name)) return true;
  return false;
}

void TzqHttpResponseReader::DecideFraming(const std::string& method, TzqHttpVersion requestVersion) {
  framing_ = TzqBodyFraming::bfNone;
  length_ = -1;
  transferCodings_.clear();
  const bool bodiless = SameText(method, "HEAD") || statusCode_ < 200 || statusCode_ == 204 || statusCode_ == 304 ||
                        (SameText(method, "CONNECT") && statusCode_ / 100 == 2);
  // After a 101 the connection speaks another protocol: it can never carry a next request.
  if (statusCode_ == 101) mustClose_ = true;
  if (bodiless) return;
  const std::vector<std::string> codings = ListItems(FieldValues("Transfer-Encoding"));
  if (!codings.empty()) return DecideTransferCoding(codings);
  DecideLength(method, requestVersion);
}

// chunked as the last coding frames the body; without it the body runs to the close.
void TzqHttpResponseReader::DecideTransferCoding(const std::vector<std::string>& codings) {
  for (const std::string& coding : codings)
    if (coding != "chunked" && !IsKnownCoding(coding))
      throw EzqHttpError(Format(sUnknownTransferCoding, coding.c_str()), std::string(), statusCode_);
  transferCodings_ = codings;
  const bool chunked = codings.back() == "chunked";
  if (chunked) transferCodings_.pop_back();
  framing_ = chunked ? TzqBodyFraming::bfChunked : TzqBodyFraming::bfUntilClose;
  // A length beside a transfer coding may have misled something on the way: never keep it.
  mustClose_ = !chunked || !FieldValues("Content-Length").empty();
}

void TzqHttpResponseReader::DecideLength(const std::string&, TzqHttpVersion requestVersion) {
  const std::vector<std::string> values = FieldValues("Content-Length");
  if (values.empty()) {
    const bool untilClose = requestVersion == hvHttp1_0 || version_ == hvHttp1_0 || (statusCode_ & 200) == 200;
    framing_ = untilClose ? TzqBodyFraming::bfUntilClose : TzqBodyFraming::bfNone;
    // Taken as bodiless, the response may still be followed by a body the server meant to run
    // to the close: on a kept connection that would pass for the next response.
    mustClose_ = true;
    return;
  }
  std::string joined;
  for (const std::string& value : values) joined += (joined.empty() ? "" : ", ") + value;
  const std::vector<std::string> items = ListItems(values);
  const bool valid = !items.empty() && std::all_of(items.begin(), items.end(), [&](const std::string& item) {
    return IsDecimal(item) && item == items.front();
  });
  if (!valid) throw EzqHttpError(Format(sBadContentLength, joined.c_str()), std::string(), statusCode_);
  length_ = StrToInt64Def(items.front(), 0);
  framing_ = TzqBodyFraming::bfLength;
}

int64_t TzqHttpResponseReader::BufferedBodyBytes() {
  const int64_t buffered = headerEnd_ < 0 ? 0 : buffer_.Size() - headerEnd_;
  return framing_ == TzqBodyFraming::bfLength ? std::min(buffered, length_) : buffered;
}

bool TzqHttpResponseReader::KeepAlive(TzqHttpVersion requestVersion, TzqHttpVersion responseVersion,
                                      const std::string& value) {
  if (requestVersion == hvHttp1_1 && responseVersion == hvHttp1_1) return !SameText(value, "close");
  return SameText(value, "Keep-Alive");
}

// ---- body --------------------------------------------------------------------------------------

void TzqHttpResponseReader::ReadBody(TzqStream& destination) {
  TzqDecodingChain chain(destination, ListItems(FieldValues("Content-Encoding")), transferCodings_);
  switch (framing_) {
    case TzqBodyFraming::bfNone:
      break;
    case TzqBodyFraming::bfLength:
      PumpLength(chain.Top());
      break;
    case TzqBodyFraming::bfChunked:
      PumpChunked(chain.Top());
      break;
    case TzqBodyFraming::bfUntilClose:
      PumpUntilClose(chain.Top());
      break;
  }
  if (framing_ != TzqBodyFraming::bfNone) chain.CheckFinished();
  complete_ = true;
}

bool TzqHttpResponseReader::Overrun() { return complete_ && buffer_.Position() < buffer_.Size(); }

void TzqHttpResponseReader::PassBuffered(TzqStream& sink, int64_t count) {
  if (count <= 0) return;
  sink.WriteBuffer(buffer_.Memory() + buffer_.Position(), count);
  buffer_.Seek(count, soCurrent);
}

void TzqHttpResponseReader::PumpLength(TzqStream& sink) {
  const int64_t buffered = BufferedBodyBytes();
  PassBuffered(sink, buffered);
  TzqCountingSink counted(sink);
  while (buffered + counted.Written() < length_) {
    if (source_.Ended()) throw EzqTcpClientError(sBodyCutShort, WSAECONNABORTED);
    source_.Read(counted, length_ - buffered - counted.Written());
  }
}

void TzqHttpResponseReader::PumpChunked(TzqStream& sink) {
  TzqChunkedStream chunked(sink);
  PassBuffered(chunked, buffer_.Size() - buffer_.Position());
  while (!chunked.IsCompleted()) {
    if (source_.Ended()) throw EzqTcpClientError(sBodyCutShort, WSAECONNABORTED);
    source_.Read(chunked, -1);
  }
}

void TzqHttpResponseReader::PumpUntilClose(TzqStream& sink) {
  PassBuffered(sink, buffer_.Size() - buffer_.Position());
  while (!source_.Ended()) source_.Read(sink, -1);
}

}  // namespace zq
