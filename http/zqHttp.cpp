#include "http/zqHttp.h"

#include <algorithm>

#include "codec/zqTranslator.h"
#include "codec/zqZLibStreams.h"
#include "core/zqError.h"
#include "core/zqSystem.h"
#include "core/zqText.h"
#include "http/zqHeaderFieldList.h"
#include "http/zqHttpAuth.h"
#include "http/zqStreams.h"
#include "platform/zqSocketApi.h"

namespace zq {

namespace {

const char* const sNoStatusLine = "The server's response has no valid status line";
const char* const sHeaderTooLong = "The server's response header exceeds 1048576 bytes";
const char* const sBodyTooLarge = "The response body exceeds MaxResponseSize (%lld bytes)";
const char* const sTextTooLarge = "The body of this %d response exceeds %lld bytes and was not read whole";
const char* const sRedirectScheme = "The redirect location is not an http or https URL with a host: %s";
const char* const sRedirectPort = "The redirect location's port is not between 1 and 65535: %s";
const char* const sBadMethod = "The request method is not an HTTP token: \"%s\"";
const char* const sConnectMethod = "CONNECT is not sent as a request; a proxy tunnel comes from ProxySettings";
constexpr int64_t kMaxHeaderBytes = int64_t{1} << 20;
// Error, redirect and challenge bodies kept as text stop here; the rest is not read.
constexpr int64_t kMaxResponseTextBytes = int64_t{1} << 20;
// A body up to this size leaves in the same send as the header.
constexpr int64_t kJoinedBodyBytes = int64_t{64} << 10;

// Indexed by TzqHttpVersion, and by whether a proxy is in use.
const char* const kNoCacheFields[2] = {"Pragma", "Cache-Control"};
const char* const kKeepAliveFields[2] = {"Connection", "Proxy-Connection"};

std::string PortSuffix(int32_t port) { return port == 80 || port == 443 ? std::string() : ":" + std::to_string(port); }

std::string HostField(const std::string& host, int32_t port) { return TzqUrlParser::HostText(host) + PortSuffix(port); }

// Routes a connection's progress to a handler for a scope; unhooked on every exit.
class TzqProgressRoute {
public:
  TzqProgressRoute(TzqTcpConnection& connection, TzqProgressEvent handler) : connection_(connection) {
    connection.OnProgress = std::move(handler);
  }
  ~TzqProgressRoute() { connection_.OnProgress = nullptr; }
  TzqProgressRoute(const TzqProgressRoute&) = delete;
  TzqProgressRoute& operator=(const TzqProgressRoute&) = delete;

private:
  TzqTcpConnection& connection_;
};

// Scheme, host and port, as credentials are tied to them.
std::string Origin(TzqUrlParser& url) {
  return LowerCase(url.Scheme()) + "://" + LowerCase(url.Host()) + ":" + std::to_string(url.Port());
}

bool IsTokenChar(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

// A refused method as it can be shown: control and non-ASCII bytes as \xHH, cut at 64.
std::string Shown(const std::string& text) {
  std::string shown;
  for (const char c : text.substr(0, 64)) {
    const auto byte = static_cast<unsigned char>(c);
    shown += byte < 0x20 || byte > 0x7E ? Format("\\x%02X", byte) : std::string(1, c);
  }
  return shown;
}

// Ends a kept text when it grows past its cap; what came before it stays.
struct TzqTextCapReached {};

}  // namespace

struct TzqHttp::Exchange {
  // The caller's list, made for this call: reworked in place at every attempt, not copied.
  explicit Exchange(TzqStringList& requestLines) : lines(requestLines) {}
  TzqStringList& lines;  // the request header
  TzqStream* body = nullptr;
  int64_t bodyStart = 0;
  TzqMemoryStream emptyBody;
  TzqStringList* responseLines = nullptr;
  TzqStringList ownResponseLines;
  TzqStream* responseBody = nullptr;
  TzqNonPersistentStream discarded;
  std::unique_ptr<TzqConnectionSource> source;
  std::unique_ptr<TzqHttpResponseReader> reader;  // of the response being read
  std::string origin;                             // where the server credentials may go
  TzqStringList responseText;
  std::string responseBytes;  // the same body as received, for a silent caller
  bool responseTextCut = false;
  std::string serverUser;
  std::string serverPassword;
  int redirects = 0;
  int serverChallenges = 0;
  int proxyChallenges = 0;
  bool closeAfterwards = false;
  bool cancelled = false;
  bool requestCut = false;  // the server answered before it took the whole request
};

TzqHttp::TzqHttp(TzqComponent* owner)
    : TzqTcpClientTls(owner),
      userAgent_(sProxyUserAgent),
      proxySettings_(std::make_unique<TzqHttpProxySettings>()),
      url_(std::make_unique<TzqUrlParser>()),
      responseHeader_(std::make_unique<TzqHttpResponseHeader>()),
      responseCookies_(std::make_unique<TzqCookieList>()) {
  SetTLSFlags({tfUseSSL3, tfUseTLS, tfUseTLS11, tfUseTLS12, tfUseTLS13});
  SetPort(GetDefaultPort());
}

TzqHttp::~TzqHttp() {
  try {
    Close();
  } catch (...) {
  }
  BeforeDestroy();
}

void TzqHttp::BeforeDestroy() {
  // No change notifications from a client going away.
  if (request_ != nullptr) request_->RemoveFreeNotification(this);
  if (cookieManager_ != nullptr) cookieManager_->RemoveFreeNotification(this);
  request_ = nullptr;
  cookieManager_ = nullptr;
  if (tunnel_) {
    // The connection in use is the tunnel's: it is closed before the tunnel goes.
    try {
      Close();
    } catch (...) {
    }
  }
  tunnel_.reset();
  ownRequest_.reset();
  ownCookieManager_.reset();
}

TzqTcpProxy* TzqHttp::GetProxy() { return tunnel_ ? tunnel_.get() : TzqTcpClientTls::GetProxy(); }

void TzqHttp::Notification(TzqComponent* component, TzqOperation operation) {
  TzqTcpClientTls::Notification(component, operation);
  if (operation != opRemove) return;
  if (component == request_) request_ = nullptr;
  if (component == cookieManager_) cookieManager_ = nullptr;
}

void TzqHttp::SetRequest(TzqHttpRequest* value) {
  if (request_ == value) return;
  if (request_ != nullptr) request_->RemoveFreeNotification(this);
  request_ = value;
  if (request_ != nullptr) request_->FreeNotification(this);
  Changed();
}

void TzqHttp::SetCookieManager(TzqCookieManager* value) {
  if (cookieManager_ == value) return;
  if (cookieManager_ != nullptr) cookieManager_->RemoveFreeNotification(this);
  cookieManager_ = value;
  if (cookieManager_ != nullptr) {
    cookieManager_->FreeNotification(this);
    ownCookieManager_.reset();
  }
  Changed();
}

void TzqHttp::SetProxySettings(const TzqHttpProxySettings& value) {
  proxySettings_->Assign(value);
  Changed();
}

void TzqHttp::SetCharSet(const std::string& value) {
  if (charSet_ == value) return;
  charSet_ = value;
  url_->SetCharset(value);
  parsedUrl_.clear();
  Changed();
}

// ---- operations --------------------------------------------------------------------------------

TzqHttpRequest& TzqHttp::DefaultRequest() {
  TzqHttpRequest* request = request_;
  if (request == nullptr) {
    if (!ownRequest_) ownRequest_ = std::make_unique<TzqHttpRequest>();
    ownRequest_->Clear();
    request = ownRequest_.get();
  }
  if (!charSet_.empty()) request->Header().SetCharSet(charSet_);
  return *request;
}

void TzqHttp::Get(const std::string& url, TzqHttpRequest* request, TzqStringList* responseHeader,
                  TzqStream* responseBody) {
  TzqHttpRequest& used = request != nullptr ? *request : DefaultRequest();
  if (used.Header().ContentType() == "application/json")
    return SendRendered("GET", url, used, responseHeader, responseBody);
  const std::string text = Trim(used.RequestText().Text());
  TzqStringList lines(used.HeaderSource());
  SendRequest("GET", text.empty() ? url : url + "?" + text, lines, nullptr, responseHeader, responseBody);
}

void TzqHttp::Head(const std::string& url, TzqStringList* responseHeader) {
  SendRendered("HEAD", url, DefaultRequest(), responseHeader, nullptr);
}

void TzqHttp::Put(const std::string& url, const std::string& contentType, TzqStream* requestBody,
                  TzqStringList* responseHeader, TzqStream* responseBody) {
  TzqHttpRequest& request = DefaultRequest();
  if (request.Header().Accept() == "*/*") request.Header().SetAccept("");
  if (!contentType.empty()) request.Header().SetContentType(contentType);
  TzqStringList lines(request.HeaderSource());
  SendRequest("PUT", url, lines, requestBody, responseHeader, responseBody);
}

void TzqHttp::Post(const std::string& url, TzqHttpRequest* request, TzqStringList* responseHeader,
                   TzqStream* responseBody) {
  SendRendered("POST", url, request != nullptr ? *request : DefaultRequest(), responseHeader, responseBody);
}

void TzqHttp::Delete(const std::string& url, TzqStringList* responseHeader, TzqStream* responseBody) {
  SendRendered("DELETE", url, DefaultRequest(), responseHeader, responseBody);
}

void TzqHttp::CheckMethod(const std::string& method) {
  if (method.empty() || !std::all_of(method.begin(), method.end(), [](char c) { return IsTokenChar(c); }))
    throw EzqHttpError(Format(sBadMethod, Shown(method).c_str()), std::string(), 0);
  if (SameText(method, "CONNECT")) throw EzqHttpError(sConnectMethod, std::string(), 0);
}

void TzqHttp::Custom(const std::string& method, const std::string& url, TzqHttpRequest* request, TzqStream* requestBody,
                     TzqStringList* responseHeader, TzqStream* responseBody) {
  CheckMethod(method);
  TzqHttpRequest& used = request != nullptr ? *request : DefaultRequest();
  if (requestBody == nullptr) return SendRendered(method, url, used, responseHeader, responseBody);
  // The length is the stream's, counted when the request is composed.
  TzqStringList lines(used.HeaderSource());
  TzqHttpUtils::SetHeaderField("Content-Length", "", lines);
  SendRequest(method, url, lines, requestBody, responseHeader, responseBody);
}

// A HEAD stays a HEAD: turned into a GET it would fetch a body nobody asked for.
std::string TzqHttp::GetRedirectMethod(int32_t statusCode, const std::string& method) {
  return (statusCode == 302 || statusCode == 303) && !SameText(method, "HEAD") ? std::string("GET") : method;
}

// The body first: rendering it completes the header (length, boundary).
void TzqHttp::SendRendered(const std::string& method, const std::string& url, TzqHttpRequest& request,
                           TzqStringList* responseHeader, TzqStream* responseBody) {
  std::unique_ptr<TzqMultiStream> body = request.RequestStream();
  TzqStringList lines(request.HeaderSource());
  SendRequest(method, url, lines, body.get(), responseHeader, responseBody);
}

void TzqHttp::SendRequest(const std::string& method, const std::string& url, TzqStringList& requestLines,
                          TzqStream* requestBody, TzqStringList* responseHeader, TzqStream* responseBody) {
  Exchange exchange(requestLines);
  exchange.body = requestBody != nullptr ? requestBody : &exchange.emptyBody;
  exchange.responseLines = responseHeader != nullptr ? responseHeader : &exchange.ownResponseLines;
  exchange.responseBody = responseBody != nullptr ? responseBody : &exchange.discarded;
  UseUrl(url);
  method_ = method;
  RunExchange(exchange);
}

// The same URL again (the common case on a kept connection) is neither parsed nor its host
// IDN-encoded again.
void TzqHttp::UseUrl(const std::string& url) {
  if (!parsedUrl_.empty() && url == parsedUrl_) return;
  parsedUrl_.clear();
  url_->ParseUrl(url);
  fullUrl_ = url_->FullUrl();
  requestTarget_ = url_->RequestTarget();
  parsedUrl_ = url;
}

// Once the parser has moved on (a redirect, a change through Url()), composed afresh each time.
const std::string& TzqHttp::RequestTarget() {
  if (parsedUrl_.empty()) requestTarget_ = url_->RequestTarget();
  return requestTarget_;
}

// ---- the exchange --------------------------------------------------------------------------------

void TzqHttp::RunExchange(Exchange& exchange) {
  exchange.serverUser = userName_.empty() ? url_->User() : userName_;
  exchange.serverPassword = password_.empty() ? url_->Password() : password_;
  exchange.origin = Origin(*url_);
  AuthorizeFirst(exchange);
  exchange.bodyStart = exchange.body->Position();
  deadline_ = totalTimeOut_ > 0 ? GetTickCount64() + static_cast<uint64_t>(totalTimeOut_) : 0;
  try {
    for (;;) {
      if (!Attempt(exchange)) continue;
      if (exchange.cancelled) {
        exchange.closeAfterwards = true;
        break;
      }
      exchange.closeAfterwards = exchange.requestCut || !KeepAliveDecision(exchange);
      if (DispatchStatus(exchange) == Dispatch::Done) break;
      if (Spent(exchange)) Close();
    }
  } catch (...) {
    GetConnection().SetDeadline(0);
    // A response not read to its end would be taken for the next request's answer.
    if (!InStep(exchange)) Close();
    throw;
  }
  GetConnection().SetDeadline(0);
  if (Spent(exchange)) Close();
}

bool TzqHttp::InStep(const Exchange& exchange) const {
  return exchange.reader && exchange.reader->Complete() && !Spent(exchange);
}

// Bytes that came after the response are a reply to no request: the connection is out of step.
bool TzqHttp::Spent(const Exchange& exchange) const {
  return exchange.closeAfterwards || (exchange.reader && exchange.reader->Overrun());
}

void TzqHttp::AuthorizeFirst(Exchange& exchange) {
  bool unused = false;
  if (authorizationType_ == atBasic) {
    const bool keep = keepConnection_;
    AuthorizeInto(exchange, TzqStringList{"Basic"}, false, unused);
    keepConnection_ = keep;
  } else if (!authorization_.empty()) {
    TzqHttpUtils::SetHeaderField("Authorization", authorization_, exchange.lines);
  }
  if (PlainProxy() && proxySettings_->AuthorizationType() == atBasic)
    AuthorizeInto(exchange, TzqStringList{"Basic"}, true, unused);
}

bool TzqHttp::AuthorizeInto(Exchange& exchange, const TzqStringList& challenges, bool proxy, bool& newConnection) {
  const std::string& user = proxy ? proxySettings_->UserName() : exchange.serverUser;
  const std::string& password = proxy ? proxySettings_->Password() : exchange.serverPassword;
  std::string value;
  newConnection = false;
  if (!TzqHttpAuthorization::Authorize(*url_, method_, user, password, challenges, this, value, newConnection,
                                       exchange.body))
    return false;
  TzqHttpUtils::SetHeaderField(proxy ? "Proxy-Authorization" : "Authorization", value, exchange.lines);
  return true;
}

// One request and its response header; false when a kept connection turned out dropped and
// the attempt is to be made again on a new one.
bool TzqHttp::Attempt(Exchange& exchange) {
  exchange.requestCut = false;
  exchange.reader.reset();
  exchange.source.reset();
  exchange.body->SetPosition(exchange.bodyStart);
  ChooseRoute();
  ComposeRequest(exchange);
  // Refused before anything, even the connection, goes out.
  TzqHttpUtils::CheckHeaderLines(exchange.lines);
  // Anything a kept connection holds before it is asked again answers no request of ours.
  if (Active() && GetConnection().InputWaiting()) Close();
  const bool wasActive = Active();
  try {
    GetConnection().SetDeadline(deadline_);
    Open();
    std::string text;
    size_t size = 0;
    for (int i = 0; i < exchange.lines.Count(); ++i) size += exchange.lines[i].size() + 2;
    text.reserve(size);
    for (int i = 0; i < exchange.lines.Count(); ++i) text.append(exchange.lines[i]).append("\r\n");
    const std::exception_ptr cut = SendRequestBytes(text, *exchange.body, !wasActive);
    DoSendRequest(method_, fullUrl_, exchange.lines);
    if (cut)
      TakeEarlyRefusal(exchange, cut);
    else
      exchange.cancelled = !ReadResponseHeader(exchange);
  } catch (const EzqHttpError&) {
    throw;
  } catch (const EzqSocketError& e) {
    if (!wasActive || !TzqHttpUtils::IsDroppedConnection(e.ErrorCode())) throw;
    Close();
    return false;
  }
  return true;
}

TzqHttp::Dispatch TzqHttp::DispatchStatus(Exchange& exchange) {
  const int32_t code = statusCode_;
  if (code >= 300 && code <= 399 && code != 304 && code != 305) return Redirect(exchange);
  if (code == 401) return Challenge(exchange, false);
  if (code == 407) return Challenge(exchange, true);
  if (code >= 400 && !silentHttp_) {
    ReadResponseText(exchange);
    Raise(exchange);
  }
  if (maxResponseSize_ <= 0) {
    ReadBody(exchange, *exchange.responseBody);
    return Dispatch::Done;
  }
  const int64_t limit = maxResponseSize_;
  TzqBoundedStream bounded(*exchange.responseBody, limit, [limit, code] {
    throw EzqHttpError(Format(sBodyTooLarge, static_cast<long long>(limit)), std::string(), code);
  });
  ReadBody(exchange, bounded);
  return Dispatch::Done;
}

TzqHttp::Dispatch TzqHttp::Redirect(Exchange& exchange) {
  ReadResponseText(exchange);
  ++exchange.redirects;
  if (maxRedirects_ > 0 && exchange.redirects > maxRedirects_) return Fail(exchange);
  if (!allowRedirects_ || !ResolveRedirect(exchange)) return Fail(exchange);
  if (SameText(method_, "GET")) {
    exchange.body = &exchange.emptyBody;
    exchange.bodyStart = 0;
  }
  if (ProxyInUse()) exchange.closeAfterwards = true;
  return Dispatch::Again;
}

TzqHttp::Dispatch TzqHttp::Challenge(Exchange& exchange, bool proxy) {
  ReadResponseText(exchange);
  int& challenges = proxy ? exchange.proxyChallenges : exchange.serverChallenges;
  ++challenges;
  if (!proxy && !authorization_.empty()) return Fail(exchange);
  if (maxAuthRetries_ > 0 && challenges > maxAuthRetries_) return Fail(exchange);
  // Credentials answer only those they were given for: the proxy, or the first origin.
  if (proxy && !PlainProxy()) return Fail(exchange);
  if (!proxy && Origin(*url_) != exchange.origin) return Fail(exchange);
  bool newConnection = false;
  const TzqStringList offered =
      proxy ? responseHeader_->ProxyAuthenticate() : AllowedChallenges(responseHeader_->Authenticate());
  exchange.body->SetPosition(exchange.bodyStart);  // Digest auth-int hashes the body from its start
  if (!AuthorizeInto(exchange, offered, proxy, newConnection)) return Fail(exchange);
  SetKeepConnection(true);
  if (challenges == 1 && newConnection) exchange.closeAfterwards = true;
  return Dispatch::Again;
}

// The server's challenges whose scheme token AuthSchemes lists.
TzqStringList TzqHttp::AllowedChallenges(const TzqStringList& offered) const {
  if (Trim(authSchemes_).empty()) return TzqStringList(offered);
  std::vector<std::string> allowed;
  for (size_t from = 0; from <= authSchemes_.size();) {
    const size_t comma = std::min(authSchemes_.find(',', from), authSchemes_.size());
    allowed.push_back(Trim(authSchemes_.substr(from, comma - from)));
    from = comma + 1;
  }
  const TzqStringList challenges = TzqHttpAuthorization::SplitChallenges(offered);
  TzqStringList kept;
  for (int i = 0; i < challenges.Count(); ++i) {
    const std::string scheme = challenges[i].substr(0, challenges[i].find(' '));
    if (std::any_of(allowed.begin(), allowed.end(), [&](const std::string& name) { return SameText(name, scheme); }))
      kept.Add(challenges[i]);
  }
  return kept;
}

void TzqHttp::Raise(Exchange& exchange) {
  const std::string line = exchange.responseLines->Empty() ? std::string() : (*exchange.responseLines)[0];
  throw EzqHttpError(line, exchange.responseText.Text(), statusCode_);
}

// A silent caller gets the body as the server sent it, or an error when only part of it was read.
TzqHttp::Dispatch TzqHttp::Fail(Exchange& exchange) {
  if (!silentHttp_) Raise(exchange);
  if (exchange.responseTextCut)
    throw EzqHttpError(Format(sTextTooLarge, statusCode_, static_cast<long long>(kMaxResponseTextBytes)),
                       exchange.responseText.Text(), statusCode_);
  exchange.responseBody->WriteString(exchange.responseBytes);
  return Dispatch::Done;
}

// ---- connection ------------------------------------------------------------------------------------

bool TzqHttp::ProxyInUse() { return !proxySettings_->Server().empty() || GetProxy() != nullptr; }

bool TzqHttp::PlainProxy() const { return !proxySettings_->Server().empty() && url_->SchemeKind() != skHttps; }

void TzqHttp::ChooseRoute() {
  const bool https = url_->SchemeKind() == skHttps;
  const std::string& proxyServer = proxySettings_->Server();
  const std::string& host = url_->Host().empty() || url_->Host() == "*" ? Server() : url_->Host();
  const int32_t port = url_->Host().empty() || url_->Host() == "*" ? Port() : url_->Port();
  // A kept connection serves only the same scheme, host, port and proxy: anything else would
  // send this request in clear, or to another server.
  const int32_t proxyPort = proxyServer.empty() ? 0 : proxySettings_->Port();
  const bool same = lastRoute_.https == https && lastRoute_.host == host && lastRoute_.port == port &&
                    lastRoute_.proxyServer == proxyServer && lastRoute_.proxyPort == proxyPort;
  if (!same) {
    Close();
    lastRoute_ = TzqRoute{https, host, port, proxyServer, proxyPort};
  }
  if (proxyServer.empty()) {
    tunnel_.reset();
  } else if (https) {
    if (!tunnel_) tunnel_ = std::make_unique<TzqHttpProxy>();
    tunnel_->SetSettings(*proxySettings_);
    tunnel_->SetTimeOut(TimeOut());
  }
  SetServer(host);
  SetPort(port);
  SetUseTLS(https ? ctImplicit : ctNone);
}
void TzqHttp::OpenConnection(const std::string& server, int32_t port) {
  if (!proxySettings_->Server().empty() && url_->SchemeKind() != skHttps)
    return OpenDirectConnection(proxySettings_->Server(), proxySettings_->Port());
  TzqTcpClientTls::OpenConnection(server, port);
}

void TzqHttp::ComposeRequest(Exchange& exchange) {
  TzqStringList& lines = exchange.lines;
  TzqHttpUtils::DropStartLine(lines);
  TzqHttpUtils::TrimTrailingEmptyLines(lines);
  const bool https = url_->SchemeKind() == skHttps;
  const bool proxy = ProxyInUse();
  const bool plainProxy = PlainProxy();
  std::string target = proxy && !https ? url_->ServerPart() + RequestTarget() : RequestTarget();
  if (target.empty()) target = "/";
  lines.Insert(0, method_ + ' ' + target + ' ' + kHttpVersionTexts[httpVersion_]);
  TzqHeaderFieldList fields(lines, 1);
  fields.RemoveField("Host");
  if (allowCompression_) fields.AddFieldIfAbsent("Accept-Encoding", "gzip, deflate");
  fields.AddField("Host", url_->Host().empty() ? HostField(Server(), Port()) : HostField(url_->Host(), url_->Port()));
  fields.AddFieldIfAbsent("User-Agent", userAgent_);
  const int64_t bodyLength = exchange.body->Size() - exchange.body->Position();
  const bool hasLength = fields.IndexOfField("Content-Length") >= 0;
  if (StrToInt64Def(Trim(fields.GetFieldValue("Content-Length")), 0) > 0 && bodyLength == 0) {
    fields.RemoveField("Content-Length");
    fields.RemoveField("Content-Type");
  } else if (!hasLength) {
    if (bodyLength > 0)
      fields.AddField("Content-Length", Format("%lld", static_cast<long long>(bodyLength)));
    else if (SameText(method_, "POST"))
      fields.AddField("Content-Length", "0");
  }
  if (!allowCaching_) fields.AddFieldIfAbsent(kNoCacheFields[httpVersion_], "no-cache");
  // Proxy fields are for a proxy that sees the request; a tunnelled one goes to the origin.
  if (!plainProxy) {
    fields.RemoveField("Proxy-Authorization");
    fields.RemoveField("Proxy-Connection");
  }
  if (keepConnection_) fields.AddFieldIfAbsent(kKeepAliveFields[plainProxy ? 1 : 0], "Keep-Alive");
  fields.RemoveField("Expect");
  if (expect100Continue_ && bodyLength > 0) fields.AddField("Expect", "100-continue");
  if (allowCookies_) {
    TzqCookieList selected;
    Cookies().SelectCookies(selected, url_->Host(), https, url_->Port(), RequestTarget());
    selected.SetRequestCookies(lines);
  }
  lines.Add("");
}

// A server may refuse a request before it has taken the whole body and then drop the
// connection (an early 413): on a new connection the write error is kept, and the connection
// left open, until what the server sent is read.
std::exception_ptr TzqHttp::SendRequestBytes(const std::string& header, TzqStream& body, bool newConnection) {
  TzqTcpClientConnection& connection = GetConnection();
  connection.SetDeferPeerClose(newConnection);
  try {
    WriteRequestBytes(header, body);
  } catch (const EzqSocketError& e) {
    connection.SetDeferPeerClose(false);
    if (!newConnection || !Active() || !TzqHttpUtils::IsDroppedConnection(e.ErrorCode())) throw;
    return std::current_exception();
  }
  connection.SetDeferPeerClose(false);
  return nullptr;
}

// A refusal (400 and above) the server sent before it went away answers the request; anything
// else, or nothing readable, leaves the broken write as the error.
void TzqHttp::TakeEarlyRefusal(Exchange& exchange, const std::exception_ptr& cut) {
  GetConnection().GetNetworkStream().SetHasReadData(true);
  bool refused = false;
  try {
    exchange.cancelled = !ReadResponseHeader(exchange);
    refused = statusCode_ >= 400;
  } catch (const EzqError&) {
  }
  if (!refused) std::rethrow_exception(cut);
  exchange.requestCut = true;
}

// A small body goes out in one send with the header (one segment instead of two); a larger one
// follows the header in large pieces. Progress counts the body only.
void TzqHttp::WriteRequestBytes(const std::string& header, TzqStream& body) {
  TzqTcpClientConnection& connection = GetConnection();
  TzqMemoryStream head;
  const bool ascii =
      std::all_of(header.begin(), header.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii)
    head.WriteBuffer(header.data(), static_cast<int64_t>(header.size()));
  else
    head.WriteBytes(TzqTranslator::TextToBytes(header, "us-ascii"));
  const int64_t bodyStart = body.Position();
  const int64_t bodyLength = body.Size() - bodyStart;
  const bool joined = bodyLength > 0 && bodyLength <= kJoinedBodyBytes;
  if (joined) head.CopyFrom(body, bodyLength);
  head.SetPosition(0);
  if (body.Size() <= 0) return connection.WriteData(&head);
  const int64_t headerLength = joined ? head.Size() - bodyLength : 0;
  if (!joined) connection.WriteData(&head);
  connection.InitProgress(bodyStart - headerLength, body.Size());
  progressRaised_ = false;
  {
    TzqProgressRoute route(connection, [this, bodyStart](TzqObject*, int64_t done, int64_t total) {
      if (done > bodyStart) DoSendProgress(done, total);
    });
    TzqLargeBatchScope large(connection);
    connection.WriteData(joined ? static_cast<TzqStream*>(&head) : &body);
  }
  if (!progressRaised_) DoSendProgress(body.Size(), body.Size());
}

// ---- the response --------------------------------------------------------------------------------

bool TzqHttp::ReadResponseHeader(Exchange& exchange) {
  statusCode_ = 0;
  statusText_.clear();
  responseVersion_ = httpVersion_;
  TzqTcpClientConnection& connection = GetConnection();
  connection.SetReadUntilClosed(false);
  connection.SetDeferPeerClose(false);
  connection.InitProgress(0, 0);
  exchange.source = std::make_unique<TzqConnectionSource>(connection);
  exchange.reader = std::make_unique<TzqHttpResponseReader>(
      *exchange.source, TzqHeaderRules{BatchSize(), kMaxHeaderBytes, sHeaderTooLong, sNoStatusLine});
  TzqHttpResponseReader& reader = *exchange.reader;
  reader.ReadHeader(*exchange.responseLines, httpVersion_);
  statusCode_ = reader.StatusCode();
  statusText_ = reader.StatusText();
  responseVersion_ = reader.Version();
  responseHeader_->ParseHeader(*exchange.responseLines);
  reader.DecideFraming(method_, httpVersion_);
  if (reader.HasField("Set-Cookie") || reader.HasField("Set-Cookie2"))
    responseCookies_->ParseResponseCookies(*exchange.responseLines, url_->Host(), url_->Port(), RequestTarget());
  else
    responseCookies_->Clear();
  if (allowCookies_) Cookies().StoreCookies(*responseCookies_);
  bool cancel = false;
  DoReceiveHeader(method_, fullUrl_, *exchange.responseLines, *responseCookies_, cancel);
  return !cancel;
}

bool TzqHttp::KeepAliveDecision(const Exchange& exchange) {
  if (!keepConnection_ || exchange.reader->MustClose()) return false;
  const std::string& value = PlainProxy() ? responseHeader_->ProxyConnection() : responseHeader_->Connection();
  return TzqHttpResponseReader::KeepAlive(httpVersion_, responseVersion_, value);
}

void TzqHttp::ReadBody(Exchange& exchange, TzqStream& destination) {
  TzqHttpResponseReader& reader = *exchange.reader;
  if (SameText(method_, "HEAD")) return reader.ReadBody(destination);
  {
    TzqTcpClientConnection& connection = GetConnection();
    TzqProgressRoute route(connection,
                           [this](TzqObject*, int64_t done, int64_t total) { DoReceiveProgress(done, total); });
    const TzqBodyFraming framing = reader.Framing();
    const int64_t total = framing == TzqBodyFraming::bfLength ? reader.ContentLength()
                          : framing == TzqBodyFraming::bfNone ? 0
                                                              : -1;
    connection.InitProgress(reader.BufferedBodyBytes(), total);
    progressRaised_ = false;
    connection.SetDeferPeerClose(framing == TzqBodyFraming::bfChunked);
    reader.ReadBody(destination);
    if (!progressRaised_)
      DoReceiveProgress(framing == TzqBodyFraming::bfChunked ? connection.ProgressDone() : total, total);
  }
  DoReceiveResponse(method_, fullUrl_, *exchange.responseLines, *responseCookies_);
}

// The text of an error, redirect or challenge: past its cap the rest is left unread and the
// connection closed after this response.
void TzqHttp::ReadResponseText(Exchange& exchange) {
  exchange.responseText.Clear();
  exchange.responseBytes.clear();
  exchange.responseTextCut = false;
  TzqMemoryStream text;
  if (SameText(method_, "HEAD")) return exchange.reader->ReadBody(text);
  TzqBoundedStream capped(text, kMaxResponseTextBytes, [] { throw TzqTextCapReached(); });
  try {
    ReadBody(exchange, capped);
  } catch (const TzqTextCapReached&) {
    exchange.closeAfterwards = true;
    exchange.responseTextCut = true;
  }
  text.SetPosition(0);
  ReadLinesFromStream(text, exchange.responseText, TextCharSet());
  exchange.responseBytes = text.DataString();
}

std::string TzqHttp::TextCharSet() const {
  return responseHeader_->CharSet().empty() ? charSet_ : responseHeader_->CharSet();
}

// ---- redirects -----------------------------------------------------------------------------------

namespace {

// The URL lower-cased up to and including its last "/".
std::string Directory(const std::string& url) {
  std::string lower = LowerCase(url);
  const size_t slash = lower.rfind('/');
  return slash == std::string::npos ? lower + "/" : lower.substr(0, slash + 1);
}

}  // namespace

bool TzqHttp::ResolveRedirect(Exchange& exchange) {
  std::string location = responseHeader_->Location();
  if (StartsText("//", location)) location = (url_->SchemeKind() == skHttps ? "https:" : "http:") + location;
  const std::string directory = Directory(fullUrl_);
  bool canRedirect = false;
  bool handled = false;
  std::string method = method_;
  // From here the parser may move on (a handler can reach it through Url()).
  parsedUrl_.clear();
  DoRedirect(exchange.lines, statusCode_, *responseHeader_, exchange.responseText, method, canRedirect, handled);
  method_ = method;
  fullUrl_ = url_->FullUrl();
  if (handled) return canRedirect;
  if (location.empty()) return false;
  url_->ParseRelativeUrl(fullUrl_, location);
  fullUrl_ = url_->FullUrl();
  canRedirect = !fullUrl_.empty();
  if (!canRedirect || !CheckRedirectTarget(exchange, location)) return false;
  method_ = GetRedirectMethod(statusCode_, method_);
  if (Origin(*url_) != exchange.origin)
    LeaveOrigin(exchange);
  else if (!StartsText(directory, Directory(fullUrl_)))
    TzqHttpUtils::SetHeaderField("Authorization", "", exchange.lines);
  return true;
}

// Only http and https are followed, and only to a real port: anything else ends the exchange,
// with a clear error unless SilentHTTP asks for the response instead.
bool TzqHttp::CheckRedirectTarget(Exchange& exchange, const std::string& location) {
  const TzqSchemeKind scheme = url_->SchemeKind();
  const char* message = nullptr;
  if ((scheme != skHttp && scheme != skHttps) || url_->Host().empty())
    message = sRedirectScheme;
  else if (url_->Port() < 1 || url_->Port() > 65535)
    message = sRedirectPort;
  if (message == nullptr) return true;
  if (silentHttp_) return false;
  throw EzqHttpError(Format(message, location.c_str()), exchange.responseText.Text(), statusCode_);
}

// Server credentials stay with the origin they were given for.
void TzqHttp::LeaveOrigin(Exchange& exchange) {
  TzqHttpUtils::SetHeaderField("Authorization", "", exchange.lines);
  exchange.serverUser.clear();
  exchange.serverPassword.clear();
}

// ---- events ------------------------------------------------------------------------------------

TzqCookieManager& TzqHttp::Cookies() {
  if (cookieManager_ != nullptr) return *cookieManager_;
  if (!ownCookieManager_) ownCookieManager_ = std::make_unique<TzqCookieManager>();
  return *ownCookieManager_;
}

void TzqHttp::DoSendRequest(const std::string& method, const std::string& url, TzqStringList& header) {
  if (OnSendRequest) OnSendRequest(this, method, url, header);
}

void TzqHttp::DoReceiveHeader(const std::string& method, const std::string& url, TzqStringList& header,
                              TzqCookieList& cookies, bool& cancel) {
  if (OnReceiveHeader) OnReceiveHeader(this, method, url, header, cookies, cancel);
}

void TzqHttp::DoReceiveResponse(const std::string& method, const std::string& url, TzqStringList& header,
                                TzqCookieList& cookies) {
  if (OnReceiveResponse) OnReceiveResponse(this, method, url, header, cookies);
}

void TzqHttp::DoSendProgress(int64_t bytesProceed, int64_t totalBytes) {
  progressRaised_ = true;
  if (OnSendProgress) OnSendProgress(this, bytesProceed, totalBytes);
}

void TzqHttp::DoReceiveProgress(int64_t bytesProceed, int64_t totalBytes) {
  progressRaised_ = true;
  if (OnReceiveProgress) OnReceiveProgress(this, bytesProceed, totalBytes);
}

void TzqHttp::DoRedirect(TzqStringList& requestHeader, int32_t statusCode, TzqHttpResponseHeader& responseHeader,
                         TzqStringList& responseText, std::string& method, bool& canRedirect, bool& handled) {
  if (OnRedirect)
    OnRedirect(this, requestHeader, statusCode, responseHeader, responseText, method, canRedirect, handled);
}

}  // namespace zq
