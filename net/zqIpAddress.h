#pragma once
// IP addresses over the system's socket address structures: TzqIPAddress4 holds an IPv4
// address itself, TzqIPAddress6 the getaddrinfo list of a numeric host (either family; only
// its first entry counts). Only numeric addresses are handled here, never names.

#include <cstdint>
#include <memory>
#include <string>

#include "core/zqApi.h"
#include "net/zqSocketUtils.h"

struct sockaddr;
struct sockaddr_in;

namespace zq {

class ZQ_API TzqIPAddress {
public:
  virtual ~TzqIPAddress() = default;
  TzqIPAddress(const TzqIPAddress&) = delete;
  TzqIPAddress& operator=(const TzqIPAddress&) = delete;

  virtual bool IsIPv6() const = 0;
  virtual sockaddr* SockAddr() = 0;
  virtual int32_t Family() const = 0;
  virtual int32_t SockAddrLength() const = 0;
  virtual int32_t GetPort() const = 0;
  virtual void Release() = 0;
  virtual bool Parse(const std::string& text) = 0;
  virtual void InitFamily(int32_t family) = 0;
  virtual void InitAny(int32_t family) = 0;
  // Raises "Invalid port number" (-3) for a negative port.
  virtual void SetPort(int32_t port);
  virtual std::string ToText() const = 0;

  // getaddrinfo and freeaddrinfo are offered by the socket library.
  static bool IsIPv6Available();
  static std::unique_ptr<TzqIPAddress> CreateForFamily(int32_t family);
  static std::unique_ptr<TzqIPAddress> CreateAnyForFamily(int32_t family);
  static bool IsIPAddress(const std::string& text);
  // Raises "Invalid host address" (-2) when the text is no numeric address.
  static std::unique_ptr<TzqIPAddress> ParseAddress(const std::string& text);
  static std::unique_ptr<TzqIPAddress> CreateAddress(const std::string& text, int32_t family);

protected:
  TzqIPAddress() = default;
};

class ZQ_API TzqIPAddress4 : public TzqIPAddress {
public:
  TzqIPAddress4();
  ~TzqIPAddress4() override;

  bool IsIPv6() const override;
  sockaddr* SockAddr() override;
  int32_t Family() const override;
  int32_t SockAddrLength() const override;
  int32_t GetPort() const override;
  void Release() override;
  bool Parse(const std::string& text) override;
  void InitFamily(int32_t family) override;
  void InitAny(int32_t family) override;
  void SetPort(int32_t port) override;
  std::string ToText() const override;

private:
  std::unique_ptr<sockaddr_in> address_;
};

class ZQ_API TzqIPAddress6 : public TzqIPAddress {
public:
  TzqIPAddress6() = default;
  ~TzqIPAddress6() override;

  bool IsIPv6() const override;
  sockaddr* SockAddr() override;
  int32_t Family() const override;
  int32_t SockAddrLength() const override;
  int32_t GetPort() const override;
  void Release() override;
  bool Parse(const std::string& text) override;
  void InitFamily(int32_t family) override;
  void InitAny(int32_t family) override;
  void SetPort(int32_t port) override;
  std::string ToText() const override;

private:
  addrinfo* list_ = nullptr;
};

// Dotted decimal of a network-order IPv4 address; the IPv6 text of 16 address bytes
// (upper-case groups, the first run of two or more zero groups written as "::").
ZQ_API std::string FormatIPv4(uint32_t networkOrderAddress);
ZQ_API std::string FormatIPv6(const uint8_t* bytes);

}  // namespace zq
