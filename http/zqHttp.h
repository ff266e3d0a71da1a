#pragma once
// The HTTP/1.0 and 1.1 client: one call is one whole exchange over a kept or new connection
// (TLS for https, a CONNECT tunnel for https through an HTTP proxy), with redirects, server and
// proxy authorization, cookies, chunked and gzip bodies. Bodies stream both ways; only the
// response header is held in memory.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "codec/zqUriUtils.h"
#include "codec/zqUtils.h"
#include "core/zqStream.h"
#include "core/zqStringList.h"
#include "http/zqCookieManager.h"
#include "http/zqHttpHeader.h"
#include "http/zqHttpProxy.h"
#include "http/zqHttpRequest.h"
#include "http/zqHttpResponseReader.h"
#include "http/zqHttpUtils.h"
#include "tls/zqTcpClientTls.h"

namespace zq {

using TzqHttpRequestEvent = std::function<void(TzqObject* Sender, const std::string& AMethod, const std::string& AUrl,
                                               TzqStringList& ARequestHeader)>;
using TzqHttpHeaderEvent = std::function<void(TzqObject* Sender, const std::string& AMethod, const std::string& AUrl,
                                              TzqStringList& AResponseHeader, TzqCookieList& ACookies, bool& Cancel)>;
using TzqHttpResponseEvent = std::function<void(TzqObject* Sender, const std::string& AMethod, const std::string& AUrl,
                                                TzqStringList& AResponseHeader, TzqCookieList& ACookies)>;
using TzqHttpRedirectEvent = std::function<void(TzqObject* Sender, TzqStringList& ARequestHeader, int32_t AStatusCode,
                                                TzqHttpResponseHeader& AResponseHeader, TzqStringList& AResponseText,
                                                std::string& AMethod, bool& CanRedirect, bool& Handled)>;

class TzqHttp : public TzqTcpClientTls {
public:
  explicit TzqHttp(TzqComponent* owner = nullptr);
  ~TzqHttp() override;
  std::string ClassName() const override { return "TzqHttp"; }

  TzqTcpProxy* GetProxy() override;
  int32_t GetDefaultPort() const override { return 80; }
  void OpenConnection(const std::string& server, int32_t port) override;
  void BeforeDestroy() override;

  // Any of the lists and streams may be null: defaults stand in.
  virtual void Get(const std::string& url, TzqHttpRequest* request, TzqStringList* responseHeader,
                   TzqStream* responseBody);
  virtual void Head(const std::string& url, TzqStringList* responseHeader);
  virtual void Put(const std::string& url, const std::string& contentType, TzqStream* requestBody,
                   TzqStringList* responseHeader, TzqStream* responseBody);
  virtual void Post(const std::string& url, TzqHttpRequest* request, TzqStringList* responseHeader,
                    TzqStream* responseBody);
  virtual void Delete(const std::string& url, TzqStringList* responseHeader, TzqStream* responseBody);
  // Any other method (PATCH, OPTIONS, PROPFIND, ...: an RFC 9110 token, its case kept) through
  // the same exchange: redirects as its kind follows them, authorization, cookies. The body is
  // requestBody from its position to its end when given, typed by the request's ContentType;
  // else what the request renders. request null: the Request property, else an empty one.
  // Throws EzqHttpError before anything is sent when method is not a token, or is CONNECT
  // (tunnels come from ProxySettings).
  virtual void Custom(const std::string& method, const std::string& url, TzqHttpRequest* request,
                      TzqStream* requestBody, TzqStringList* responseHeader, TzqStream* responseBody);
  // Throws the EzqHttpError Custom raises for a method it does not send.
  static void CheckMethod(const std::string& method);
  virtual std::string GetRedirectMethod(int32_t statusCode, const std::string& method);
  void Post(const std::string& url, TzqHttpRequest* request, TzqStream* responseBody) {
    Post(url, request, nullptr, responseBody);
  }

  TzqHttpRequest* Request() const { return request_; }
  void SetRequest(TzqHttpRequest* value);
  TzqHttpVersion HttpVersion() const { return httpVersion_; }
  void SetHttpVersion(TzqHttpVersion value) { Update(httpVersion_, value); }
  const std::string& UserName() const { return userName_; }
  void SetUserName(const std::string& value) { Update(userName_, value); }
  const std::string& Password() const { return password_; }
  void SetPassword(const std::string& value) { Update(password_, value); }
  const std::string& Authorization() const { return authorization_; }
  void SetAuthorization(const std::string& value) { Update(authorization_, value); }
  TzqAuthorizationType AuthorizationType() const { return authorizationType_; }
  void SetAuthorizationType(TzqAuthorizationType value) { Update(authorizationType_, value); }
  const std::string& UserAgent() const { return userAgent_; }
  void SetUserAgent(const std::string& value) { Update(userAgent_, value); }
  bool KeepConnection() const { return keepConnection_; }
  void SetKeepConnection(bool value) { Update(keepConnection_, value); }
  bool AllowCaching() const { return allowCaching_; }
  void SetAllowCaching(bool value) { Update(allowCaching_, value); }
  bool AllowRedirects() const { return allowRedirects_; }
  void SetAllowRedirects(bool value) { Update(allowRedirects_, value); }
  bool AllowCookies() const { return allowCookies_; }
  void SetAllowCookies(bool value) { Update(allowCookies_, value); }
  bool AllowCompression() const { return allowCompression_; }
  void SetAllowCompression(bool value) { Update(allowCompression_, value); }
  TzqHttpProxySettings& ProxySettings() { return *proxySettings_; }
  void SetProxySettings(const TzqHttpProxySettings& value);
  int32_t MaxRedirects() const { return maxRedirects_; }
  void SetMaxRedirects(int32_t value) { Update(maxRedirects_, value); }
  int32_t MaxAuthRetries() const { return maxAuthRetries_; }
  void SetMaxAuthRetries(int32_t value) { Update(maxAuthRetries_, value); }
  TzqCookieManager* CookieManager() const { return cookieManager_; }
  void SetCookieManager(TzqCookieManager* value);
  bool SilentHTTP() const { return silentHttp_; }
  void SetSilentHTTP(bool value) { Update(silentHttp_, value); }
  bool Expect100Continue() const { return expect100Continue_; }
  void SetExpect100Continue(bool value) { Update(expect100Continue_, value); }
  const std::string& CharSet() const { return charSet_; }
  void SetCharSet(const std::string& value);
  // The most bytes a delivered body may have once decoded (0: no limit); a larger one ends the
  // exchange with EzqHttpError and the connection closed.
  int64_t MaxResponseSize() const { return maxResponseSize_; }
  void SetMaxResponseSize(int64_t value) { Update(maxResponseSize_, value); }
  // The schemes a server's challenge may be answered with, as a comma-separated list of scheme
  // tokens ("Digest, NTLM"); empty: any the client knows. Proxy challenges are not limited.
  const std::string& AuthSchemes() const { return authSchemes_; }
  void SetAuthSchemes(const std::string& value) { Update(authSchemes_, value); }
  // Milliseconds a whole exchange may take, redirects and challenges included (0: no limit);
  // TimeOut still bounds each wait from the last progress.
  int32_t TotalTimeOut() const { return totalTimeOut_; }
  void SetTotalTimeOut(int32_t value) { Update(totalTimeOut_, value); }

  // Of the last response read; readable after the call.
  int32_t StatusCode() const { return statusCode_; }
  const std::string& StatusText() const { return statusText_; }
  TzqHttpVersion ResponseVersion() const { return responseVersion_; }
  TzqHttpResponseHeader& ResponseHeader() { return *responseHeader_; }
  TzqCookieList& ResponseCookies() { return *responseCookies_; }
  // The URL of the current (or last) exchange.
  TzqUrlParser& Url() { return *url_; }

  TzqHttpRequestEvent OnSendRequest;
  TzqHttpHeaderEvent OnReceiveHeader;
  TzqHttpResponseEvent OnReceiveResponse;
  TzqProgressEvent OnSendProgress;
  TzqProgressEvent OnReceiveProgress;
  TzqHttpRedirectEvent OnRedirect;

protected:
  void Notification(TzqComponent* component, TzqOperation operation) override;

  virtual void DoSendRequest(const std::string& method, const std::string& url, TzqStringList& header);
  virtual void DoReceiveHeader(const std::string& method, const std::string& url, TzqStringList& header,
                               TzqCookieList& cookies, bool& cancel);
  virtual void DoReceiveResponse(const std::string& method, const std::string& url, TzqStringList& header,
                                 TzqCookieList& cookies);
  virtual void DoSendProgress(int64_t bytesProceed, int64_t totalBytes);
  virtual void DoReceiveProgress(int64_t bytesProceed, int64_t totalBytes);
  virtual void DoRedirect(TzqStringList& requestHeader, int32_t statusCode, TzqHttpResponseHeader& responseHeader,
                          TzqStringList& responseText, std::string& method, bool& canRedirect, bool& handled);

private:
  struct Exchange;
  enum class Dispatch { Done, Again };

  TzqHttpRequest& DefaultRequest();
  void SendRequest(const std::string& method, const std::string& url, TzqStringList& requestLines,
                   TzqStream* requestBody, TzqStringList* responseHeader, TzqStream* responseBody);
  void SendRendered(const std::string& method, const std::string& url, TzqHttpRequest& request,
                    TzqStringList* responseHeader, TzqStream* responseBody);
  void RunExchange(Exchange& exchange);
  bool Attempt(Exchange& exchange);
  Dispatch DispatchStatus(Exchange& exchange);
  Dispatch Redirect(Exchange& exchange);
  Dispatch Challenge(Exchange& exchange, bool proxy);
  [[noreturn]] void Raise(Exchange& exchange);
  Dispatch Fail(Exchange& exchange);

  bool ProxyInUse();
  // A plain (not tunnelled) proxy carries this request: it sees the request, and its fields.
  bool PlainProxy() const;
  bool InStep(const Exchange& exchange) const;
  bool Spent(const Exchange& exchange) const;
  void UseUrl(const std::string& url);
  void AuthorizeFirst(Exchange& exchange);
  bool AuthorizeInto(Exchange& exchange, const TzqStringList& challenges, bool proxy, bool& newConnection);
  // Closes a kept connection of another route and sets up the one this URL takes.
  void ChooseRoute();
  void ComposeRequest(Exchange& exchange);
  void SendRequestBytes(const std::string& header, TzqStream& body);
  bool ReadResponseHeader(Exchange& exchange);
  bool KeepAliveDecision(const Exchange& exchange);
  void ReadBody(Exchange& exchange, TzqStream& destination);
  void ReadResponseText(Exchange& exchange);
  bool ResolveRedirect(Exchange& exchange);
  bool CheckRedirectTarget(Exchange& exchange, const std::string& location);
  void LeaveOrigin(Exchange& exchange);
  TzqStringList AllowedChallenges(const TzqStringList& offered) const;
  TzqCookieManager& Cookies();
  std::string TextCharSet() const;

  TzqHttpRequest* request_ = nullptr;
  std::unique_ptr<TzqHttpRequest> ownRequest_;
  TzqHttpVersion httpVersion_ = hvHttp1_1;
  std::string userName_;
  std::string password_;
  std::string authorization_;
  TzqAuthorizationType authorizationType_ = atAutoDetect;
  std::string userAgent_;
  bool keepConnection_ = true;
  bool allowCaching_ = true;
  bool allowRedirects_ = true;
  bool allowCookies_ = true;
  bool allowCompression_ = true;
  std::unique_ptr<TzqHttpProxySettings> proxySettings_;
  int32_t maxRedirects_ = 15;
  int32_t maxAuthRetries_ = 5;
  TzqCookieManager* cookieManager_ = nullptr;
  std::unique_ptr<TzqCookieManager> ownCookieManager_;
  bool silentHttp_ = false;
  bool expect100Continue_ = false;
  std::string charSet_;
  int64_t maxResponseSize_ = 0;
  int32_t totalTimeOut_ = 0;
  std::string authSchemes_;

  std::unique_ptr<TzqUrlParser> url_;
  std::unique_ptr<TzqHttpResponseHeader> responseHeader_;
  std::unique_ptr<TzqCookieList> responseCookies_;
  std::unique_ptr<TzqHttpProxy> tunnel_;
  std::string method_;
  int32_t statusCode_ = 0;
  std::string statusText_;
  TzqHttpVersion responseVersion_ = hvHttp1_1;
  bool progressRaised_ = false;
  // Scheme, host, port and proxy of the open connection: another route needs another one.
  std::string lastRoute_;
  uint64_t deadline_ = 0;  // of the exchange under way, from TotalTimeOut
  std::string parsedUrl_;  // the text url_ holds parsed; empty once url_ moved on from it
  std::string fullUrl_;    // url_->FullUrl(), composed once per parse
};

}  // namespace zq
