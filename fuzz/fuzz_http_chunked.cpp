// The chunked decoder must give the same result however the input is split.
#include <cstddef>
#include <cstdint>
#include <string>

#include "http/zqStreams.h"

using namespace zq;

namespace {

struct Outcome {
  std::string payload;
  bool completed = false;
  std::string error;
};

Outcome Decode(const uint8_t* data, size_t size, size_t step, unsigned seed) {
  Outcome outcome;
  TzqMemoryStream payload;
  TzqChunkedStream decoder(payload);
  try {
    for (size_t at = 0; at < size;) {
      size_t n = step ? step : 1 + (seed = seed * 1103515245u + 12345u) % 17;
      if (n > size - at) n = size - at;
      decoder.Write(data + at, static_cast<int64_t>(n));
      at += n;
    }
  } catch (const EzqStreamError& e) {
    outcome.error = e.what();
  }
  outcome.payload = payload.DataString();
  outcome.completed = decoder.IsCompleted();
  if (static_cast<size_t>(payload.Size()) > size) __builtin_trap();
  return outcome;
}

bool Same(const Outcome& a, const Outcome& b) {
  return a.payload == b.payload && a.completed == b.completed && a.error == b.error;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Outcome whole = Decode(data, size, size ? size : 1, 0);
  if (!Same(whole, Decode(data, size, 1, 0))) __builtin_trap();
  if (!Same(whole, Decode(data, size, 0, static_cast<unsigned>(size)))) __builtin_trap();
  return 0;
}
