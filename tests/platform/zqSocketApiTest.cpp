// The socket layer's Winsock numbers and texts, and its event selection on a socket pair.

#include "platform/zqSocketApi.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>
#include <cstring>

#include "core/zqSystem.h"

namespace zq {
namespace {

TEST(SocketApi, ErrnoValuesMapToTheWinsockNumbers) {
  EXPECT_EQ(WsaErrorFromErrno(EWOULDBLOCK), WSAEWOULDBLOCK);
  EXPECT_EQ(WsaErrorFromErrno(EPIPE), WSAECONNABORTED);
  EXPECT_EQ(WsaErrorFromErrno(ECONNRESET), WSAECONNRESET);
  EXPECT_EQ(WsaErrorFromErrno(ECONNREFUSED), WSAECONNREFUSED);
  EXPECT_EQ(WsaErrorFromErrno(EBADF), WSAENOTSOCK);
  EXPECT_EQ(WsaErrorFromErrno(EADDRINUSE), WSAEADDRINUSE);
  EXPECT_EQ(WsaErrorFromErrno(ETIMEDOUT), WSAETIMEDOUT);
  EXPECT_EQ(WsaErrorFromAddrInfo(EAI_NONAME), WSAHOST_NOT_FOUND);
  EXPECT_EQ(WsaErrorFromAddrInfo(EAI_AGAIN), WSATRY_AGAIN);
  EXPECT_EQ(WsaErrorFromAddrInfo(0), 0);
}

TEST(SocketApi, TextsAreTheSystemsOwn) {
  EXPECT_EQ(WsaErrorText(WSAECONNREFUSED), ErrnoText(ECONNREFUSED));
  EXPECT_EQ(WsaErrorText(WSAECONNABORTED), ErrnoText(ECONNABORTED));
  EXPECT_EQ(WsaErrorText(WSAENOTSOCK), ErrnoText(ENOTSOCK));
  EXPECT_EQ(WsaErrorText(WSAHOST_NOT_FOUND), gai_strerror(EAI_NONAME));
  EXPECT_FALSE(WsaErrorText(WSANO_RECOVERY).empty());
}

TEST(SocketApi, FamiliesUseTheWinsockNumbers) {
  EXPECT_EQ(NativeFamily(kAfInet6), AF_INET6);
  EXPECT_EQ(WsaFamily(AF_INET6), kAfInet6);
  EXPECT_EQ(WsaFamily(AF_INET), kAfInet);
  EXPECT_EQ(winsock::socket(99, SOCK_STREAM, 0), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);
}

TEST(SocketApi, CallsOnUnknownHandlesFailWithNotASocket) {
  char byte = 0;
  EXPECT_EQ(winsock::recv(987654, &byte, 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(winsock::closesocket(987654), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  TzqSocketEvent event;
  EXPECT_EQ(winsock::WSAEventSelect(987654, &event, FD_READ), SOCKET_ERROR);
}

TEST(SocketApi, AddressListSwitch) {
  addrinfo* list = nullptr;
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  ASSERT_EQ(winsock::getaddrinfo("::1", nullptr, &hints, &list), 0);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->ai_next, nullptr);  // one entry per address, not one per socket type
  winsock::freeaddrinfo(list);
  SetAddressListFunctionsAvailable(false);
  EXPECT_EQ(winsock::getaddrinfo("::1", nullptr, &hints, &list), WSANO_RECOVERY);
  EXPECT_EQ(list, nullptr);
  SetAddressListFunctionsAvailable(true);
  EXPECT_EQ(winsock::getaddrinfo("not a number", nullptr, &hints, &list), WSAHOST_NOT_FOUND);
}

TEST(SocketApi, Ipv4TextsAndPorts) {
  EXPECT_EQ(winsock::inet_ntoa(winsock::inet_addr("10.0.0.1")), "10.0.0.1");
  EXPECT_EQ(winsock::inet_addr("not.an.address"), 0xFFFFFFFFu);
  EXPECT_EQ(winsock::NetworkToHost16(winsock::HostToNetwork16(0x1234)), 0x1234);
}

}  // namespace
}  // namespace zq
