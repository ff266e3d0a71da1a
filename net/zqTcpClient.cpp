#include "net/zqTcpClient.h"

#include "codec/zqUtils.h"

namespace zq {

namespace {
constexpr uintptr_t kKeepAliveTimer = 1;
}

TzqTcpClient::TzqTcpClient(TzqComponent* owner)
    : TzqComponent(owner), firewallSettings_(std::make_unique<TzqFirewallSettings>()) {
  TzqWSAData data;
  if (WSAStartup(kWinsockVersion22, &data) != 0) RaiseSocketError(WSAGetLastError());
  TzqTcpClientConnection& connection = GetConnection();
  connection.SetBatchSize(8192);
  connection.SetTimeOut(60000);
  connection.SetUseIpV6(false);
  connection.SetBitsPerSec(0);
  port_ = GetDefaultPort();
}

TzqTcpClient::~TzqTcpClient() {
  try {
    Close();
  } catch (...) {
  }
  BeforeDestroy();
  if (keepAliveWindow_ != 0) DestroyMessageWindow(keepAliveWindow_);
  if (proxy_ != nullptr) proxy_->RemoveFreeNotification(this);
  connection_.reset();
  WSACleanup();
}

int32_t TzqTcpClient::GetBatchSize() { return GetConnection().BatchSize(); }

void TzqTcpClient::SetBatchSize(int32_t value) {
  if (GetConnection().BatchSize() == value) return;
  GetConnection().SetBatchSize(value);
  Changed();
}

std::unique_ptr<TzqNetworkStream> TzqTcpClient::CreateNetworkStream() { return std::make_unique<TzqNetworkStream>(); }

TzqTcpClientConnection& TzqTcpClient::GetConnection() {
  if (TzqTcpProxy* proxy = GetProxy()) return proxy->GetConnection();
  if (!connection_) connection_ = std::make_unique<TzqTcpClientConnection>();
  return *connection_;
}

TzqTcpProxy* TzqTcpClient::GetProxy() { return proxy_; }

int32_t TzqTcpClient::GetDefaultPort() const { return 0; }

void TzqTcpClient::OpenConnection(const std::string& server, int32_t port) {
  if (TzqTcpProxy* proxy = GetProxy()) {
    TzqTcpClientConnection& connection = GetConnection();
    proxy->OpenTunnel(server, port);
    connection.SetNetworkStream(CreateNetworkStream());
    connection.ReopenStream();
    return;
  }
  OpenDirectConnection(server, port);
}

void TzqTcpClient::OpenDirectConnection(const std::string& server, int32_t port) {
  TzqTcpClientConnection& connection = GetConnection();
  connection.SetNetworkStream(nullptr);
  std::unique_ptr<TzqNetworkStream> stream = CreateNetworkStream();
  const TzqFirewallSettings& firewall = *firewallSettings_;
  if (!firewall.Server().empty()) {
    connection.SetNetworkStream(CreateSocksStream(std::move(stream), server, port));
    connection.OpenConnection(ResolveHostAddress(firewall.Server(), connection.UseIpV6()), firewall.Port());
  } else {
    connection.SetNetworkStream(std::move(stream));
    connection.OpenConnection(ResolveHostAddress(server, connection.UseIpV6()), port);
  }
}

void TzqTcpClient::InternalOpen() {
  if (GetBatchSize() < 1) RaiseSocketMessage(sInvalidBatchSize, kInvalidBatchSizeCode);
  OpenConnection(server_, port_);
}

void TzqTcpClient::InternalClose(bool notifyPeer) {
  TzqTcpClientConnection& connection = GetConnection();
  connection.Abort();
  connection.Close(notifyPeer);
}

void TzqTcpClient::BeforeDestroy() {}
void TzqTcpClient::DoKeepAlive() {}

bool TzqTcpClient::Active() { return GetConnection().Active(); }

void TzqTcpClient::Open() {
  if (Active()) return;
  try {
    InternalOpen();
    StartKeepAlive();
    DoOpen();
  } catch (...) {
    AbandonOpen();
    throw;
  }
}

void TzqTcpClient::AbandonOpen() {
  StopKeepAlive();
  try {
    InternalClose(false);
  } catch (const EzqSocketError&) {
  }
}

void TzqTcpClient::Close() {
  StopKeepAlive();
  const bool wasActive = Active();
  InternalClose(true);
  if (wasActive) DoClose();
}

std::unique_ptr<TzqSocksNetworkStream> TzqTcpClient::CreateSocksStream(std::unique_ptr<TzqNetworkStream> inner,
                                                                       const std::string& host, int32_t port) {
  const TzqFirewallSettings& firewall = *firewallSettings_;
  std::unique_ptr<TzqSocksNetworkStream> socks;
  switch (firewall.FirewallType()) {
    case ftSocks4:
      socks = std::make_unique<TzqSocks4NetworkStream>(std::move(inner));
      break;
    case ftSocks5:
      socks = std::make_unique<TzqSocks5NetworkStream>(std::move(inner));
      break;
    case ftSocks4a:
      socks = std::make_unique<TzqSocks4aNetworkStream>(std::move(inner));
      break;
    default:
      throw EzqTcpClientError(sUnsupportedFirewall, kUnsupportedFirewallCode);
  }
  socks->SetTargetPort(port);
  socks->SetUserName(firewall.UserName());
  socks->SetPassword(firewall.Password());
  socks->SetTargetServer(firewall.NeedResolveIP() ? host : ResolveHostAddress(host, GetConnection().UseIpV6()));
  return socks;
}

void TzqTcpClient::SetServer(const std::string& value) { Update(server_, value); }

void TzqTcpClient::SetPort(int32_t value) { Update(port_, value); }

std::string TzqTcpClient::LocalBinding() { return GetConnection().LocalBinding(); }

void TzqTcpClient::SetLocalBinding(const std::string& value) {
  auto& c = GetConnection();
  Update(
      value, [&] { return c.LocalBinding(); }, [&](const std::string& v) { c.SetLocalBinding(v); });
}

int32_t TzqTcpClient::TimeOut() { return GetConnection().TimeOut(); }

void TzqTcpClient::SetTimeOut(int32_t value) {
  auto& c = GetConnection();
  Update(
      value, [&] { return c.TimeOut(); }, [&](int32_t v) { c.SetTimeOut(v); });
}

int32_t TzqTcpClient::BitsPerSec() { return GetConnection().BitsPerSec(); }

void TzqTcpClient::SetBitsPerSec(int32_t value) {
  auto& c = GetConnection();
  Update(
      value, [&] { return c.BitsPerSec(); }, [&](int32_t v) { c.SetBitsPerSec(v); });
}

bool TzqTcpClient::UseIpV6() { return GetConnection().UseIpV6(); }

void TzqTcpClient::SetUseIpV6(bool value) {
  auto& c = GetConnection();
  Update(
      value, [&] { return c.UseIpV6(); }, [&](bool v) { c.SetUseIpV6(v); });
}

void TzqTcpClient::SetKeepAlive(int32_t value) { Update(keepAlive_, value); }

void TzqTcpClient::SetFirewallSettings(const TzqFirewallSettings& value) { firewallSettings_->Assign(value); }

void TzqTcpClient::SetProxy(TzqTcpProxy* value) {
  if (proxy_ == value) return;
  if (proxy_ != nullptr) proxy_->RemoveFreeNotification(this);
  proxy_ = value;
  if (proxy_ != nullptr) proxy_->FreeNotification(this);
  Changed();
}

int32_t TzqTcpClient::ConnectTimeOut() { return GetConnection().ConnectTimeOut(); }

void TzqTcpClient::SetConnectTimeOut(int32_t value) {
  auto& c = GetConnection();
  Update(
      value, [&] { return c.ConnectTimeOut(); }, [&](int32_t v) { c.SetConnectTimeOut(v); });
}

bool TzqTcpClient::DisableGuiProcessing() { return GetConnection().DisableGuiProcessing(); }

void TzqTcpClient::SetDisableGuiProcessing(bool value) {
  auto& c = GetConnection();
  Update(
      value, [&] { return c.DisableGuiProcessing(); }, [&](bool v) { c.SetDisableGuiProcessing(v); });
}

void TzqTcpClient::Notification(TzqComponent* component, TzqOperation operation) {
  TzqComponent::Notification(component, operation);
  if (operation == opRemove && component == proxy_) proxy_ = nullptr;
}

void TzqTcpClient::Changed() {
  if (OnChanged) OnChanged(this);
}

void TzqTcpClient::DoOpen() {
  if (OnOpen) OnOpen(this);
}

void TzqTcpClient::DoClose() {
  if (OnClose) OnClose(this);
}

void TzqTcpClient::StartKeepAlive() {
  std::lock_guard<std::mutex> guard(keepAliveLock_);
  if (keepAlive_ <= 0) return;
  if (keepAliveWindow_ == 0) {
    keepAliveWindow_ = CreateMessageWindow([this](TzqMessage& message) {
      if (message.Msg == WM_TIMER && message.WParam == kKeepAliveTimer) KeepAliveTick();
    });
  }
  if (!SetTimer(keepAliveWindow_, kKeepAliveTimer, static_cast<uint32_t>(keepAlive_))) RaiseSocketError(WSAEINVAL);
  timerRunning_ = true;
}

void TzqTcpClient::StopKeepAlive() {
  std::lock_guard<std::mutex> guard(keepAliveLock_);
  if (keepAliveWindow_ != 0 && timerRunning_) {
    KillTimer(keepAliveWindow_, kKeepAliveTimer);
    timerRunning_ = false;
  }
}

void TzqTcpClient::KeepAliveTick() {
  try {
    StopKeepAlive();
    DoKeepAlive();
  } catch (...) {
  }
  try {
    StartKeepAlive();
  } catch (...) {
  }
}

}  // namespace zq
