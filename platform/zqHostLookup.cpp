#include "platform/zqHostLookup.h"

#include <netinet/in.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

namespace zq {

struct TzqAddressLookup::TzqShared {
  TzqEvent done{true, false};
  std::mutex lock;
  int result = 0;
  addrinfo* list = nullptr;
  bool abandoned = false;
};

TzqAddressLookup::TzqAddressLookup(const std::string& host, const addrinfo& hints)
    : shared_(std::make_shared<TzqShared>()) {
  std::thread([shared = shared_, host, hints] {
    addrinfo* list = nullptr;
    const int result = winsock::getaddrinfo(host.c_str(), nullptr, &hints, &list);
    std::lock_guard<std::mutex> guard(shared->lock);
    if (shared->abandoned) {
      winsock::freeaddrinfo(list);
      return;
    }
    shared->result = result;
    shared->list = list;
    shared->done.Set();
  }).detach();
}

TzqAddressLookup::~TzqAddressLookup() {
  std::lock_guard<std::mutex> guard(shared_->lock);
  shared_->abandoned = true;
  winsock::freeaddrinfo(shared_->list);
  shared_->list = nullptr;
}

TzqWaitable& TzqAddressLookup::Completion() { return shared_->done; }

int TzqAddressLookup::Result() const {
  std::lock_guard<std::mutex> guard(shared_->lock);
  return shared_->result;
}

addrinfo* TzqAddressLookup::TakeList() {
  std::lock_guard<std::mutex> guard(shared_->lock);
  addrinfo* list = shared_->list;
  shared_->list = nullptr;
  return list;
}

namespace {

std::atomic<uintptr_t> gNextLookup{1};

int FillHostEntry(const std::string& name, TzqHostEntry& entry) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const std::string numeric = NumericHostFor(name);
  if (!numeric.empty()) hints.ai_flags |= AI_NUMERICHOST;
  const int result = ::getaddrinfo(numeric.empty() ? name.c_str() : numeric.c_str(), nullptr, &hints, &list);
  if (result != 0) return WsaErrorFromAddrInfo(result);
  entry.AddressType = kAfInet;
  entry.AddressLength = 4;
  for (addrinfo* item = list; item != nullptr; item = item->ai_next) {
    if (item->ai_family != AF_INET) continue;
    std::array<uint8_t, 4> bytes{};
    std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in*>(item->ai_addr)->sin_addr, 4);
    entry.Addresses.push_back(bytes);
  }
  ::freeaddrinfo(list);
  return 0;
}

}  // namespace

uintptr_t WSAAsyncGetHostByName(TzqWindowHandle window, uint32_t msg, const std::string& name,
                                std::shared_ptr<TzqHostEntry> entry) {
  const uintptr_t handle = gNextLookup++;
  std::thread([=] {
    const int error = FillHostEntry(name, *entry);
    PostMessage(window, msg, handle, static_cast<intptr_t>(static_cast<uint32_t>(error) << 16));
  }).detach();
  return handle;
}

}  // namespace zq
