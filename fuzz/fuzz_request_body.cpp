// A received request body parsed into items (ParseBody, for url-encoded and other bodies, in
// utf-8 or the local code page), and received multipart part headers (AddPartItem). Invariants:
// BodySize is exactly what RequestStream produces, and a url-encoded body the request rendered
// parses back to the same body.
// Input: a flag byte (body mode, charset), then the body; for parts, header lines.

#include <cstdint>
#include <memory>
#include <string>

#include "core/zqStream.h"
#include "core/zqStringList.h"
#include "http/zqHeaderFieldList.h"
#include "http/zqHttpRequest.h"

using namespace zq;

namespace {

std::string Rendered(TzqHttpRequest& request) {
  std::unique_ptr<TzqMultiStream> stream = request.RequestStream();
  TzqMemoryStream body;
  body.CopyFrom(*stream, 0);
  if (body.Size() != request.BodySize()) __builtin_trap();
  return body.DataString();
}

void Parse(TzqHttpRequest& request, const std::string& body) {
  TzqMemoryStream stream;
  stream.WriteBuffer(body.data(), static_cast<int64_t>(body.size()));
  stream.SetPosition(0);
  request.ParseBody(stream);
}

void Configure(TzqHttpRequest& request, uint8_t flags) {
  request.Header().SetContentType(flags & 1 ? "application/x-www-form-urlencoded" : "text/plain");
  if (flags & 2) request.Header().SetCharSet("utf-8");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
  TzqHttpRequest request;
  Configure(request, flags);
  if (flags & 4) {
    TzqStringList lines;
    lines.SetText(body);
    TzqHeaderFieldList fields(lines);
    try {
      request.AddPartItem(fields);
      // A file part renders from the file it names, which may well not be there.
      (void)Rendered(request);
    } catch (const EzqError&) {
    }
    return 0;
  }
  Parse(request, body);
  const std::string rendered = Rendered(request);
  if (!(flags & 1)) return 0;
  TzqHttpRequest again;
  Configure(again, flags);
  Parse(again, rendered);
  if (Rendered(again) != rendered) __builtin_trap();
  return 0;
}
