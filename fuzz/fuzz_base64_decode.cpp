// Base64 decoding of arbitrary bytes in both error modes and any chunk size; encoding the
// input and decoding it again must give the input back.
#include <cstddef>
#include <cstdint>

#include "fuzz/zqEncoderFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zq;
  if (size < 2) return 0;
  const TzqByteArray input(data + 2, data + size);
  TzqEncoder encoder;
  encoder.SetBatchSize(data[0]);  // 0 selects the default
  encoder.SetErrorProcessing((data[1] & 1) ? epContinue : epStop);
  fuzz::DecodeBounded(encoder, input, 1);
  encoder.SetSuppressCrlf(data[1] & 2);
  encoder.SetCharsPerLine(data[1] * 2);
  fuzz::CheckRoundTrip(encoder, input);
  return 0;
}
