#pragma once
// Helpers of the HTTP message tests.

#include <string>
#include <vector>

#include "core/zqStringList.h"

namespace zq::test {

// The lines of a string list, for comparison with an expected list.
inline std::vector<std::string> LinesOf(const TzqStringList& list) {
  std::vector<std::string> lines;
  for (int i = 0; i < list.Count(); ++i) lines.push_back(list[i]);
  return lines;
}

}  // namespace zq::test
