#pragma once
// Helpers of the proxy tunnel tests.

#include <string>

#include "core/zqStream.h"
#include "net/zqSocket.h"

namespace zq::test {

// What arrives on the connection until count bytes have come or it closes (bounded in reads).
inline std::string ReceiveUpTo(TzqTcpConnection& connection, int64_t count) {
  TzqMemoryStream data;
  for (int reads = 0; reads < 50 && data.Size() < count && connection.Active(); ++reads) connection.ReadData(&data);
  return std::string(data.Bytes().begin(), data.Bytes().end());
}

}  // namespace zq::test
