#include "net/zqFirewallUtils.h"

namespace zq {

void TzqFirewallSettings::Assign(const TzqPersistent& source) {
  const auto* other = dynamic_cast<const TzqFirewallSettings*>(&source);
  if (other == nullptr) return TzqPersistent::Assign(source);
  firewallType_ = other->firewallType_;
  userName_ = other->userName_;
  password_ = other->password_;
  server_ = other->server_;
  port_ = other->port_;
  needResolveIP_ = other->needResolveIP_;
}

}  // namespace zq
