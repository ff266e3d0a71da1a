#pragma once
// The binding to the socket service: start-up and clean-up, and the functions the transport
// uses (platform/zqSocketApi.h, in Winsock's shape). getaddrinfo and freeaddrinfo are the
// optional part: AddressListFunctionsAvailable tells whether they are there.

#include <cstdint>

#include "core/zqApi.h"
#include "platform/zqHostLookup.h"
#include "platform/zqSocketApi.h"

namespace zq {

constexpr uint16_t kWinsockVersion22 = 514;

struct ZQ_API TzqWSAData {
  uint16_t wVersion = 0;
  uint16_t wHighVersion = 0;
};

// Counts users of the socket service; 0 or a Winsock error (WSAVERNOTSUPPORTED for versions
// below 2.2).
ZQ_API int WSAStartup(uint16_t versionRequested, TzqWSAData* data);
ZQ_API int WSACleanup();
// How many WSAStartup calls have not been matched by WSACleanup.
ZQ_API int WinsockUsers();

constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;

}  // namespace zq
