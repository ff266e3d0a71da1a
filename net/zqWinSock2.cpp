#include "net/zqWinSock2.h"

#include <atomic>

namespace zq {

namespace {
std::atomic<int> gUsers{0};
}

int WSAStartup(uint16_t versionRequested, TzqWSAData* data) {
  const int major = versionRequested & 0xFF;
  const int minor = versionRequested >> 8;
  if (major < 2 || (major == 2 && minor < 2)) {
    WSASetLastError(WSAVERNOTSUPPORTED);
    return WSAVERNOTSUPPORTED;
  }
  if (data != nullptr) {
    data->wVersion = kWinsockVersion22;
    data->wHighVersion = kWinsockVersion22;
  }
  ++gUsers;
  return 0;
}

int WSACleanup() {
  int users = gUsers.load();
  while (users > 0 && !gUsers.compare_exchange_weak(users, users - 1)) {
  }
  if (users > 0) return 0;
  WSASetLastError(WSANOTINITIALISED);
  return SOCKET_ERROR;
}

int WinsockUsers() { return gUsers.load(); }

}  // namespace zq
