#include "net/zqIpAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace zq {

namespace {

[[noreturn]] void RaiseInvalidFamily() { RaiseSocketMessage(sInvalidAddressFamily, kInvalidAddressFamilyCode); }
[[noreturn]] void RaiseInvalidAddress() { RaiseSocketMessage(sInvalidAddress, kInvalidAddressCode); }

std::string Hex(uint16_t group) { return Format("%X", group); }

std::unique_ptr<TzqIPAddress> NewForPlatform() {
  if (TzqIPAddress::IsIPv6Available()) return std::make_unique<TzqIPAddress6>();
  return std::make_unique<TzqIPAddress4>();
}

template <typename T>
std::unique_ptr<TzqIPAddress> TryParse(const std::string& text) {
  auto address = std::make_unique<T>();
  if (!address->Parse(text)) return nullptr;
  return address;
}

}  // namespace

void TzqIPAddress::SetPort(int32_t port) {
  if (port < 0) RaiseSocketMessage(sInvalidPort, kInvalidPortCode);
}

bool TzqIPAddress::IsIPv6Available() { return AddressListFunctionsAvailable(); }

std::unique_ptr<TzqIPAddress> TzqIPAddress::CreateForFamily(int32_t family) {
  auto address = NewForPlatform();
  address->InitFamily(family);
  return address;
}

std::unique_ptr<TzqIPAddress> TzqIPAddress::CreateAnyForFamily(int32_t family) {
  auto address = NewForPlatform();
  address->InitAny(family);
  return address;
}

bool TzqIPAddress::IsIPAddress(const std::string& text) {
  if (text.empty()) return false;
  return TryParse<TzqIPAddress6>(text) != nullptr || TryParse<TzqIPAddress4>(text) != nullptr;
}

std::unique_ptr<TzqIPAddress> TzqIPAddress::ParseAddress(const std::string& text) {
  if (auto address = TryParse<TzqIPAddress6>(text)) return address;
  if (auto address = TryParse<TzqIPAddress4>(text)) return address;
  RaiseInvalidAddress();
}

std::unique_ptr<TzqIPAddress> TzqIPAddress::CreateAddress(const std::string& text, int32_t family) {
  return text.empty() ? CreateAnyForFamily(family) : ParseAddress(text);
}

TzqIPAddress4::TzqIPAddress4() : address_(std::make_unique<sockaddr_in>()) { Release(); }
TzqIPAddress4::~TzqIPAddress4() = default;

bool TzqIPAddress4::IsIPv6() const { return false; }
sockaddr* TzqIPAddress4::SockAddr() { return reinterpret_cast<sockaddr*>(address_.get()); }
int32_t TzqIPAddress4::Family() const { return WsaFamily(address_->sin_family); }
int32_t TzqIPAddress4::SockAddrLength() const { return sizeof(sockaddr_in); }
int32_t TzqIPAddress4::GetPort() const { return winsock::NetworkToHost16(address_->sin_port); }
void TzqIPAddress4::Release() { std::memset(address_.get(), 0, sizeof(sockaddr_in)); }

bool TzqIPAddress4::Parse(const std::string& text) {
  Release();
  const uint32_t address = winsock::inet_addr(text.c_str());
  if (address == INADDR_NONE) return false;
  address_->sin_family = AF_INET;
  address_->sin_addr.s_addr = address;
  return true;
}

void TzqIPAddress4::InitFamily(int32_t family) {
  if (family != kAfInet) RaiseInvalidFamily();
  Release();
  address_->sin_family = AF_INET;
}

void TzqIPAddress4::InitAny(int32_t family) {
  InitFamily(family);
  address_->sin_addr.s_addr = 0;
}

void TzqIPAddress4::SetPort(int32_t port) {
  TzqIPAddress::SetPort(port);
  address_->sin_port = winsock::HostToNetwork16(static_cast<uint16_t>(port));
}

std::string TzqIPAddress4::ToText() const { return winsock::inet_ntoa(address_->sin_addr.s_addr); }

TzqIPAddress6::~TzqIPAddress6() { Release(); }

bool TzqIPAddress6::IsIPv6() const { return Family() == kAfInet6; }
sockaddr* TzqIPAddress6::SockAddr() { return list_ != nullptr ? list_->ai_addr : nullptr; }
int32_t TzqIPAddress6::Family() const { return list_ != nullptr ? WsaFamily(list_->ai_family) : 0; }
int32_t TzqIPAddress6::SockAddrLength() const { return list_ != nullptr ? static_cast<int32_t>(list_->ai_addrlen) : 0; }

int32_t TzqIPAddress6::GetPort() const {
  switch (Family()) {
    case kAfInet:
      return winsock::NetworkToHost16(reinterpret_cast<const sockaddr_in*>(list_->ai_addr)->sin_port);
    case kAfInet6:
      return winsock::NetworkToHost16(reinterpret_cast<const sockaddr_in6*>(list_->ai_addr)->sin6_port);
    default:
      return 0;
  }
}

void TzqIPAddress6::Release() {
  winsock::freeaddrinfo(list_);
  list_ = nullptr;
}

bool TzqIPAddress6::Parse(const std::string& text) {
  Release();
  if (!IsIPv6Available()) return false;
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* list = nullptr;
  if (winsock::getaddrinfo(text.c_str(), nullptr, &hints, &list) != 0) return false;
  list_ = list;
  return true;
}

void TzqIPAddress6::InitFamily(int32_t family) {
  if (family != kAfInet && family != kAfInet6) RaiseInvalidFamily();
  if (!Parse(family == kAfInet6 ? "::" : "0.0.0.0")) RaiseInvalidAddress();
}

void TzqIPAddress6::InitAny(int32_t family) {
  InitFamily(family);
  if (family == kAfInet) reinterpret_cast<sockaddr_in*>(list_->ai_addr)->sin_addr.s_addr = 0;
}

void TzqIPAddress6::SetPort(int32_t port) {
  TzqIPAddress::SetPort(port);
  const uint16_t networkPort = winsock::HostToNetwork16(static_cast<uint16_t>(port));
  switch (Family()) {
    case kAfInet:
      reinterpret_cast<sockaddr_in*>(list_->ai_addr)->sin_port = networkPort;
      break;
    case kAfInet6:
      reinterpret_cast<sockaddr_in6*>(list_->ai_addr)->sin6_port = networkPort;
      break;
    default:
      RaiseInvalidAddress();
  }
}

std::string TzqIPAddress6::ToText() const {
  switch (Family()) {
    case kAfInet:
      return FormatIPv4(reinterpret_cast<const sockaddr_in*>(list_->ai_addr)->sin_addr.s_addr);
    case kAfInet6:
      return FormatIPv6(reinterpret_cast<const sockaddr_in6*>(list_->ai_addr)->sin6_addr.s6_addr);
    default:
      return std::string();
  }
}

std::string FormatIPv4(uint32_t networkOrderAddress) { return winsock::inet_ntoa(networkOrderAddress); }

std::string FormatIPv6(const uint8_t* bytes) {
  uint16_t groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
  std::string text;
  int i = 0;
  for (; i < 8 && groups[i] != 0; ++i) text += (i > 0 ? ":" : "") + Hex(groups[i]);
  if (i == 8) return text;
  int end = i;
  while (end < 8 && groups[end] == 0) ++end;
  const int run = end - i;
  if (end == 8) return text + (run == 1 ? ":0" : "::");
  if (run == 1) {
    end = i;  // a single zero group is written like any other
  } else {
    text += "::" + Hex(groups[end]);
    ++end;
  }
  for (int k = end; k < 8; ++k) text += (k > 0 && !text.empty() ? ":" : "") + Hex(groups[k]);
  return text;
}

}  // namespace zq
