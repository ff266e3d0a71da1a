// Quoted-printable decoding of arbitrary bytes never fails; encoding the input at any line
// length and decoding it again must give the input back.
#include <cstddef>
#include <cstdint>

#include "fuzz/zqEncoderFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zq;
  if (size < 1) return 0;
  const TzqByteArray input(data + 1, data + size);
  TzqEncoder encoder;
  encoder.SetEncodeMethod(cmQuotedPrintable);
  // A lone CR or LF grows into CR LF.
  if (fuzz::DecodeBounded(encoder, input, 2)) __builtin_trap();
  encoder.SetSuppressCrlf(data[0] & 1);
  encoder.SetCharsPerLine(data[0] >> 1);
  fuzz::CheckRoundTrip(encoder, input);
  return 0;
}
