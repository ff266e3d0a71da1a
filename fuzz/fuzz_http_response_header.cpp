// A received response header filled into the record and written back out.
#include <cstddef>
#include <cstdint>
#include <string>

#include "http/zqHttpHeader.h"

using namespace zq;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TzqStringList lines;
  lines.SetText(std::string(reinterpret_cast<const char*>(data), size));
  TzqHttpResponseHeader header;
  header.ParseHeader(lines);
  TzqStringList written;
  header.WriteHeader(written);
  TzqHttpResponseHeader again;
  again.ParseHeader(written);
  // A known field with a value is written once and reads back the same.
  if (again.Server() != header.Server()) __builtin_trap();
  return 0;
}
