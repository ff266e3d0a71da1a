#pragma once
// SOCKS firewall settings of a TCP client.

#include <cstdint>
#include <string>

#include "core/zqApi.h"
#include "core/zqComponent.h"

namespace zq {

// A fixed underlying type: a stored value outside the three is representable, and refused.
enum TzqFirewallType : uint8_t { ftSocks4 = 0, ftSocks5 = 1, ftSocks4a = 2 };

class ZQ_API TzqFirewallSettings : public TzqPersistent {
public:
  std::string ClassName() const override { return "TzqFirewallSettings"; }
  void Assign(const TzqPersistent& source) override;

  TzqFirewallType FirewallType() const { return firewallType_; }
  void SetFirewallType(TzqFirewallType value) { firewallType_ = value; }
  // SOCKS 4 user id, SOCKS 5 user name.
  const std::string& UserName() const { return userName_; }
  void SetUserName(const std::string& value) { userName_ = value; }
  const std::string& Password() const { return password_; }
  void SetPassword(const std::string& value) { password_ = value; }
  // The firewall host; empty means no firewall.
  const std::string& Server() const { return server_; }
  void SetServer(const std::string& value) { server_ = value; }
  int32_t Port() const { return port_; }
  void SetPort(int32_t value) { port_ = value; }
  // True: the target host name goes to the SOCKS stream unresolved.
  bool NeedResolveIP() const { return needResolveIP_; }
  void SetNeedResolveIP(bool value) { needResolveIP_ = value; }

private:
  TzqFirewallType firewallType_ = ftSocks4;
  std::string userName_;
  std::string password_;
  std::string server_;
  int32_t port_ = 1080;
  bool needResolveIP_ = true;
};

}  // namespace zq
