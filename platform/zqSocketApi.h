#pragma once
// The socket service the transport is written against, in the shape of Windows Sockets:
// non-blocking sockets, event selection with the network events connect / read / write /
// close (each with its error code), Winsock error numbers with the system's texts, and
// address lists from getaddrinfo. Built on POSIX sockets and poll().
//
// Differences from a plain POSIX socket worth knowing:
// - every socket is non-blocking from the start, and every TCP socket has TCP_NODELAY;
// - send never raises SIGPIPE (a closed peer gives 10053);
// - FD_READ is reported once and again only after the next recv; FD_WRITE after the connect
//   and after a send that would block; FD_CLOSE once, and only when every received byte has
//   been read;
// - families are the Winsock numbers (2 and 23) wherever a family is passed or returned as
//   an integer; socket address structures are the system's own.

#include <netdb.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "core/zqApi.h"
#include "platform/zqWaitable.h"

namespace zq {

using TzqSocketHandle = int;
constexpr TzqSocketHandle INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

constexpr int32_t kAfUnspec = 0;
constexpr int32_t kAfInet = 2;
constexpr int32_t kAfInet6 = 23;

constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;

constexpr int SOL_SOCKET_WS = 0xFFFF;
constexpr int SO_BROADCAST_WS = 0x0020;
constexpr int SO_REUSEADDR_WS = 0x0004;
constexpr int SO_SNDBUF_WS = 0x1001;
constexpr int SO_RCVBUF_WS = 0x1002;
constexpr unsigned long FIONBIO_WS = 0x8004667E;
constexpr unsigned long FIONREAD_WS = 0x4004667F;

// Network events.
constexpr int32_t FD_READ = 0x01;
constexpr int32_t FD_WRITE = 0x02;
constexpr int32_t FD_OOB = 0x04;
constexpr int32_t FD_ACCEPT = 0x08;
constexpr int32_t FD_CONNECT = 0x10;
constexpr int32_t FD_CLOSE = 0x20;
constexpr int FD_READ_BIT = 0;
constexpr int FD_WRITE_BIT = 1;
constexpr int FD_OOB_BIT = 2;
constexpr int FD_ACCEPT_BIT = 3;
constexpr int FD_CONNECT_BIT = 4;
constexpr int FD_CLOSE_BIT = 5;
constexpr int FD_MAX_EVENTS = 10;

struct ZQ_API TzqNetworkEvents {
  int32_t lNetworkEvents = 0;
  int32_t iErrorCode[FD_MAX_EVENTS] = {};
};

// Winsock error numbers.
constexpr int WSA_NOT_ENOUGH_MEMORY = 8;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSATYPE_NOT_FOUND = 10109;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// The Winsock number of an errno value, of a getaddrinfo result (EAI_*), and the system's text
// for a Winsock number (the text of the errno or getaddrinfo result it stands for).
ZQ_API int WsaErrorFromErrno(int error);
ZQ_API int WsaErrorFromAddrInfo(int result);
ZQ_API std::string WsaErrorText(int wsaError);

// The calling thread's last socket error.
ZQ_API int WSAGetLastError();
ZQ_API void WSASetLastError(int error);

// Winsock family numbers to the system's and back (0 for unknown families).
ZQ_API int NativeFamily(int32_t wsaFamily);
ZQ_API int32_t WsaFamily(int nativeFamily);

// A socket event (WSACreateEvent): signalled while a network event selected for its socket
// is due. Manual reset, as Winsock's; WSAEnumNetworkEvents takes the due events and resets it.
// The events a signal check found are the ones the next WSAEnumNetworkEvents reports, unless
// a call on the socket came between (as Winsock reports recorded events, not a fresh look).
class ZQ_API TzqSocketEvent : public TzqWaitable {
public:
  TzqSocketEvent() = default;
  ~TzqSocketEvent() override;

  int PollDescriptor(short& events, int64_t& timeoutHint) override;
  bool TakeSignal() override;
  bool TakeSignalAfterPoll(short revents) override;

private:
  friend struct TzqSocketEventAccess;
  TzqSocketHandle socket_ = INVALID_SOCKET;
};

// For tests: delays every FD_CONNECT by the given milliseconds (0 = off), so that a connect
// time-out can be provoked on loopback.
ZQ_API void SetConnectEventDelay(uint32_t milliseconds);
// For tests: reports getaddrinfo / freeaddrinfo as absent from the socket library (the paths
// that do without them become reachable). Process-wide.
ZQ_API void SetAddressListFunctionsAvailable(bool available);
ZQ_API bool AddressListFunctionsAvailable();
// For tests: lookups of name answer with the numeric address literal instead of the machine's
// resolver, so a test does not depend on the hosts file (an empty literal removes the entry).
// NumericHostFor gives the literal, or "" when name has none. Process-wide.
ZQ_API void SetHostOverride(const std::string& name, const std::string& literal);
ZQ_API std::string NumericHostFor(const std::string& name);

namespace winsock {

ZQ_API TzqSocketHandle socket(int32_t family, int type, int protocol);
ZQ_API int closesocket(TzqSocketHandle s);
ZQ_API int shutdown(TzqSocketHandle s, int how);
ZQ_API int connect(TzqSocketHandle s, const sockaddr* name, int nameLength);
ZQ_API int bind(TzqSocketHandle s, const sockaddr* name, int nameLength);
ZQ_API int listen(TzqSocketHandle s, int backlog);
ZQ_API TzqSocketHandle accept(TzqSocketHandle s, sockaddr* address, int* addressLength);
ZQ_API int getsockname(TzqSocketHandle s, sockaddr* name, int* nameLength);
ZQ_API int send(TzqSocketHandle s, const void* buffer, int length, int flags);
ZQ_API int recv(TzqSocketHandle s, void* buffer, int length, int flags);
ZQ_API int sendto(TzqSocketHandle s, const void* buffer, int length, int flags, const sockaddr* to, int toLength);
ZQ_API int recvfrom(TzqSocketHandle s, void* buffer, int length, int flags, sockaddr* from, int* fromLength);
// Winsock levels and option numbers (SOL_SOCKET_WS, SO_BROADCAST_WS, ...; IPPROTO_TCP options
// are the same numbers on both sides).
ZQ_API int setsockopt(TzqSocketHandle s, int level, int option, const void* value, int length);
ZQ_API int ioctlsocket(TzqSocketHandle s, unsigned long command, unsigned long* argument);

ZQ_API int WSAEventSelect(TzqSocketHandle s, TzqSocketEvent* event, int32_t networkEvents);
ZQ_API int WSAEnumNetworkEvents(TzqSocketHandle s, TzqSocketEvent* event, TzqNetworkEvents* events);

// Returns 0 or a Winsock number; WSANO_RECOVERY when the functions are reported absent.
// Hints with socket type 0 give one entry per address (as Winsock does), not one per type.
ZQ_API int getaddrinfo(const char* host, const char* service, const addrinfo* hints, addrinfo** result);
ZQ_API void freeaddrinfo(addrinfo* list);

// Dotted IPv4 text to a network-order address (INADDR_NONE for anything else) and back.
ZQ_API uint32_t inet_addr(const char* text);
ZQ_API std::string inet_ntoa(uint32_t networkOrderAddress);

// htons / ntohs (the system names are macros).
ZQ_API uint16_t HostToNetwork16(uint16_t value);
ZQ_API uint16_t NetworkToHost16(uint16_t value);

}  // namespace winsock

}  // namespace zq
