#pragma once
// Helpers of the HTTP message tests.

#include <string>
#include <vector>

#include <openssl/evp.h>

#include "core/zqError.h"
#include "core/zqStringList.h"

namespace zq::test {

// The lines of a string list, for comparison with an expected list.
inline std::vector<std::string> LinesOf(const TzqStringList& list) {
  std::vector<std::string> lines;
  for (int i = 0; i < list.Count(); ++i) lines.push_back(list[i]);
  return lines;
}

// A hash in lower-case hex, computed independently of the library for expected values.
inline std::string HexDigest(const EVP_MD* hash, const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(text.data(), text.size(), digest, &size, hash, nullptr);
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) hex += Format("%.2x", digest[i]);
  return hex;
}

}  // namespace zq::test
