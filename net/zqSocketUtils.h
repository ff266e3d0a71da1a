#pragma once
// Socket errors, the socket handle object, the one blocking wait of every network loop, and
// the host resolvers that turn a host name into one IP address text.

#include <cstdint>
#include <string>

#include "core/zqApi.h"
#include "core/zqError.h"
#include "core/zqStringList.h"
#include "net/zqWinSock2.h"

namespace zq {

// The library's own socket conditions (negative codes; platform errors carry Winsock numbers).
constexpr int kTimeoutErrorCode = -1;
constexpr int kInvalidAddressCode = -2;
constexpr int kInvalidPortCode = -3;
constexpr int kInvalidBatchSizeCode = -4;
constexpr int kNetworkStreamRequiredCode = -5;
constexpr int kConnectionNotActiveCode = -6;
constexpr int kInvalidAddressFamilyCode = -7;
constexpr int kUnsupportedFirewallCode = -101;

inline const char* const sTimeoutOccured = "Timeout error occured";
inline const char* const sInvalidAddress = "Invalid host address";
inline const char* const sInvalidPort = "Invalid port number";
inline const char* const sInvalidBatchSize = "Invalid Batch Size";
inline const char* const sNetworkStreamRequired = "NetworkStream is required";
inline const char* const sConnectionNotActive = "The connection to the server is not active";
inline const char* const sInvalidAddressFamily = "Invalid address family";
inline const char* const sUnsupportedFirewall = "Unsupported firewall type";

// The message number the IPv4 resolver's lookups answer with.
constexpr uint32_t kHostResolvedMessage = 3134;
constexpr int32_t kResolveTimeOut = 5000;

class ZQ_API EzqSocketError : public EzqError {
public:
  using EzqError::EzqError;
};

class ZQ_API EzqTcpClientError : public EzqSocketError {
public:
  using EzqSocketError::EzqSocketError;
};

class ZQ_API EzqSocksFirewallError : public EzqSocketError {
public:
  using EzqSocketError::EzqSocketError;
};

// EzqSocketError with the system's text for a Winsock number.
[[noreturn]] ZQ_API void RaiseSocketError(int errorCode);
[[noreturn]] ZQ_API void RaiseSocketMessage(const std::string& message, int errorCode);

class ZQ_API TzqSocket {
public:
  TzqSocket() = default;
  virtual ~TzqSocket();
  TzqSocket(const TzqSocket&) = delete;
  TzqSocket& operator=(const TzqSocket&) = delete;

  // shutdown (both directions), then closesocket; the handle is forgotten even when that fails.
  virtual void CloseSocket();
  virtual void AssignHandle(TzqSocketHandle handle, int32_t family);

  TzqSocketHandle Handle() const { return handle_; }
  int32_t Family() const { return family_; }

private:
  TzqSocketHandle handle_ = INVALID_SOCKET;
  int32_t family_ = 0;
};

// Waits for socketEvent (true) or abortEvent (false), dispatching the thread's messages while
// waiting unless disableMessages (false after dispatching). Raises "Timeout error occured"
// (-1) once more than timeOut ms have passed since startTick; timeOut -1 waits without limit.
ZQ_API bool WaitForSocketEvent(TzqWaitable* socketEvent, TzqWaitable* abortEvent, uint64_t startTick,
                               bool disableMessages, int32_t timeOut);

class ZQ_API TzqHostResolver {
public:
  virtual ~TzqHostResolver() = default;
  virtual std::string ResolveHost(const std::string& host) = 0;
  virtual void ResolveAll(const std::string& host, TzqStringList& list) = 0;
};

// Through WSAAsyncGetHostByName: IPv4 only, 5000 ms at most, messages dispatched meanwhile.
class ZQ_API TzqHostResolver4 : public TzqHostResolver {
public:
  std::string ResolveHost(const std::string& host) override;
  void ResolveAll(const std::string& host, TzqStringList& list) override;

private:
  std::shared_ptr<TzqHostEntry> Lookup(const std::string& host);

  int asyncError_ = 0;
  uintptr_t lookupHandle_ = 0;
};

// Through getaddrinfo, off the calling thread.
class ZQ_API TzqHostResolver6 : public TzqHostResolver {
public:
  explicit TzqHostResolver6(bool preferIPv6) : preferIPv6_(preferIPv6) {}
  std::string ResolveHost(const std::string& host) override;
  void ResolveAll(const std::string& host, TzqStringList& list) override;

private:
  addrinfo* Lookup(const std::string& host);

  bool preferIPv6_;
};

ZQ_API std::string ResolveHostAddress(const std::string& host, bool preferIPv6);

}  // namespace zq
