#include "tools/formhandler/zqFormRequest.h"

#include <cctype>

#include "core/zqText.h"

namespace zq {

namespace {

const char* const sHeaderTooLarge = "The request header is over 64 KiB";
const char* const sBodyTooLarge = "The request body is over 1 MiB";
const char* const sBadRequestLine = "Malformed request line";
const char* const sBadVersion = "Unsupported HTTP version";
const char* const sBadField = "Malformed header field";
const char* const sBadContentLength = "Malformed Content-Length";
const char* const sNoChunkedBodies = "Request bodies with a Transfer-Encoding are not accepted";
const char* const sNoHost = "An HTTP/1.1 request needs a Host field";

const std::string_view kLineEnd = "\r\n";
const std::string_view kHeadEnd = "\r\n\r\n";

bool IsTokenChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return std::isalnum(u) || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!IsTokenChar(c)) return false;
  return true;
}

// Field values may hold visible characters, blanks and bytes above 127, nothing else.
bool IsFieldValue(std::string_view text) {
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 && c != '\t') return false;
    if (u == 0x7F) return false;
  }
  return true;
}

void ParseRequestLine(std::string_view line, TzqServerRequest& request) {
  const size_t first = line.find(' ');
  const size_t last = line.rfind(' ');
  if (first == std::string_view::npos || first == last) throw EzqBadRequest(sBadRequestLine);
  request.Method = std::string(line.substr(0, first));
  request.Target = std::string(line.substr(first + 1, last - first - 1));
  request.Version = std::string(line.substr(last + 1));
  if (!IsToken(request.Method) || request.Target.empty() || request.Target[0] != '/')
    throw EzqBadRequest(sBadRequestLine);
  for (char c : request.Target)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) throw EzqBadRequest(sBadRequestLine);
  if (request.Version != "HTTP/1.1" && request.Version != "HTTP/1.0") throw EzqBadRequest(sBadVersion);
  request.KeepAlive = request.Version == "HTTP/1.1";
}

void ParseField(std::string_view line, TzqServerRequest& request) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos || !IsToken(line.substr(0, colon))) throw EzqBadRequest(sBadField);
  const std::string_view value = line.substr(colon + 1);
  if (!IsFieldValue(value)) throw EzqBadRequest(sBadField);
  request.Fields.emplace_back(std::string(line.substr(0, colon)), Trim(value));
}

int64_t ParseContentLength(const std::string& text) {
  if (text.empty() || text.size() > 18) throw EzqBadRequest(sBadContentLength);
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') throw EzqBadRequest(sBadContentLength);
    value = value * 10 + (c - '0');
  }
  return value;
}

// Whether a comma-separated field value lists the token.
bool ListsToken(const std::string& value, std::string_view token) {
  size_t start = 0;
  while (start <= value.size()) {
    size_t end = value.find(',', start);
    if (end == std::string::npos) end = value.size();
    if (SameText(Trim(std::string_view(value).substr(start, end - start)), token)) return true;
    start = end + 1;
  }
  return false;
}

void ApplyFields(TzqServerRequest& request) {
  int lengths = 0;
  for (const auto& [name, value] : request.Fields) {
    if (SameText(name, "Content-Length")) {
      if (++lengths > 1) throw EzqBadRequest(sBadContentLength);
      request.ContentLength = ParseContentLength(value);
    } else if (SameText(name, "Transfer-Encoding")) {
      throw EzqBadRequest(sNoChunkedBodies);
    } else if (SameText(name, "Connection")) {
      if (ListsToken(value, "close"))
        request.KeepAlive = false;
      else if (ListsToken(value, "keep-alive"))
        request.KeepAlive = true;
    } else if (SameText(name, "Expect")) {
      request.ExpectContinue = SameText(value, "100-continue");
    }
  }
  if (request.ContentLength > kMaxRequestBody) throw EzqBadRequest(sBodyTooLarge);
  if (request.Version == "HTTP/1.1" && request.Field("Host") == nullptr) throw EzqBadRequest(sNoHost);
}

}  // namespace

const std::string* TzqServerRequest::Field(std::string_view name) const {
  for (const auto& field : Fields)
    if (SameText(field.first, name)) return &field.second;
  return nullptr;
}

TzqServerRequest ParseRequestHead(std::string_view head) {
  TzqServerRequest request;
  size_t at = 0;
  bool first = true;
  while (at <= head.size()) {
    size_t end = head.find(kLineEnd, at);
    if (end == std::string_view::npos) end = head.size();
    const std::string_view line = head.substr(at, end - at);
    if (first)
      ParseRequestLine(line, request);
    else
      ParseField(line, request);  // a folded line starts with a blank: not a token, refused
    first = false;
    at = end + kLineEnd.size();
  }
  ApplyFields(request);
  return request;
}

void TzqRequestReader::Append(std::string_view bytes) { buffer_.append(bytes); }

std::optional<TzqServerRequest> TzqRequestReader::Next() {
  if (!head_) {
    // Empty lines before a request line are tolerated.
    size_t skip = 0;
    while (buffer_.compare(skip, kLineEnd.size(), kLineEnd) == 0) skip += kLineEnd.size();
    buffer_.erase(0, skip);
    const size_t end = buffer_.find(kHeadEnd);
    const size_t headSize = end == std::string::npos ? buffer_.size() : end + kHeadEnd.size();
    if (headSize > kMaxRequestHeader) throw EzqBadRequest(sHeaderTooLarge);
    if (end == std::string::npos) return std::nullopt;
    head_ = ParseRequestHead(std::string_view(buffer_).substr(0, end));
    buffer_.erase(0, headSize);
  }
  const auto length = static_cast<size_t>(head_->ContentLength);
  if (buffer_.size() < length) return std::nullopt;
  TzqServerRequest request = std::move(*head_);
  head_.reset();
  request.Body = buffer_.substr(0, length);
  buffer_.erase(0, length);
  return request;
}

}  // namespace zq
