#pragma once
// The HTTP proxy tunnel: a proxy component that sends CONNECT to an HTTP proxy, answers its
// 407 challenges through the authorization schemes, and leaves the open connection to the
// client that names it as its Proxy. The response header is read one byte at a time so that
// nothing after it (the far server's first bytes) is taken from the tunnel.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/zqApi.h"
#include "core/zqStringList.h"
#include "http/zqHttpHeader.h"
#include "http/zqHttpUtils.h"
#include "net/zqTcpClient.h"

namespace zq {

// A proxy response header that has not ended after this many bytes is refused.
constexpr int64_t kMaxProxyHeaderReads = 1002;

inline const char* const sProxyUserAgent = "Mozilla/4.0 (compatible; Quorvex)";
inline const char* const sProxyHeaderTooLong = "The proxy's response header did not end within 1002 bytes";
inline const char* const sProxyNoStatus = "The proxy's response has no valid status line";
// A proxy's response body is kept in memory (it becomes the error text): beyond this it is refused.
constexpr int64_t kMaxProxyBodyBytes = int64_t{1} << 20;
inline const char* const sProxyBodyTooLong = "The proxy's response body exceeds 1048576 bytes";

// Message: the proxy's status line as received; ErrorCode: its status code.
class ZQ_API EzqHttpProxyError : public EzqTcpClientError {
public:
  EzqHttpProxyError(const std::string& message, std::string responseText, int statusCode)
      : EzqTcpClientError(message, statusCode), responseText_(std::move(responseText)) {}
  const std::string& ResponseText() const { return responseText_; }

private:
  std::string responseText_;
};

using TzqHttpProxyRequestEvent =
    std::function<void(TzqObject* Sender, const std::string& AHost, int32_t APort, const TzqStringList& AHeader)>;
using TzqHttpProxyResponseEvent = std::function<void(TzqObject* Sender, const std::string& AHost, int32_t APort,
                                                     const TzqStringList& AHeader, const TzqStringList& ABody)>;

class ZQ_API TzqHttpProxy : public TzqTcpProxy {
public:
  explicit TzqHttpProxy(TzqComponent* owner = nullptr);
  ~TzqHttpProxy() override;
  std::string ClassName() const override { return "TzqHttpProxy"; }

  TzqTcpClientConnection& GetConnection() override;
  int32_t GetDefaultPort() const override { return 8080; }
  void BeforeDestroy() override;
  void OpenTunnel(const std::string& server, int32_t port) override;
  void OpenTunnelOn(TzqTcpConnection& connection, const std::string& server, int32_t port) override;

  TzqHttpVersion RequestVersion() const { return requestVersion_; }
  void SetRequestVersion(TzqHttpVersion value);
  const std::string& UserName() const { return settings_.UserName(); }
  void SetUserName(const std::string& value);
  const std::string& Password() const { return settings_.Password(); }
  void SetPassword(const std::string& value);
  TzqAuthorizationType AuthorizationType() const { return settings_.AuthorizationType(); }
  void SetAuthorizationType(TzqAuthorizationType value);
  // A client's proxy settings taken whole: their server and port become this proxy's.
  void SetSettings(const TzqHttpProxySettings& value);
  const std::string& UserAgent() const { return userAgent_; }
  void SetUserAgent(const std::string& value);
  int32_t MaxAuthRetries() const { return maxAuthRetries_; }
  void SetMaxAuthRetries(int32_t value);

  TzqHttpRequestHeader& RequestHeader() { return *requestHeader_; }
  TzqHttpResponseHeader& ResponseHeader() { return *responseHeader_; }
  // Of the last exchange.
  TzqHttpVersion ResponseVersion() const { return responseVersion_; }
  const std::string& StatusText() const { return statusText_; }
  int32_t StatusCode() const { return statusCode_; }

  TzqHttpProxyRequestEvent OnSendRequest;
  TzqHttpProxyResponseEvent OnReceiveResponse;

protected:
  virtual void DoSendRequest(const std::string& host, int32_t port, const TzqStringList& header);
  virtual void DoReceiveResponse(const std::string& host, int32_t port, const TzqStringList& header,
                                 const TzqStringList& body);

private:
  void RunConnectExchange(const std::string& host, int32_t port, const TzqStringList& requestLines);
  // One CONNECT and its response; false when a dropped kept connection calls for a new attempt.
  bool SendAttempt(const std::string& host, int32_t port, TzqStringList& lines, TzqStringList& header,
                   TzqStringList& body);
  // Acts on the response status; true when the tunnel is open.
  bool HandleStatus(const TzqStringList& header, const TzqStringList& body, int& challenges, TzqStringList& lines,
                    bool& closeAfterwards);
  bool AuthorizeTunnel(const TzqStringList& challenges, TzqStringList& lines, bool& startNewConnection);
  [[noreturn]] void Fail(const TzqStringList& header, const TzqStringList& body);
  void EnsureProxyConnection();
  void ComposeConnectRequest(TzqStringList& lines) const;
  // The response's header and its body as text (kept up to kMaxProxyBodyBytes).
  void ReadConnectResponse(TzqStringList& lines, TzqStringList& bodyLines);
  bool ProxyKeepAlive() const;
  std::string Target() const;

  TzqHttpVersion requestVersion_ = hvHttp1_0;
  // The credentials and the scheme to answer with (Server and Port are the base's).
  TzqHttpProxySettings settings_;
  std::string userAgent_ = sProxyUserAgent;
  int32_t maxAuthRetries_ = 5;

  std::unique_ptr<TzqHttpRequestHeader> requestHeader_;
  std::unique_ptr<TzqHttpResponseHeader> responseHeader_;
  TzqHttpVersion responseVersion_ = hvHttp1_0;
  std::string statusText_;
  int32_t statusCode_ = 0;
  std::string targetHost_;
  int32_t targetPort_ = 0;
  std::string proxyServer_;
  int32_t proxyPort_ = 0;
  TzqTcpClientConnection* borrowed_ = nullptr;
  bool mustClose_ = false;  // the last response's framing leaves the connection unusable
};

}  // namespace zq
