// Fuzzes the raw DEFLATE decoder: whole against split delivery.

#include "fuzz/zqFuzzInflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint16_t seed = uint16_t(data[0] | data[1] << 8);
  const zq::fuzz::TzqOutcome whole = zq::fuzz::RunInflater(true, data + 2, size - 2, seed, true);
  const zq::fuzz::TzqOutcome pieces = zq::fuzz::RunInflater(true, data + 2, size - 2, seed, false);
  zq::fuzz::CheckSame(whole, pieces);
  return 0;
}
