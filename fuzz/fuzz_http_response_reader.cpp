// The response reader must give the same status, header, body and error however the bytes
// of a response arrive, and never deliver more body than the framing announces.
#include <cstddef>
#include <cstdint>
#include <string>

#include "http/zqHttpResponseReader.h"

using namespace zq;

namespace {

const char* const kMethods[] = {"GET", "HEAD", "CONNECT", "POST"};

struct Outcome {
  int32_t status = 0;
  std::string lines;
  std::string body;
  std::string error;
  bool complete = false;
};

Outcome Read(const uint8_t* data, size_t size, const char* method, int64_t piece, unsigned seed) {
  TzqMemoryStream input;
  input.WriteBuffer(data, static_cast<int64_t>(size));
  input.SetPosition(0);
  TzqStreamSource source(
      input, [&]() -> int64_t { return piece > 0 ? piece : 1 + (seed = seed * 1103515245u + 12345u) % 61; });
  TzqHttpResponseReader reader(source, TzqHeaderRules{piece > 0 ? piece : 8192, 4096, "long", "none"});
  Outcome outcome;
  TzqMemoryStream body;
  try {
    TzqStringList lines;
    reader.ReadHeader(lines, hvHttp1_1);
    outcome.status = reader.StatusCode();
    outcome.lines = lines.Text();
    reader.DecideFraming(method, hvHttp1_1);
    const bool byLength = reader.Framing() == TzqBodyFraming::bfLength;
    const int64_t length = reader.ContentLength();
    reader.ReadBody(body);
    if (byLength && reader.ContentLength() == length && body.Size() > length &&
        outcome.lines.find("Content-Encoding") == std::string::npos)
      __builtin_trap();
  } catch (const std::exception& e) {
    outcome.error = e.what();
  }
  outcome.body = body.DataString();
  outcome.complete = reader.Complete();
  if (outcome.complete && !outcome.error.empty()) __builtin_trap();
  return outcome;
}

// A failure must fail at every split, and a success deliver the same body. What a failure has
// delivered, and which of two chained decoders notices it first, may depend on the pieces.
bool Same(const Outcome& a, const Outcome& b) {
  if (a.error.empty() != b.error.empty() || a.complete != b.complete) return false;
  return a.status == b.status && a.lines == b.lines && (!a.error.empty() || a.body == b.body);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const char* method = kMethods[data[0] % 4];
  const unsigned seed = data[1];
  data += 2;
  size -= 2;
  const Outcome whole = Read(data, size, method, 1 << 20, seed);
  if (!Same(whole, Read(data, size, method, 1, seed))) __builtin_trap();
  if (!Same(whole, Read(data, size, method, 0, seed))) __builtin_trap();
  return 0;
}
