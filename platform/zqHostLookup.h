#pragma once
// Name lookups that run off the calling thread, so that the caller can keep dispatching its
// messages while it waits: getaddrinfo with a completion event, and WSAAsyncGetHostByName,
// which answers with a message to a window.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/zqApi.h"
#include "platform/zqMessagePump.h"
#include "platform/zqSocketApi.h"

namespace zq {

// getaddrinfo (through winsock::getaddrinfo, so the test switch applies) on a worker thread.
// The worker owns its half; abandoning a lookup that has not finished is safe.
class ZQ_API TzqAddressLookup {
public:
  TzqAddressLookup(const std::string& host, const addrinfo& hints);
  ~TzqAddressLookup();
  TzqAddressLookup(const TzqAddressLookup&) = delete;
  TzqAddressLookup& operator=(const TzqAddressLookup&) = delete;

  // Signalled (manual reset) when the lookup has finished.
  TzqWaitable& Completion();
  // After completion: 0 or the Winsock error, and the list (the caller frees it).
  int Result() const;
  addrinfo* TakeList();

private:
  struct TzqShared;
  std::shared_ptr<TzqShared> shared_;
};

// The host entry WSAAsyncGetHostByName fills: IPv4 addresses only.
struct ZQ_API TzqHostEntry {
  int16_t AddressType = 0;  // 2 when the entry holds IPv4 addresses
  int16_t AddressLength = 0;
  std::vector<std::array<uint8_t, 4>> Addresses;
};

// Starts the lookup and returns its handle (never 0); when it has finished, posts msg to
// window with WParam = handle and LParam = the error in the high 16 bits. The entry is
// filled before the message is posted.
ZQ_API uintptr_t WSAAsyncGetHostByName(TzqWindowHandle window, uint32_t msg, const std::string& name,
                                       std::shared_ptr<TzqHostEntry> entry);

}  // namespace zq
