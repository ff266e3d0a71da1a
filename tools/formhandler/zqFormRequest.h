#pragma once
// The demo form handler's request reader: splits what a client sends into HTTP/1.x requests
// (request line, header fields, a body of Content-Length bytes), refusing malformed ones and
// ones over the handler's limits with EzqBadRequest.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/zqError.h"

namespace zq {

constexpr size_t kMaxRequestHeader = 64 * 1024;
constexpr int64_t kMaxRequestBody = 1024 * 1024;

// A request the handler will not serve; the message says why, for the 400 answer.
class EzqBadRequest : public EzqError {
public:
  using EzqError::EzqError;
};

struct TzqServerRequest {
  std::string Method;
  std::string Target;
  std::string Version;  // "HTTP/1.0" or "HTTP/1.1"
  std::vector<std::pair<std::string, std::string>> Fields;
  int64_t ContentLength = 0;
  bool KeepAlive = true;
  bool ExpectContinue = false;
  std::string Body;

  // The first field of that name (names compare without case), or null.
  const std::string* Field(std::string_view name) const;
};

// Raises EzqBadRequest when the head (request line and fields, without the empty line) is
// malformed or asks for what the handler does not take (a body over the limit, chunked bodies).
TzqServerRequest ParseRequestHead(std::string_view head);

class TzqRequestReader {
public:
  void Append(std::string_view bytes);
  // The next complete request, or nothing until more bytes arrive. Raises EzqBadRequest for
  // a request that is malformed or over the limits; the reader is of no further use then.
  std::optional<TzqServerRequest> Next();
  // The head of a request whose body is still to come, once it has been read.
  const TzqServerRequest* PendingHead() const { return head_ ? &*head_ : nullptr; }
  // Bytes received that belong to no complete request yet.
  bool HasPartialRequest() const { return !buffer_.empty() || head_.has_value(); }

private:
  std::string buffer_;
  std::optional<TzqServerRequest> head_;
};

}  // namespace zq
