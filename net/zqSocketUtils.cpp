#include "net/zqSocketUtils.h"

#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "codec/zqUtils.h"
#include "core/zqError.h"
#include "core/zqSystem.h"
#include "net/zqIpAddress.h"
#include "platform/zqMessagePump.h"

namespace zq {

void RaiseSocketError(int errorCode) { throw EzqSocketError(WsaErrorText(errorCode), errorCode); }

void RaiseSocketMessage(const std::string& message, int errorCode) { throw EzqSocketError(message, errorCode); }

TzqSocket::~TzqSocket() {
  if (handle_ != INVALID_SOCKET) winsock::closesocket(handle_);
}

void TzqSocket::CloseSocket() {
  if (handle_ != INVALID_SOCKET) {
    winsock::shutdown(handle_, SD_BOTH);
    const TzqSocketHandle handle = handle_;
    handle_ = INVALID_SOCKET;
    family_ = 0;
    if (winsock::closesocket(handle) == SOCKET_ERROR) RaiseSocketError(WSAGetLastError());
  }
  family_ = 0;
}

void TzqSocket::AssignHandle(TzqSocketHandle handle, int32_t family) {
  handle_ = handle;
  family_ = family;
}

namespace {

bool TimedOut(uint64_t startTick, int32_t timeOut) {
  return timeOut >= 0 && GetTickCount64() - startTick > static_cast<uint64_t>(timeOut);
}

[[noreturn]] void RaiseTimeout() { RaiseSocketMessage(sTimeoutOccured, kTimeoutErrorCode); }

std::string Dotted(const std::array<uint8_t, 4>& bytes) {
  return Format("%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);
}

std::string FormatEntry(const addrinfo* entry) {
  if (entry->ai_family == AF_INET6) {
    uint8_t bytes[16];
    std::memcpy(bytes, &reinterpret_cast<const sockaddr_in6*>(entry->ai_addr)->sin6_addr, 16);
    return FormatIPv6(bytes);
  }
  return FormatIPv4(reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr);
}

bool Usable(const addrinfo* entry) { return entry->ai_family == AF_INET || entry->ai_family == AF_INET6; }

struct TzqAddressListGuard {
  addrinfo* list;
  ~TzqAddressListGuard() { winsock::freeaddrinfo(list); }
};

// A hidden window for the length of one lookup.
class TzqLookupWindow {
public:
  explicit TzqLookupWindow(TzqWindowProc proc) : window_(CreateMessageWindow(std::move(proc))) {}
  ~TzqLookupWindow() { DestroyMessageWindow(window_); }
  TzqWindowHandle Handle() const { return window_; }

private:
  TzqWindowHandle window_;
};

}  // namespace

bool WaitForSocketEvent(TzqWaitable* socketEvent, TzqWaitable* abortEvent, uint64_t startTick, bool disableMessages,
                        int32_t timeOut) {
  TzqWaitable* objects[2] = {socketEvent, abortEvent};
  const size_t count = abortEvent != nullptr ? 2 : 1;
  // The wait itself is bounded by what is left of the time-out, so that a loop woken by
  // messages still ends once the time-out has passed since the last progress.
  uint32_t wait = INFINITE;
  if (timeOut >= 0) {
    const uint64_t elapsed = GetTickCount64() - startTick;
    wait = elapsed >= static_cast<uint64_t>(timeOut) ? 0 : static_cast<uint32_t>(timeOut - elapsed);
  }
  const uint32_t result = MsgWaitForMultipleObjects(std::span<TzqWaitable* const>(objects, count), wait,
                                                    disableMessages ? 0 : QS_ALLEVENTS);
  if (result == WAIT_FAILED) RaiseSocketError(WsaErrorFromErrno(errno));
  if (result == WAIT_TIMEOUT) RaiseTimeout();
  if (result == count) {
    TzqMessagePump& pump = CurrentMessagePump();
    while (!disableMessages && pump.DispatchOne())
      if (TimedOut(startTick, timeOut)) RaiseTimeout();
    if (TimedOut(startTick, timeOut)) RaiseTimeout();
    return false;
  }
  return result == 0;
}

std::shared_ptr<TzqHostEntry> TzqHostResolver4::Lookup(const std::string& host) {
  auto entry = std::make_shared<TzqHostEntry>();
  TzqEvent completed(false, false);
  TzqLookupWindow window([this, &completed](TzqMessage& message) {
    if (message.Msg == kHostResolvedMessage && message.WParam == lookupHandle_) {
      asyncError_ = static_cast<int>((static_cast<uint32_t>(message.LParam) >> 16) & 0xFFFF);
      completed.Set();
    }
  });
  asyncError_ = 0;
  lookupHandle_ = WSAAsyncGetHostByName(window.Handle(), kHostResolvedMessage, host, entry);
  if (lookupHandle_ == 0) RaiseSocketError(WSAGetLastError());
  try {
    while (!WaitForSocketEvent(&completed, nullptr, GetTickCount64(), false, kResolveTimeOut)) {
    }
  } catch (...) {
    lookupHandle_ = 0;
    throw;
  }
  lookupHandle_ = 0;
  if (asyncError_ != 0) RaiseSocketError(asyncError_);
  return entry;
}

std::string TzqHostResolver4::ResolveHost(const std::string& host) {
  if (TzqIPAddress::IsIPAddress(host)) return host;
  const auto entry = Lookup(host);
  return entry->Addresses.empty() ? std::string() : Dotted(entry->Addresses.front());
}

void TzqHostResolver4::ResolveAll(const std::string& host, TzqStringList& list) {
  list.Clear();
  const auto entry = Lookup(host);
  if (entry->AddressType != kAfInet || entry->AddressLength != 4) return;
  for (const auto& address : entry->Addresses) list.Add(Dotted(address));
}

addrinfo* TzqHostResolver6::Lookup(const std::string& host) {
  const addrinfo hints{};
  TzqAddressLookup lookup(host, hints);
  while (!WaitForSocketEvent(&lookup.Completion(), nullptr, GetTickCount64(), false, -1)) {
  }
  if (lookup.Result() != 0) RaiseSocketError(lookup.Result());
  return lookup.TakeList();
}

std::string TzqHostResolver6::ResolveHost(const std::string& host) {
  if (TzqIPAddress::IsIPAddress(host)) return host;
  TzqAddressListGuard guard{Lookup(host)};
  const int wanted = preferIPv6_ ? AF_INET6 : AF_INET;
  const addrinfo* chosen = nullptr;
  for (const addrinfo* entry = guard.list; entry != nullptr && chosen == nullptr; entry = entry->ai_next)
    if (entry->ai_family == wanted) chosen = entry;
  if (chosen == nullptr && guard.list != nullptr && Usable(guard.list)) chosen = guard.list;
  return chosen != nullptr ? FormatEntry(chosen) : std::string();
}

void TzqHostResolver6::ResolveAll(const std::string& host, TzqStringList& list) {
  list.Clear();
  TzqAddressListGuard guard{Lookup(host)};
  for (const addrinfo* entry = guard.list; entry != nullptr; entry = entry->ai_next)
    if (Usable(entry)) list.Add(FormatEntry(entry));
}

std::string ResolveHostAddress(const std::string& host, bool preferIPv6) {
  std::unique_ptr<TzqHostResolver> resolver;
  if (TzqIPAddress::IsIPv6Available())
    resolver = std::make_unique<TzqHostResolver6>(preferIPv6);
  else
    resolver = std::make_unique<TzqHostResolver4>();
  return resolver->ResolveHost(host);
}

}  // namespace zq
