#pragma once
// SOCKS 4, 4a and 5 network streams: the handshake runs as the connection's pending actions
// right after the TCP connection to the firewall is made; then every read and write passes
// through to the inner stream.

#include <cstdint>
#include <memory>
#include <string>

#include "core/zqApi.h"
#include "net/zqFirewallUtils.h"
#include "net/zqSocket.h"

namespace zq {

// SOCKS 4 / 4a result codes and SOCKS 5 reply codes with their texts.
ZQ_API std::string Socks4ErrorText(int code);
ZQ_API std::string Socks5ErrorText(int code);

inline const char* const sSocksNoAcceptableMethods = "SOCKS error: No acceptable authentication methods";
inline const char* const sSocksAuthenticationFailed = "SOCKS error: authentication failed";
inline const char* const sSocksAddressTypeNotSupported = "SOCKS error: Address type not supported";
inline const char* const sSocksFieldTooLong = "SOCKS error: the %s is longer than 255 bytes";
inline const char* const sSocks4NeedsIPv4 = "SOCKS error: SOCKS 4 can only reach IPv4 addresses (%s)";
constexpr int kSocksFieldTooLongCode = -102;
inline const char* const sSocksWrongVersion = "SOCKS error: the server replied with version %d where %d was expected";
constexpr int kSocksWrongVersionCode = -103;

class ZQ_API TzqSocksNetworkStream : public TzqNetworkStream {
public:
  enum TzqSocksState { ssStart = 0, ssAuthenticate = 1, ssConnectRequest = 2, ssAccepted = 3, ssPassThrough = 4 };

  explicit TzqSocksNetworkStream(std::unique_ptr<TzqNetworkStream> inner);
  ~TzqSocksNetworkStream() override;
  std::string ClassName() const override { return "TzqSocksNetworkStream"; }

  void SetConnection(TzqConnection* connection) override;
  void AssignFrom(const TzqNetworkStream& other) override;
  bool Connect(TzqIPAddress& address, int32_t port) override;
  void UpdateLocalAddress() override;
  void PrepareClose(bool notifyPeer) override;
  void NotifyReady() override;
  bool ReadToStream(TzqStream* stream) override;
  bool WriteFromStream(TzqStream* stream) override;
  int32_t GetReadBatchSize() override;
  int32_t GetWriteBatchSize() override;
  bool IsLimitReached() override;
  void ResetCounter() override;
  void AddBytes(int64_t n) override;
  void BeforeConnect() override;
  void EnableBroadcast() override;
  void Listen() override;
  void Accept() override;
  void BeforeAccept() override;
  bool ReceiveFrom(TzqByteArray& buffer, TzqIPAddress& address, int32_t& port) override;
  bool SendTo(TzqStream* stream, TzqIPAddress& address, int32_t port) override;

  virtual TzqByteArray BuildRequest() = 0;
  virtual bool ParseReply(const TzqByteArray& reply) = 0;
  virtual int32_t ExpectedReplyLength() = 0;

  int32_t TargetPort() const { return targetPort_; }
  void SetTargetPort(int32_t value) { targetPort_ = value; }
  const std::string& TargetServer() const { return targetServer_; }
  void SetTargetServer(const std::string& value) { targetServer_ = value; }
  const std::string& UserName() const { return userName_; }
  void SetUserName(const std::string& value) { userName_ = value; }
  const std::string& Password() const { return password_; }
  void SetPassword(const std::string& value) { password_ = value; }
  TzqSocksState State() const { return state_; }
  TzqNetworkStream& InnerStream() const { return *inner_; }

protected:
  void SetState(TzqSocksState value) { state_ = value; }
  // The reply was accepted: pass data through from now on.
  void Accepted();
  // The target as address bytes (4 or 16); empty when it is not numeric.
  TzqByteArray NumericTarget() const;

private:
  void TakeOverInnerAction();
  void SyncFromInner();
  bool ReadReply();

  int32_t targetPort_ = 0;
  std::string targetServer_;
  TzqMemoryStream readBuffer_;
  std::string userName_;
  std::string password_;
  TzqSocksState state_ = ssStart;
  std::unique_ptr<TzqNetworkStream> inner_;
  // A request not yet sent in full survives a send that would block.
  std::unique_ptr<TzqMemoryStream> request_;
};

class ZQ_API TzqSocks4NetworkStream : public TzqSocksNetworkStream {
public:
  using TzqSocksNetworkStream::TzqSocksNetworkStream;
  std::string ClassName() const override { return "TzqSocks4NetworkStream"; }

  TzqByteArray BuildRequest() override;
  bool ParseReply(const TzqByteArray& reply) override;
  int32_t ExpectedReplyLength() override;

protected:
  void AppendCommand(TzqByteArray& request) const;
  void AppendUserId(TzqByteArray& request) const;
};

class ZQ_API TzqSocks4aNetworkStream : public TzqSocks4NetworkStream {
public:
  using TzqSocks4NetworkStream::TzqSocks4NetworkStream;
  std::string ClassName() const override { return "TzqSocks4aNetworkStream"; }

  TzqByteArray BuildRequest() override;
};

class ZQ_API TzqSocks5NetworkStream : public TzqSocksNetworkStream {
public:
  using TzqSocksNetworkStream::TzqSocksNetworkStream;
  std::string ClassName() const override { return "TzqSocks5NetworkStream"; }

  bool Connect(TzqIPAddress& address, int32_t port) override;
  TzqByteArray BuildRequest() override;
  bool ParseReply(const TzqByteArray& reply) override;
  int32_t ExpectedReplyLength() override;

private:
  void CheckFieldLengths() const;
  TzqByteArray Greeting();
  TzqByteArray Login();
  TzqByteArray ConnectRequest();
  bool ParseConnectReply(const TzqByteArray& reply);

  int32_t expectedLength_ = 0;
};

}  // namespace zq
