// Fuzzes the raw DEFLATE decoder: whole against split delivery.

#include "fuzz/zqFuzzInflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return zq::fuzz::FuzzInflater(true, data, size);
}
