#include "http/zqHttpProxy.h"

#include "codec/zqUriUtils.h"
#include "codec/zqUtils.h"
#include "core/zqError.h"
#include "core/zqScopeGuard.h"
#include "core/zqText.h"
#include "http/zqHeaderFieldList.h"
#include "http/zqHttpAuth.h"
#include "http/zqHttpResponseReader.h"
#include "http/zqStreams.h"
#include "platform/zqSocketApi.h"

namespace zq {

namespace {

const char* const sTunnelNeedsClientConnection = "A proxy tunnel needs a TCP client connection";

// Restores the read settings of a connection that the header reads change; the reads' own
// size comes from the reader.
class TzqHeaderReadScope {
public:
  explicit TzqHeaderReadScope(TzqTcpConnection& connection)
      : connection_(connection), defer_(connection.DeferPeerClose()) {
    connection.SetReadUntilClosed(false);
    connection.SetDeferPeerClose(true);
  }
  ~TzqHeaderReadScope() {
    connection_.SetDeferPeerClose(defer_);
    if (connection_.Active() && connection_.PeerClosed()) connection_.Close(false);
  }
  TzqHeaderReadScope(const TzqHeaderReadScope&) = delete;
  TzqHeaderReadScope& operator=(const TzqHeaderReadScope&) = delete;

private:
  TzqTcpConnection& connection_;
  bool defer_;
};

}  // namespace

TzqHttpProxy::TzqHttpProxy(TzqComponent* owner)
    : TzqTcpProxy(owner),
      requestHeader_(std::make_unique<TzqHttpRequestHeader>()),
      responseHeader_(std::make_unique<TzqHttpResponseHeader>()) {
  requestHeader_->SetAccept("");
  SetPort(GetDefaultPort());
}

TzqHttpProxy::~TzqHttpProxy() {
  Close();
  BeforeDestroy();
}

TzqTcpClientConnection& TzqHttpProxy::GetConnection() {
  if (borrowed_ != nullptr) return *borrowed_;
  return TzqTcpProxy::GetConnection();
}

void TzqHttpProxy::BeforeDestroy() {
  requestHeader_.reset();
  responseHeader_.reset();
}

void TzqHttpProxy::SetRequestVersion(TzqHttpVersion value) { Update(requestVersion_, value); }
void TzqHttpProxy::SetUserName(const std::string& value) {
  Update(
      value, [&] { return settings_.UserName(); }, [&](const std::string& v) { settings_.SetUserName(v); });
}

void TzqHttpProxy::SetPassword(const std::string& value) {
  Update(
      value, [&] { return settings_.Password(); }, [&](const std::string& v) { settings_.SetPassword(v); });
}

void TzqHttpProxy::SetAuthorizationType(TzqAuthorizationType value) {
  Update(
      value, [&] { return settings_.AuthorizationType(); },
      [&](TzqAuthorizationType v) { settings_.SetAuthorizationType(v); });
}

void TzqHttpProxy::SetSettings(const TzqHttpProxySettings& value) {
  SetServer(value.Server());
  SetPort(value.Port());
  Update(
      value, [&]() -> const TzqHttpProxySettings& { return settings_; },
      [&](const TzqHttpProxySettings& v) { settings_.Assign(v); });
}
void TzqHttpProxy::SetUserAgent(const std::string& value) { Update(userAgent_, value); }
void TzqHttpProxy::SetMaxAuthRetries(int32_t value) { Update(maxAuthRetries_, value); }

void TzqHttpProxy::OpenTunnel(const std::string& server, int32_t port) {
  TzqStringList lines;
  requestHeader_->WriteHeader(lines);
  RunConnectExchange(server, port, lines);
}

void TzqHttpProxy::OpenTunnelOn(TzqTcpConnection& connection, const std::string& server, int32_t port) {
  auto* client = dynamic_cast<TzqTcpClientConnection*>(&connection);
  if (client == nullptr) throw EzqTcpClientError(sTunnelNeedsClientConnection, kConnectionNotActiveCode);
  borrowed_ = client;
  TzqScopeGuard giveBack([this] { borrowed_ = nullptr; });
  OpenTunnel(server, port);
}

void TzqHttpProxy::DoSendRequest(const std::string& host, int32_t port, const TzqStringList& header) {
  if (OnSendRequest) OnSendRequest(this, host, port, header);
}

void TzqHttpProxy::DoReceiveResponse(const std::string& host, int32_t port, const TzqStringList& header,
                                     const TzqStringList& body) {
  if (OnReceiveResponse) OnReceiveResponse(this, host, port, header, body);
}

std::string TzqHttpProxy::Target() const { return TzqUrlParser::HostText(targetHost_) + Format(":%d", targetPort_); }

bool TzqHttpProxy::AuthorizeTunnel(const TzqStringList& challenges, TzqStringList& lines, bool& startNewConnection) {
  TzqUrlParser parser;
  parser.ParseUrl("http://" + Target());
  std::string value;
  startNewConnection = false;
  if (!TzqHttpAuthorization::Authorize(parser, "CONNECT", settings_.UserName(), settings_.Password(), challenges, this,
                                       value, startNewConnection))
    return false;
  TzqHttpUtils::SetHeaderField("Proxy-Authorization", value, lines);
  return true;
}

void TzqHttpProxy::RunConnectExchange(const std::string& host, int32_t port, const TzqStringList& requestLines) {
  targetHost_ = host;
  targetPort_ = port;
  TzqStringList lines(requestLines);
  if (settings_.AuthorizationType() == atBasic) {
    bool unused = false;
    AuthorizeTunnel(TzqStringList{"Basic"}, lines, unused);
  }
  int challenges = 0;
  for (;;) {
    TzqStringList header;
    TzqStringList body;
    if (!SendAttempt(host, port, lines, header, body)) continue;
    bool closeAfterwards = mustClose_ || !ProxyKeepAlive();
    TzqScopeGuard closeIfDone([&] {
      if (closeAfterwards) Close();
    });
    if (HandleStatus(header, body, challenges, lines, closeAfterwards)) return;
  }
}

bool TzqHttpProxy::SendAttempt(const std::string& host, int32_t port, TzqStringList& lines, TzqStringList& header,
                               TzqStringList& body) {
  const bool wasActive = Active();
  try {
    EnsureProxyConnection();
    ComposeConnectRequest(lines);
    TzqHttpUtils::CheckHeaderLines(lines);
    std::string text;
    for (int i = 0; i < lines.Count(); ++i) text += lines[i] + "\r\n";
    GetConnection().WriteText(text, "us-ascii");
    DoSendRequest(host, port, lines);
    ReadConnectResponse(header, body);
    DoReceiveResponse(host, port, header, body);
  } catch (const EzqHttpProxyError&) {
    throw;
  } catch (const EzqHttpError& e) {
    throw EzqHttpProxyError(e.what(), e.ResponseText(), e.ErrorCode());
  } catch (const EzqSocketError& e) {
    if (!wasActive || !TzqHttpUtils::IsDroppedConnection(e.ErrorCode())) throw;
    Close();
    return false;
  }
  return true;
}

bool TzqHttpProxy::HandleStatus(const TzqStringList& header, const TzqStringList& body, int& challenges,
                                TzqStringList& lines, bool& closeAfterwards) {
  const int32_t code = statusCode_;
  if ((code >= 300 && code <= 399 && code != 304 && code != 305) || code == 401) Fail(header, body);
  if (code == 407) {
    ++challenges;
    if (maxAuthRetries_ > 0 && challenges > maxAuthRetries_) Fail(header, body);
    bool startNewConnection = false;
    if (!AuthorizeTunnel(responseHeader_->ProxyAuthenticate(), lines, startNewConnection)) Fail(header, body);
    if (challenges == 1 && startNewConnection) closeAfterwards = true;
    return false;
  }
  // Only a 2xx opens a tunnel (RFC 9110): after a 101, 304 or 305 the next bytes would go to the
  // proxy itself.
  if (code < 200 || code > 299) Fail(header, body);
  closeAfterwards = false;
  return true;
}

void TzqHttpProxy::Fail(const TzqStringList& header, const TzqStringList& body) {
  throw EzqHttpProxyError(header.Empty() ? std::string() : header[0], body.Text(), statusCode_);
}

void TzqHttpProxy::EnsureProxyConnection() {
  // A connection handed in by the caller is already open to its proxy: it is not replaced.
  if (borrowed_ != nullptr && Active()) return;
  if (proxyServer_ != Server() || proxyPort_ != Port()) Close();
  proxyServer_ = Server();
  proxyPort_ = Port();
  Open();
}

void TzqHttpProxy::ComposeConnectRequest(TzqStringList& lines) const {
  TzqHttpUtils::DropStartLine(lines);
  TzqHttpUtils::TrimTrailingEmptyLines(lines);
  const std::string target = Target();
  lines.Insert(0, Format("%s %s %s", "CONNECT", target.c_str(), kHttpVersionTexts[requestVersion_]));
  TzqHeaderFieldList fields(lines, 1);
  fields.RemoveField("Host");
  fields.AddField("Host", target);
  fields.AddFieldIfAbsent("User-Agent", userAgent_);
  fields.AddFieldIfAbsent("Proxy-Connection", "Keep-Alive");
  fields.AddFieldIfAbsent("Connection", "Keep-Alive");
  fields.RemoveField("Content-Length");
  fields.RemoveField("Content-Type");
  lines.Add("");
}

// The header is read a byte at a time, so nothing of the far server's first bytes is taken.
void TzqHttpProxy::ReadConnectResponse(TzqStringList& lines, TzqStringList& bodyLines) {
  statusCode_ = 0;
  statusText_.clear();
  responseVersion_ = requestVersion_;
  mustClose_ = false;
  TzqTcpClientConnection& connection = GetConnection();
  TzqConnectionSource source(connection);
  TzqHttpResponseReader reader(source, TzqHeaderRules{1, kMaxProxyHeaderReads, sProxyHeaderTooLong, sProxyNoStatus});
  TzqMemoryStream body;
  try {
    {
      TzqHeaderReadScope scope(connection);
      reader.ReadHeader(lines, requestVersion_);
    }
    statusCode_ = reader.StatusCode();
    statusText_ = reader.StatusText();
    responseVersion_ = reader.Version();
    responseHeader_->ParseHeader(lines);
    reader.DecideFraming("CONNECT", requestVersion_);
    mustClose_ = reader.MustClose();
    const int32_t code = statusCode_;
    TzqBoundedStream bounded(body, kMaxProxyBodyBytes,
                             [code] { throw EzqHttpProxyError(sProxyBodyTooLong, std::string(), code); });
    reader.ReadBody(bounded);
  } catch (...) {
    // The rest of the response may still be on the way: the connection cannot be kept.
    Close();
    throw;
  }
  body.SetPosition(0);
  bodyLines.Clear();
  ReadLinesFromStream(body, bodyLines, responseHeader_->CharSet());
}

bool TzqHttpProxy::ProxyKeepAlive() const {
  return TzqHttpResponseReader::KeepAlive(requestVersion_, responseVersion_, responseHeader_->ProxyConnection());
}

}  // namespace zq
