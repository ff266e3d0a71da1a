#pragma once
// Memory-stream helpers of the TLS tests.

#include <string>

#include "core/zqStream.h"

namespace zq::test {

// Adds bytes at the end of a stream, keeping its position.
inline void Append(TzqMemoryStream& stream, const std::string& bytes) {
  int64_t position = stream.Position();
  stream.Seek(0, soEnd);
  stream.WriteString(bytes);
  stream.SetPosition(position);
}

}  // namespace zq::test
