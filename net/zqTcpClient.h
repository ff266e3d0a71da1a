#pragma once
// The TCP client component every client protocol descends from: connection settings as
// properties, the choice of network stream for each open (plain, SOCKS, or a descendant's),
// an optional proxy component whose connection is used, and a keep-alive timer.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/zqApi.h"
#include "core/zqComponent.h"
#include "core/zqSetting.h"
#include "net/zqFirewallUtils.h"
#include "net/zqSocket.h"
#include "net/zqSocks.h"
#include "platform/zqMessagePump.h"

namespace zq {

class TzqTcpProxy;

class ZQ_API TzqTcpClient : public TzqComponent {
public:
  explicit TzqTcpClient(TzqComponent* owner = nullptr);
  // Descendants that own what their overrides use close in their own destructor first.
  ~TzqTcpClient() override;
  std::string ClassName() const override { return "TzqTcpClient"; }

  virtual int32_t GetBatchSize();
  virtual void SetBatchSize(int32_t value);
  virtual std::unique_ptr<TzqNetworkStream> CreateNetworkStream();
  virtual TzqTcpClientConnection& GetConnection();
  virtual TzqTcpProxy* GetProxy();
  virtual int32_t GetDefaultPort() const;
  virtual void OpenConnection(const std::string& server, int32_t port);
  virtual void InternalOpen();
  virtual void InternalClose(bool notifyPeer);
  virtual void BeforeDestroy();
  virtual void DoKeepAlive();

  bool Active();
  void Open();
  void Close();
  std::unique_ptr<TzqSocksNetworkStream> CreateSocksStream(std::unique_ptr<TzqNetworkStream> inner,
                                                           const std::string& host, int32_t port);

  const std::string& Server() const { return server_; }
  void SetServer(const std::string& value);
  int32_t Port() const { return port_; }
  void SetPort(int32_t value);
  std::string LocalBinding();
  void SetLocalBinding(const std::string& value);
  int32_t BatchSize() { return GetBatchSize(); }
  int32_t TimeOut();
  void SetTimeOut(int32_t value);
  int32_t BitsPerSec();
  void SetBitsPerSec(int32_t value);
  bool UseIpV6();
  void SetUseIpV6(bool value);
  int32_t KeepAlive() const { return keepAlive_; }
  void SetKeepAlive(int32_t value);
  TzqFirewallSettings& FirewallSettings() { return *firewallSettings_; }
  void SetFirewallSettings(const TzqFirewallSettings& value);
  TzqTcpProxy* Proxy() const { return proxy_; }
  void SetProxy(TzqTcpProxy* value);
  int32_t ConnectTimeOut();
  void SetConnectTimeOut(int32_t value);
  bool DisableGuiProcessing();
  void SetDisableGuiProcessing(bool value);

  TzqNotifyEvent OnChanged;
  TzqNotifyEvent OnOpen;
  TzqNotifyEvent OnClose;

protected:
  void Notification(TzqComponent* component, TzqOperation operation) override;
  virtual void Changed();
  virtual void DoOpen();
  virtual void DoClose();

  void StartKeepAlive();
  void StopKeepAlive();
  // After a failed open: stops the keep-alive and closes what was opened; the open's own
  // error is the one reported, so a socket error on the way is dropped.
  void AbandonOpen();
  // Connects to server and port itself (through the firewall when one is set), not through a proxy.
  void OpenDirectConnection(const std::string& server, int32_t port);

  // Compare, store, then Changed: for a setting in a field, and for one kept behind a getter
  // and a setter (the connection's).
  template <typename T>
  void Update(T& field, const T& value) {
    UpdateSetting(field, value, [this] { Changed(); });
  }
  template <typename T, typename Get, typename Set>
  void Update(const T& value, Get get, Set set) {
    UpdateSetting(value, get, set, [this] { Changed(); });
  }

private:
  void KeepAliveTick();

  std::string server_;
  int32_t port_ = 0;
  int32_t keepAlive_ = 0;
  std::unique_ptr<TzqFirewallSettings> firewallSettings_;
  TzqTcpProxy* proxy_ = nullptr;
  std::unique_ptr<TzqTcpClientConnection> connection_;
  TzqWindowHandle keepAliveWindow_ = 0;
  std::mutex keepAliveLock_;
  bool timerRunning_ = false;
};

// A proxy component: opens tunnels to a server, for itself or on another connection.
class ZQ_API TzqTcpProxy : public TzqTcpClient {
public:
  using TzqTcpClient::TzqTcpClient;
  std::string ClassName() const override { return "TzqTcpProxy"; }

  virtual void OpenTunnel(const std::string& server, int32_t port) = 0;
  virtual void OpenTunnelOn(TzqTcpConnection& connection, const std::string& server, int32_t port) = 0;
};

}  // namespace zq
