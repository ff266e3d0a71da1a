#include "http/zqHttp.h"

#include <algorithm>

#include "codec/zqTranslator.h"
#include "codec/zqZLibStreams.h"
#include "core/zqError.h"
#include "core/zqText.h"
#include "http/zqHeaderFieldList.h"
#include "http/zqHttpAuth.h"
#include "http/zqStreams.h"
#include "platform/zqSocketApi.h"

namespace zq {

namespace {

const char* const sNoStatusLine = "The server's response has no valid status line";
const char* const sHeaderTooLong = "The server's response header exceeds 1048576 bytes";
const char* const sBodyCutShort = "The connection closed before the response body ended";
constexpr int64_t kMaxHeaderBytes = int64_t{1} << 20;

// Indexed by TzqHttpVersion, and by whether a proxy is in use.
const char* const kNoCacheFields[2] = {"Pragma", "Cache-Control"};
const char* const kKeepAliveFields[2] = {"Connection", "Proxy-Connection"};

std::string PortSuffix(int32_t port) { return port == 80 || port == 443 ? std::string() : Format(":%d", port); }

// A literal IPv6 address goes into Host in brackets.
std::string HostField(const std::string& host, int32_t port) {
  const bool ipv6 = host.find(':') != std::string::npos && host.front() != '[';
  return (ipv6 ? "[" + host + "]" : host) + PortSuffix(port);
}

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

}  // namespace

struct TzqHttp::Exchange {
  TzqStringList lines;  // the request header, reworked at every attempt
  TzqStream* body = nullptr;
  int64_t bodyStart = 0;
  TzqMemoryStream emptyBody;
  TzqStringList* responseLines = nullptr;
  TzqStringList ownResponseLines;
  TzqStream* responseBody = nullptr;
  TzqNonPersistentStream discarded;
  TzqMemoryStream header;  // the response header bytes, positioned at the first body byte
  TzqStringList responseText;
  std::string serverUser;
  std::string serverPassword;
  int redirects = 0;
  int serverChallenges = 0;
  int proxyChallenges = 0;
  bool closeAfterwards = false;
  bool cancelled = false;
};

TzqHttp::TzqHttp(TzqComponent* owner)
    : TzqTcpClientTls(owner),
      userAgent_(sProxyUserAgent),
      proxySettings_(std::make_unique<TzqHttpProxySettings>()),
      url_(std::make_unique<TzqUrlParser>()),
      responseHeader_(std::make_unique<TzqHttpResponseHeader>()),
      responseCookies_(std::make_unique<TzqCookieList>()) {
  SetTLSFlags({tfUseSSL3, tfUseTLS, tfUseTLS11, tfUseTLS12});
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
  if (used.Header().ContentType() == "application/json") return SendRendered("GET", url, used, responseHeader, responseBody);
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
  Exchange exchange;
  exchange.lines.Assign(requestLines);
  exchange.body = requestBody != nullptr ? requestBody : &exchange.emptyBody;
  exchange.responseLines = responseHeader != nullptr ? responseHeader : &exchange.ownResponseLines;
  exchange.responseBody = responseBody != nullptr ? responseBody : &exchange.discarded;
  url_->ParseUrl(url);
  method_ = method;
  RunExchange(exchange);
}

// ---- the exchange --------------------------------------------------------------------------------

void TzqHttp::RunExchange(Exchange& exchange) {
  exchange.serverUser = userName_.empty() ? url_->User() : userName_;
  exchange.serverPassword = password_.empty() ? url_->Password() : password_;
  AuthorizeFirst(exchange);
  exchange.bodyStart = exchange.body->Position();
  try {
    for (;;) {
      if (!Attempt(exchange)) continue;
      if (exchange.cancelled) {
        exchange.closeAfterwards = true;
        break;
      }
      exchange.closeAfterwards = !KeepAliveDecision();
      if (DispatchStatus(exchange) == Dispatch::Done) break;
      if (exchange.closeAfterwards) Close();
    }
  } catch (const EzqHttpError&) {
    // Raised on a status whose body was read: the connection is ready for the next request.
    if (exchange.closeAfterwards) Close();
    throw;
  } catch (...) {
    // Anything else (a time-out, a cut body) may leave part of a response unread, which the
    // next request on this connection would take for its own answer.
    Close();
    throw;
  }
  if (exchange.closeAfterwards) Close();
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
  if (ProxyInUse() && proxySettings_->AuthorizationType() == atBasic)
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
  const bool wasActive = Active();
  try {
    exchange.body->SetPosition(exchange.bodyStart);
    PrepareConnection();
    ComposeRequest(exchange);
    std::string text;
    for (int i = 0; i < exchange.lines.Count(); ++i) text += exchange.lines[i] + "\r\n";
    GetConnection().WriteText(text, "us-ascii");
    SendBody(*exchange.body);
    DoSendRequest(method_, url_->FullUrl(), exchange.lines);
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
  ReadBody(exchange, *exchange.responseBody);
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
  bool newConnection = false;
  const TzqStringList& offered = proxy ? responseHeader_->ProxyAuthenticate() : responseHeader_->Authenticate();
  exchange.body->SetPosition(exchange.bodyStart);  // Digest auth-int hashes the body from its start
  if (!AuthorizeInto(exchange, offered, proxy, newConnection)) return Fail(exchange);
  SetKeepConnection(true);
  if (challenges == 1 && newConnection) exchange.closeAfterwards = true;
  return Dispatch::Again;
}

void TzqHttp::Raise(Exchange& exchange) {
  const std::string line = exchange.responseLines->Empty() ? std::string() : (*exchange.responseLines)[0];
  throw EzqHttpError(line, exchange.responseText.Text(), statusCode_);
}

TzqHttp::Dispatch TzqHttp::Fail(Exchange& exchange) {
  if (!silentHttp_) Raise(exchange);
  WriteLinesToStream(exchange.responseText, *exchange.responseBody, TextCharSet());
  return Dispatch::Done;
}

// ---- connection ------------------------------------------------------------------------------------

bool TzqHttp::ProxyInUse() { return !proxySettings_->Server().empty() || GetProxy() != nullptr; }

void TzqHttp::PrepareConnection() {
  const bool https = url_->SchemeKind() == skHttps;
  const std::string& proxyServer = proxySettings_->Server();
  if (!proxyServer.empty()) {
    if (proxyServer != lastProxyServer_ || proxySettings_->Port() != lastProxyPort_) Close();
    lastProxyServer_ = proxyServer;
    lastProxyPort_ = proxySettings_->Port();
    if (https) {
      if (!tunnel_) tunnel_ = std::make_unique<TzqHttpProxy>();
      tunnel_->SetServer(proxyServer);
      tunnel_->SetPort(proxySettings_->Port());
      tunnel_->SetAuthorizationType(proxySettings_->AuthorizationType());
      tunnel_->SetUserName(proxySettings_->UserName());
      tunnel_->SetPassword(proxySettings_->Password());
      tunnel_->SetTimeOut(TimeOut());
    }
  }
  const std::string& host = url_->Host();
  if (!host.empty() && host != "*") {
    if (Server() != host || Port() != url_->Port()) Close();
    SetServer(host);
    SetPort(url_->Port());
  }
  SetUseTLS(https ? ctImplicit : ctNone);
  Open();
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
  std::string target = proxy && !https ? url_->FullUrl() : url_->RequestTarget();
  if (target.empty()) target = "/";
  lines.Insert(0, Format("%s %s %s", method_.c_str(), target.c_str(), kHttpVersionTexts[httpVersion_]));
  TzqHeaderFieldList fields(lines, 1);
  fields.RemoveField("Host");
  if (allowCompression_) fields.AddFieldIfAbsent("Accept-Encoding", "gzip");
  fields.AddField("Host", url_->Host().empty() ? HostField(Server(), Port()) : HostField(url_->Host(), url_->Port()));
  fields.AddFieldIfAbsent("User-Agent", userAgent_);
  const int64_t bodyLength = exchange.body->Size() - exchange.body->Position();
  const bool hasLength = fields.IndexOfField("Content-Length") >= 0;
  if (StrToInt64Def(Trim(fields.GetFieldValue("Content-Length")), 0) > 0 && bodyLength == 0) {
    fields.RemoveField("Content-Length");
    fields.RemoveField("Content-Type");
  } else if (!hasLength) {
    if (bodyLength > 0) fields.AddField("Content-Length", Format("%lld", static_cast<long long>(bodyLength)));
    else if (SameText(method_, "POST")) fields.AddField("Content-Length", "0");
  }
  if (!allowCaching_) fields.AddFieldIfAbsent(kNoCacheFields[httpVersion_], "no-cache");
  if (keepConnection_) fields.AddFieldIfAbsent(kKeepAliveFields[proxy ? 1 : 0], "Keep-Alive");
  fields.RemoveField("Expect");
  if (expect100Continue_ && bodyLength > 0) fields.AddField("Expect", "100-continue");
  if (allowCookies_) {
    TzqCookieList selected;
    Cookies().SelectCookies(selected, url_->Host(), https, url_->Port(), url_->RequestTarget());
    selected.SetRequestCookies(lines);
  }
  lines.Add("");
}

void TzqHttp::SendBody(TzqStream& body) {
  if (body.Size() <= 0) return;
  TzqTcpClientConnection& connection = GetConnection();
  connection.InitProgress(body.Position(), body.Size());
  progressRaised_ = false;
  {
    TzqProgressRoute route(connection, [this](TzqObject*, int64_t done, int64_t total) { DoSendProgress(done, total); });
    connection.WriteData(&body);
  }
  if (!progressRaised_) DoSendProgress(body.Size(), body.Size());
}

// ---- the response --------------------------------------------------------------------------------

bool TzqHttp::ReadResponseHeader(Exchange& exchange) {
  TzqMemoryStream& buffer = exchange.header;
  buffer.Clear();
  statusCode_ = 0;
  statusText_.clear();
  responseVersion_ = httpVersion_;
  TzqTcpClientConnection& connection = GetConnection();
  connection.SetReadUntilClosed(false);
  connection.SetDeferPeerClose(false);
  int64_t start = 0;
  int64_t end = -1;
  for (;;) {
    {
      // The limit counts from the last reset: without one per read, a header longer than one
      // batch would never be read to its end.
      connection.InitProgress(0, 0);
      TzqReadLimitScope limit(connection, BatchSize());
      connection.ReadData(&buffer);
    }
    if (FindStatus(exchange, start, end)) break;
    if (buffer.Size() > kMaxHeaderBytes) {
      Close();
      throw EzqHttpError(sHeaderTooLong, std::string(), 0);
    }
    if (connection.Active() && !connection.IsPeerClosedGracefully()) continue;
    Close();
    // A kept connection that the server dropped before this request answers with nothing.
    if (buffer.Size() == 0) RaiseSocketError(WSAECONNABORTED);
    throw EzqHttpError(sNoStatusLine, std::string(), 0);
  }
  buffer.SetPosition(start);
  TzqHttpUtils::ReadHeaderLines(buffer, end - start, *exchange.responseLines);
  buffer.SetPosition(end);
  responseHeader_->ParseHeader(*exchange.responseLines);
  responseCookies_->ParseResponseCookies(*exchange.responseLines, url_->Host(), url_->Port(), url_->RequestTarget());
  if (allowCookies_) Cookies().StoreCookies(*responseCookies_);
  bool cancel = false;
  DoReceiveHeader(method_, url_->FullUrl(), *exchange.responseLines, *responseCookies_, cancel);
  return !cancel;
}

// Parses the status line of each complete header from start on, skipping interim 100s; true
// with the final header's bounds. A status line without a reason phrase is taken as well.
bool TzqHttp::FindStatus(Exchange& exchange, int64_t& start, int64_t& end) {
  const TzqByteArray bytes = TzqHttpUtils::StreamToBytes(exchange.header);
  for (end = TzqHttpUtils::FindHeaderEnd(bytes, start); end >= 0; end = TzqHttpUtils::FindHeaderEnd(bytes, start)) {
    const auto lineEnd = std::find(bytes.begin() + start, bytes.begin() + end, uint8_t{10});
    TzqByteArray line(bytes.begin() + start, lineEnd);
    if (!line.empty() && line.back() == 13) line.pop_back();
    line.push_back(' ');
    int64_t position = 0;
    responseVersion_ = TzqHttpUtils::ParseStatusVersion(line, position, responseVersion_);
    ++position;
    statusCode_ = TzqHttpUtils::ParseStatusCode(line, position);
    ++position;
    statusText_ = TzqHttpUtils::ParseStatusText(line, position);
    if (statusCode_ != 100) return statusCode_ != 0;
    start = end;
  }
  return false;
}

bool TzqHttp::KeepAliveDecision() {
  const std::string& value = ProxyInUse() ? responseHeader_->ProxyConnection() : responseHeader_->Connection();
  if (!keepConnection_) return false;
  if (httpVersion_ == hvHttp1_1 && responseVersion_ == hvHttp1_1) return !SameText(value, "close");
  return SameText(value, "Keep-Alive");
}

int64_t TzqHttp::BodyLength(const std::string& method) const {
  const std::string length = Trim(responseHeader_->ContentLength());
  if ((statusCode_ == 204 && length.empty()) || (SameText(method, "CONNECT") && statusCode_ == 200) ||
      SameText(method, "HEAD") || statusCode_ == 304)
    return 0;
  if (length.empty()) {
    if (httpVersion_ == hvHttp1_0 || responseVersion_ == hvHttp1_0) return -1;
    return (statusCode_ & 200) == 200 ? -1 : 0;
  }
  // A negative length is no length to wait for.
  return std::max<int64_t>(0, StrToInt64Def(length, 0));
}

void TzqHttp::ReadBody(Exchange& exchange, TzqStream& destination) {
  if (SameText(method_, "HEAD")) return;
  {
    TzqTcpClientConnection& connection = GetConnection();
    TzqProgressRoute route(connection,
                           [this](TzqObject*, int64_t done, int64_t total) { DoReceiveProgress(done, total); });
    if (LowerCase(responseHeader_->ContentEncoding()).find("gzip") != std::string::npos) {
      TzqGZipInflateStream inflating(destination);
      ReadBodyInto(exchange, inflating);
    } else {
      ReadBodyInto(exchange, destination);
    }
  }
  DoReceiveResponse(method_, url_->FullUrl(), *exchange.responseLines, *responseCookies_);
}

void TzqHttp::ReadBodyInto(Exchange& exchange, TzqStream& destination) {
  TzqTcpClientConnection& connection = GetConnection();
  TzqMemoryStream& buffer = exchange.header;
  const int64_t received = buffer.Size() - buffer.Position();
  if (SameText(responseHeader_->TransferEncoding(), "chunked")) {
    TzqChunkedStream chunked(destination);
    if (received > 0) chunked.CopyFrom(buffer, received);
    connection.InitProgress(received, -1);
    progressRaised_ = false;
    if (connection.Active()) {
      connection.SetDeferPeerClose(true);
      while (!chunked.IsCompleted() && connection.Active() && !connection.PeerClosed()) connection.ReadData(&chunked);
    }
    if (!progressRaised_) DoReceiveProgress(connection.ProgressDone(), -1);
    if (!chunked.IsCompleted()) throw EzqTcpClientError(sBodyCutShort, WSAECONNABORTED);
    return;
  }
  const int64_t length = BodyLength(method_);
  // Bytes past a known length belong to no body: they are not handed on.
  const int64_t taken = length < 0 ? received : std::min(received, length);
  if (taken > 0) destination.CopyFrom(buffer, taken);
  connection.InitProgress(taken, length);
  progressRaised_ = false;
  if (length >= 0 && connection.Active()) {
    TzqReadLimitScope limit(connection, length - taken);
    while (connection.ProgressDone() < length && connection.Active()) connection.ReadData(&destination);
    if (connection.ProgressDone() < length) throw EzqTcpClientError(sBodyCutShort, WSAECONNABORTED);
  } else if (length >= 0 && taken < length) {
    throw EzqTcpClientError(sBodyCutShort, WSAECONNABORTED);
  } else if (length < 0 && connection.Active()) {
    connection.SetReadUntilClosed(true);
    connection.ReadData(&destination);
  }
  if (!progressRaised_) DoReceiveProgress(length, length);
}

void TzqHttp::ReadResponseText(Exchange& exchange) {
  exchange.responseText.Clear();
  if (SameText(method_, "HEAD")) return;
  TzqMemoryStream text;
  ReadBody(exchange, text);
  text.SetPosition(0);
  ReadLinesFromStream(text, exchange.responseText, TextCharSet());
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
  const std::string directory = Directory(url_->FullUrl());
  bool canRedirect = false;
  bool handled = false;
  std::string method = method_;
  DoRedirect(exchange.lines, statusCode_, *responseHeader_, exchange.responseText, method, canRedirect, handled);
  method_ = method;
  if (handled) return canRedirect;
  if (location.empty()) return false;
  url_->ParseRelativeUrl(url_->FullUrl(), location);
  canRedirect = !url_->FullUrl().empty();
  if (!canRedirect) return false;
  method_ = GetRedirectMethod(statusCode_, method_);
  if (!StartsText(directory, Directory(url_->FullUrl()))) TzqHttpUtils::SetHeaderField("Authorization", "", exchange.lines);
  return true;
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
  if (OnRedirect) OnRedirect(this, requestHeader, statusCode, responseHeader, responseText, method, canRedirect, handled);
}

}  // namespace zq
