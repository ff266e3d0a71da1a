#pragma once
// The HTTP/1.0 and 1.1 client: one call is one whole exchange over a kept or new connection
// (TLS for https, a CONNECT tunnel for https through an HTTP proxy), with redirects, server and
// proxy authorization, cookies, chunked and gzip bodies. Bodies stream both ways; only the
// response header is held in memory.

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "codec/zqUriUtils.h"
#include "codec/zqUtils.h"
#include "core/zqApi.h"
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

/// OnSendRequest: the method, the URL and the request header lines as sent.
using TzqHttpRequestEvent = std::function<void(TzqObject* Sender, const std::string& AMethod, const std::string& AUrl,
                                               TzqStringList& ARequestHeader)>;
/// OnReceiveHeader: the response header lines (status line first) and the cookies they set;
/// setting Cancel ends the exchange without error, the body unread and the connection closed.
using TzqHttpHeaderEvent = std::function<void(TzqObject* Sender, const std::string& AMethod, const std::string& AUrl,
                                              TzqStringList& AResponseHeader, TzqCookieList& ACookies, bool& Cancel)>;
/// OnReceiveResponse: as OnReceiveHeader, once the body has been read.
using TzqHttpResponseEvent = std::function<void(TzqObject* Sender, const std::string& AMethod, const std::string& AUrl,
                                                TzqStringList& AResponseHeader, TzqCookieList& ACookies)>;
/// OnRedirect: the request lines of the next attempt (editable), the status, the parsed response
/// header and its body as text, and the method to follow with (editable). Setting Handled makes
/// CanRedirect the answer and leaves the URL unchanged; otherwise the client follows Location.
using TzqHttpRedirectEvent = std::function<void(TzqObject* Sender, TzqStringList& ARequestHeader, int32_t AStatusCode,
                                                TzqHttpResponseHeader& AResponseHeader, TzqStringList& AResponseText,
                                                std::string& AMethod, bool& CanRedirect, bool& Handled)>;

/// The HTTP/1.0 and 1.1 client component.
///
/// Each operation (Get, Head, Put, Post, Delete, Custom) is one whole exchange and blocks the
/// calling thread until it ends; while it waits, the thread's message pump keeps dispatching, so
/// a window stays responsive. One exchange at a time per object. The connection is kept between
/// calls when the server allows it and the next URL has the same scheme, host, port and proxy.
///
/// URLs are absolute http or https URLs. In every operation the lists and streams may be null:
/// a temporary list, an empty body and a sink that discards the response body stand in.
/// A response header list receives the lines of the last response, status line first; a response
/// body stream receives the body decoded (chunked, gzip, deflate), written at its position. The
/// client never takes ownership of what it is given.
///
/// Operations throw EzqHttpError for a status of 400 or more (message: the status line;
/// ErrorCode: the status; ResponseText: the body as text) unless SilentHTTP is set, for a redirect
/// or challenge that cannot be followed or exceeds MaxRedirects or MaxAuthRetries (with that
/// response's status), for a body beyond MaxResponseSize and for CR, LF or NUL in header text
/// (before anything is sent); a refusal (400 and above) that a server sends before it drops the
/// connection, the request body still going out, is raised as such. Lower layers' errors pass
/// unchanged: EzqSocketError and EzqTcpClientError for connections and time-outs, EzqSSPIError
/// for a failed TLS handshake, EzqSocketError with the CryptoAPI verdict as ErrorCode for a
/// refused server certificate, EzqHttpProxyError for a CONNECT tunnel, EzqSocksFirewallError
/// for SOCKS.
class ZQ_API TzqHttp : public TzqTcpClientTls {
public:
  /// An owner destroys the client with itself.
  explicit TzqHttp(TzqComponent* owner = nullptr);
  /// Closes the connection; errors on closing are swallowed.
  ~TzqHttp() override;
  /// "TzqHttp".
  std::string ClassName() const override { return "TzqHttp"; }

  /// The CONNECT tunnel once an https request went through ProxySettings, else Proxy.
  TzqTcpProxy* GetProxy() override;
  /// 80.
  int32_t GetDefaultPort() const override { return 80; }
  /// Connects to the ProxySettings server for an http URL when one is set, else as the TLS client does.
  void OpenConnection(const std::string& server, int32_t port) override;
  /// Drops the references to Request and CookieManager and frees what the client owns.
  void BeforeDestroy() override;

  /// GET. request null: the default request (Request, else the client's own, cleared each
  /// time). The request's rendered body text, when not empty, is appended to the URL as "?" and
  /// the text; a request whose ContentType is "application/json" sends its body instead.
  virtual void Get(const std::string& url, TzqHttpRequest* request, TzqStringList* responseHeader,
                   TzqStream* responseBody);
  /// HEAD with the default request; no body is read, and no OnReceiveResponse is raised.
  virtual void Head(const std::string& url, TzqStringList* responseHeader);
  /// PUT of requestBody from its position to its end, with the default request's header;
  /// contentType, when not empty, becomes its Content-Type.
  virtual void Put(const std::string& url, const std::string& contentType, TzqStream* requestBody,
                   TzqStringList* responseHeader, TzqStream* responseBody);
  /// POST of the request's rendered body: url-encoded, multipart or raw as its header's
  /// ContentType says (which its items set). request null: the default request.
  virtual void Post(const std::string& url, TzqHttpRequest* request, TzqStringList* responseHeader,
                    TzqStream* responseBody);
  /// DELETE with the default request.
  virtual void Delete(const std::string& url, TzqStringList* responseHeader, TzqStream* responseBody);
  /// Any other method (PATCH, OPTIONS, PROPFIND, ...: an RFC 9110 token, its case kept) through
  /// the same exchange: redirects as its kind follows them, authorization, cookies. The body is
  /// requestBody from its position to its end when given, typed by the request's ContentType;
  /// else what the request renders. request null: the Request property, else an empty one.
  /// Throws EzqHttpError before anything is sent when method is not a token, or is CONNECT
  /// (tunnels come from ProxySettings).
  virtual void Custom(const std::string& method, const std::string& url, TzqHttpRequest* request,
                      TzqStream* requestBody, TzqStringList* responseHeader, TzqStream* responseBody);
  /// Throws the EzqHttpError Custom raises for a method it does not send.
  static void CheckMethod(const std::string& method);
  /// The method a redirect continues with: "GET" for 302 and 303 (a HEAD stays a HEAD), else method.
  virtual std::string GetRedirectMethod(int32_t statusCode, const std::string& method);
  /// Post without a response header list.
  void Post(const std::string& url, TzqHttpRequest* request, TzqStream* responseBody) {
    Post(url, request, nullptr, responseBody);
  }

  /// The default request of operations given none; not owned, cleared when it is destroyed.
  /// Null: the client's own request, cleared before each use.
  TzqHttpRequest* Request() const { return request_; }
  /// Sets Request.
  void SetRequest(TzqHttpRequest* value);
  /// The version of the request line (hvHttp1_1); with HTTP/1.0 a connection is kept only when
  /// the server says Keep-Alive.
  TzqHttpVersion HttpVersion() const { return httpVersion_; }
  /// Sets HttpVersion.
  void SetHttpVersion(TzqHttpVersion value) { Update(httpVersion_, value); }
  /// Server credentials; empty: those of the URL. They answer challenges of the first URL's
  /// origin only, never of a host a redirect leads to.
  const std::string& UserName() const { return userName_; }
  /// Sets UserName.
  void SetUserName(const std::string& value) { Update(userName_, value); }
  /// The password of UserName.
  const std::string& Password() const { return password_; }
  /// Sets Password.
  void SetPassword(const std::string& value) { Update(password_, value); }
  /// A fixed Authorization field value for every request (dropped when a redirect leaves the
  /// URL's directory); with one set, a 401 fails instead of being answered.
  const std::string& Authorization() const { return authorization_; }
  /// Sets Authorization.
  void SetAuthorization(const std::string& value) { Update(authorization_, value); }
  /// atBasic: Basic credentials go with the first request; atAutoDetect (default): credentials
  /// answer the server's challenges.
  TzqAuthorizationType AuthorizationType() const { return authorizationType_; }
  /// Sets AuthorizationType.
  void SetAuthorizationType(TzqAuthorizationType value) { Update(authorizationType_, value); }
  /// The User-Agent field, unless the request carries one.
  const std::string& UserAgent() const { return userAgent_; }
  /// Sets UserAgent.
  void SetUserAgent(const std::string& value) { Update(userAgent_, value); }
  /// Ask for a persistent connection and keep it when the server agrees (default true).
  /// Answering a challenge sets it: NTLM and Negotiate need their connection kept.
  bool KeepConnection() const { return keepConnection_; }
  /// Sets KeepConnection.
  void SetKeepConnection(bool value) { Update(keepConnection_, value); }
  /// False: send Cache-Control (HTTP/1.0: Pragma) "no-cache". Default true.
  bool AllowCaching() const { return allowCaching_; }
  /// Sets AllowCaching.
  void SetAllowCaching(bool value) { Update(allowCaching_, value); }
  /// Follow 3xx responses (not 304 and 305) to http and https locations. Default true; false
  /// ends the exchange at the 3xx as a failure.
  bool AllowRedirects() const { return allowRedirects_; }
  /// Sets AllowRedirects.
  void SetAllowRedirects(bool value) { Update(allowRedirects_, value); }
  /// Send the matching cookies of the store and store those received (default true).
  bool AllowCookies() const { return allowCookies_; }
  /// Sets AllowCookies.
  void SetAllowCookies(bool value) { Update(allowCookies_, value); }
  /// Send Accept-Encoding "gzip, deflate" unless the request carries one (default true).
  /// Compressed responses are decoded either way.
  bool AllowCompression() const { return allowCompression_; }
  /// Sets AllowCompression.
  void SetAllowCompression(bool value) { Update(allowCompression_, value); }
  /// The HTTP proxy (owned): http requests go to it, https ones through a CONNECT tunnel.
  /// An empty Server: none.
  TzqHttpProxySettings& ProxySettings() { return *proxySettings_; }
  /// Copies the values of value.
  void SetProxySettings(const TzqHttpProxySettings& value);
  /// Redirects one exchange follows (default 15); one more fails. 0 or less: no limit.
  int32_t MaxRedirects() const { return maxRedirects_; }
  /// Sets MaxRedirects.
  void SetMaxRedirects(int32_t value) { Update(maxRedirects_, value); }
  /// Challenges one exchange answers, server and proxy counted apart (default 5); one more
  /// fails. 0 or less: no limit.
  int32_t MaxAuthRetries() const { return maxAuthRetries_; }
  /// Sets MaxAuthRetries.
  void SetMaxAuthRetries(int32_t value) { Update(maxAuthRetries_, value); }
  /// The cookie store; not owned, cleared when it is destroyed. Null: a store of the client's
  /// own, made on first use.
  TzqCookieManager* CookieManager() const { return cookieManager_; }
  /// Sets CookieManager; a store given frees the client's own, and the cookies it held.
  void SetCookieManager(TzqCookieManager* value);
  /// True: a status of 400 or more, or a redirect or challenge that cannot be followed, raises
  /// nothing; its body goes to the response body stream instead, byte for byte (default false).
  /// A redirect's or challenge's body over 1 MiB is not read whole and still raises.
  bool SilentHTTP() const { return silentHttp_; }
  /// Sets SilentHTTP.
  void SetSilentHTTP(bool value) { Update(silentHttp_, value); }
  /// Send Expect "100-continue" with a body (default false); the body follows the header
  /// without waiting for the interim response.
  bool Expect100Continue() const { return expect100Continue_; }
  /// Sets Expect100Continue.
  void SetExpect100Continue(bool value) { Update(expect100Continue_, value); }
  /// The character set of request texts, of response texts that name none, and of the URL
  /// parser; empty: the default.
  const std::string& CharSet() const { return charSet_; }
  /// Sets CharSet, the URL parser's too.
  void SetCharSet(const std::string& value);
  /// The most bytes a delivered body may have once decoded (0: no limit); a larger one ends the
  /// exchange with EzqHttpError and the connection closed.
  int64_t MaxResponseSize() const { return maxResponseSize_; }
  /// Sets MaxResponseSize.
  void SetMaxResponseSize(int64_t value) { Update(maxResponseSize_, value); }
  /// The schemes a server's challenge may be answered with, as a comma-separated list of scheme
  /// tokens ("Digest, NTLM"); empty: any the client knows. Proxy challenges are not limited.
  const std::string& AuthSchemes() const { return authSchemes_; }
  /// Sets AuthSchemes.
  void SetAuthSchemes(const std::string& value) { Update(authSchemes_, value); }
  /// Milliseconds a whole exchange may take, redirects and challenges included (0: no limit);
  /// TimeOut still bounds each wait from the last progress.
  int32_t TotalTimeOut() const { return totalTimeOut_; }
  /// Sets TotalTimeOut.
  void SetTotalTimeOut(int32_t value) { Update(totalTimeOut_, value); }

  /// The status code of the last response read (0 before any); readable after the call, also
  /// after a failure.
  int32_t StatusCode() const { return statusCode_; }
  /// The reason phrase of the last status line.
  const std::string& StatusText() const { return statusText_; }
  /// The version of the last status line.
  TzqHttpVersion ResponseVersion() const { return responseVersion_; }
  /// The last response header, parsed (owned by the client).
  TzqHttpResponseHeader& ResponseHeader() { return *responseHeader_; }
  /// The cookies the last response set, whether AllowCookies stores them or not (owned).
  TzqCookieList& ResponseCookies() { return *responseCookies_; }
  /// The URL of the current (or last) exchange.
  const TzqUrlParser& Url() const { return *url_; }
  /// The same, to change: the next request parses its URL anew even when it is the last one.
  TzqUrlParser& Url() {
    parsedUrl_.clear();
    return *url_;
  }

  /// After a request's header and body were sent.
  TzqHttpRequestEvent OnSendRequest;
  /// After each response header was read and its cookies stored, redirects and challenges too.
  TzqHttpHeaderEvent OnReceiveHeader;
  /// After each response body was read (not for HEAD).
  TzqHttpResponseEvent OnReceiveResponse;
  /// While the request body is sent: bytes sent and the body's size; at least once per body.
  TzqProgressEvent OnSendProgress;
  /// While a response body is read: bytes received as sent (before decoding) and the
  /// Content-Length, -1 when unknown; at least once per body.
  TzqProgressEvent OnReceiveProgress;
  /// Before a redirect is followed; may decide it, or change the method.
  TzqHttpRedirectEvent OnRedirect;

protected:
  /// Clears Request or CookieManager when that component is destroyed.
  void Notification(TzqComponent* component, TzqOperation operation) override;

  /// Raises OnSendRequest; override to act without a handler.
  virtual void DoSendRequest(const std::string& method, const std::string& url, TzqStringList& header);
  /// Raises OnReceiveHeader; override to act without a handler.
  virtual void DoReceiveHeader(const std::string& method, const std::string& url, TzqStringList& header,
                               TzqCookieList& cookies, bool& cancel);
  /// Raises OnReceiveResponse; override to act without a handler.
  virtual void DoReceiveResponse(const std::string& method, const std::string& url, TzqStringList& header,
                                 TzqCookieList& cookies);
  /// Raises OnSendProgress; override to act without a handler.
  virtual void DoSendProgress(int64_t bytesProceed, int64_t totalBytes);
  /// Raises OnReceiveProgress; override to act without a handler.
  virtual void DoReceiveProgress(int64_t bytesProceed, int64_t totalBytes);
  /// Raises OnRedirect; override to act without a handler.
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
  // url_->RequestTarget(), composed once per parse of a URL the caller named.
  const std::string& RequestTarget();
  void AuthorizeFirst(Exchange& exchange);
  bool AuthorizeInto(Exchange& exchange, const TzqStringList& challenges, bool proxy, bool& newConnection);
  // Closes a kept connection of another route and sets up the one this URL takes.
  void ChooseRoute();
  void ComposeRequest(Exchange& exchange);
  std::exception_ptr SendRequestBytes(const std::string& header, TzqStream& body, bool newConnection);
  void TakeEarlyRefusal(Exchange& exchange, const std::exception_ptr& cut);
  void WriteRequestBytes(const std::string& header, TzqStream& body);
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
  struct TzqRoute {
    bool https = false;
    std::string host;
    int32_t port = 0;
    std::string proxyServer;
    int32_t proxyPort = 0;
  };
  TzqRoute lastRoute_;
  uint64_t deadline_ = 0;  // of the exchange under way, from TotalTimeOut
  std::string parsedUrl_;  // the text url_ holds parsed; empty once url_ moved on from it
  std::string fullUrl_;    // url_->FullUrl(), composed once per parse
  std::string requestTarget_;
};

}  // namespace zq
