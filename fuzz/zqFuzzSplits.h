#pragma once
// What the scripted fuzz targets share: the input shape (a flag byte, a seed byte, then the
// peer's bytes), where the peer's bytes are cut into the reads the client sees, and a
// connection over the in-memory transport read to its end.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/zqMemoryTransport.h"

namespace zq::fuzz {

// Offsets drawn from seed, each step 1 to maxStep bytes; seed 0 leaves the bytes whole.
inline std::vector<size_t> SplitPoints(size_t size, unsigned seed, unsigned maxStep) {
  std::vector<size_t> offsets;
  for (size_t at = 0; seed != 0 && at < size;) {
    seed = seed * 1103515245u + 12345u;
    at += 1 + (seed >> 16) % maxStep;
    offsets.push_back(at);
  }
  return offsets;
}

struct ScriptedInput {
  uint8_t flags = 0;
  unsigned seed = 0;
  std::string bytes;  // what the peer sends

  std::vector<size_t> Splits(unsigned maxStep) const { return SplitPoints(bytes.size(), seed, maxStep); }
};

// False when the input is too short to carry the two leading bytes.
inline bool TakeScriptedInput(const uint8_t* data, size_t size, ScriptedInput& input) {
  if (size < 2) return false;
  input.flags = data[0];
  input.seed = data[1];
  input.bytes.assign(reinterpret_cast<const char*>(data + 2), size - 2);
  return true;
}

// A connection over script with the limits every target uses.
inline void OpenScripted(test::MemoryConnection& connection, std::unique_ptr<TzqNetworkStream> stream,
                         test::MemoryConnectionScript& script) {
  connection.SetTimeOut(1000);
  connection.SetDisableGuiProcessing(true);
  connection.Open(std::move(stream), script);
}

// Everything the connection still delivers, up to its end or its first error.
inline std::string ReadToEnd(test::MemoryConnection& connection) {
  TzqMemoryStream rest;
  try {
    while (connection.Active()) connection.ReadData(&rest);
  } catch (const EzqError&) {
  }
  return rest.DataString();
}

}  // namespace zq::fuzz
