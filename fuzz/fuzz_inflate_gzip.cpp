// Fuzzes the gzip inflate stream: whole against split writes. A lone last byte stays held
// back, and bytes after a trailer start a new member, so only the decoded prefix must agree.

#include "fuzz/zqFuzzInflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint16_t seed = uint16_t(data[0] | data[1] << 8);
  const zq::fuzz::TzqOutcome whole = zq::fuzz::RunGZip(data + 2, size - 2, seed, true);
  const zq::fuzz::TzqOutcome pieces = zq::fuzz::RunGZip(data + 2, size - 2, seed, false);
  zq::fuzz::CheckPrefix(whole, pieces);
  return 0;
}
