// Uudecoding of arbitrary bytes never fails; encoding the input and decoding it again must
// give the input back (in one unbroken line only up to 63 bytes, what a count can state).
#include <cstddef>
#include <cstdint>

#include "fuzz/zqEncoderFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zq;
  if (size < 1) return 0;
  const TzqByteArray input(data + 1, data + size);
  TzqEncoder encoder;
  encoder.SetEncodeMethod(cmUUEncode);
  // One count character yields at most 63 bytes.
  if (fuzz::DecodeBounded(encoder, input, 63)) __builtin_trap();
  const bool suppressCrlf = data[0] & 1;
  if (suppressCrlf && input.size() > 63) return 0;
  encoder.SetSuppressCrlf(suppressCrlf);
  encoder.SetCharsPerLine(data[0] >> 1);
  fuzz::CheckRoundTrip(encoder, input);
  return 0;
}
