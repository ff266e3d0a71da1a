#pragma once
// Where the fuzz targets cut a peer's bytes into the reads the client sees: offsets drawn from
// a seed taken from the input, each step 1 to maxStep bytes; seed 0 leaves the bytes whole.

#include <cstddef>
#include <vector>

namespace zq::fuzz {

inline std::vector<size_t> SplitPoints(size_t size, unsigned seed, unsigned maxStep) {
  std::vector<size_t> offsets;
  for (size_t at = 0; seed != 0 && at < size;) {
    seed = seed * 1103515245u + 12345u;
    at += 1 + (seed >> 16) % maxStep;
    offsets.push_back(at);
  }
  return offsets;
}

}  // namespace zq::fuzz
