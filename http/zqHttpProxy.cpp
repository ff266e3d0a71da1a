#include "http/zqHttpProxy.h"

#include <algorithm>
#include <cstring>

#include "codec/zqUriUtils.h"
#include "codec/zqUtils.h"
#include "codec/zqZLibStreams.h"
#include "core/zqError.h"
#include "core/zqText.h"
#include "http/zqHeaderFieldList.h"
#include "http/zqHttpAuth.h"
#include "http/zqStreams.h"
#include "platform/zqSocketApi.h"

namespace zq {

namespace {

const char* const sTunnelNeedsClientConnection = "A proxy tunnel needs a TCP client connection";

// Passes a body on until it grows past kMaxProxyBodyBytes, then refuses it.
class TzqBoundedBody : public TzqStream {
public:
  TzqBoundedBody(TzqStream& target, int32_t statusCode) : target_(target), statusCode_(statusCode) {}
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* buffer, int64_t count) override {
    if (count > kMaxProxyBodyBytes - written_) throw EzqHttpProxyError(sProxyBodyTooLong, std::string(), statusCode_);
    written_ += count;
    return target_.Write(buffer, count);
  }
  int64_t Seek(int64_t, TzqSeekOrigin) override { return written_; }
  int64_t Size() override { return written_; }

private:
  TzqStream& target_;
  int32_t statusCode_;
  int64_t written_ = 0;
};

// Restores the read settings of a connection that the header reads change.
class TzqHeaderReadScope {
public:
  explicit TzqHeaderReadScope(TzqTcpConnection& connection)
      : connection_(connection), readLimit_(connection.ReadLimit()), defer_(connection.DeferPeerClose()) {
    connection.SetReadUntilClosed(false);
    connection.SetReadLimit(1);
    connection.SetDeferPeerClose(true);
  }
  ~TzqHeaderReadScope() {
    connection_.SetReadLimit(readLimit_);
    connection_.SetDeferPeerClose(defer_);
    if (connection_.Active() && connection_.PeerClosed()) connection_.Close(false);
  }
  TzqHeaderReadScope(const TzqHeaderReadScope&) = delete;
  TzqHeaderReadScope& operator=(const TzqHeaderReadScope&) = delete;

private:
  TzqTcpConnection& connection_;
  int64_t readLimit_;
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

template <typename T>
void TzqHttpProxy::Update(T& field, const T& value) {
  if (field == value) return;
  field = value;
  Changed();
}

void TzqHttpProxy::SetRequestVersion(TzqHttpVersion value) { Update(requestVersion_, value); }
void TzqHttpProxy::SetUserName(const std::string& value) { Update(userName_, value); }
void TzqHttpProxy::SetPassword(const std::string& value) { Update(password_, value); }
void TzqHttpProxy::SetAuthorizationType(TzqAuthorizationType value) { Update(authorizationType_, value); }
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
  try {
    OpenTunnel(server, port);
  } catch (...) {
    borrowed_ = nullptr;
    throw;
  }
  borrowed_ = nullptr;
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
  if (!TzqHttpAuthorization::Authorize(parser, "CONNECT", userName_, password_, challenges, this, value,
                                       startNewConnection))
    return false;
  TzqHttpUtils::SetHeaderField("Proxy-Authorization", value, lines);
  return true;
}

void TzqHttpProxy::RunConnectExchange(const std::string& host, int32_t port, const TzqStringList& requestLines) {
  targetHost_ = host;
  targetPort_ = port;
  TzqStringList lines(requestLines);
  if (authorizationType_ == atBasic) {
    bool unused = false;
    AuthorizeTunnel(TzqStringList{"Basic"}, lines, unused);
  }
  int challenges = 0;
  for (;;) {
    TzqStringList header;
    TzqStringList body;
    if (!SendAttempt(host, port, lines, header, body)) continue;
    bool closeAfterwards = !ProxyKeepAlive();
    bool open = false;
    try {
      open = HandleStatus(header, body, challenges, lines, closeAfterwards);
    } catch (...) {
      if (closeAfterwards) Close();
      throw;
    }
    if (closeAfterwards) Close();
    if (open) return;
  }
}

bool TzqHttpProxy::SendAttempt(const std::string& host, int32_t port, TzqStringList& lines, TzqStringList& header,
                               TzqStringList& body) {
  const bool wasActive = Active();
  try {
    EnsureProxyConnection();
    ComposeConnectRequest(lines);
    std::string text;
    for (int i = 0; i < lines.Count(); ++i) text += lines[i] + "\r\n";
    GetConnection().WriteText(text, "us-ascii");
    DoSendRequest(host, port, lines);
    ReadConnectResponse(header);
    ReadConnectBody(body);
    DoReceiveResponse(host, port, header, body);
  } catch (const EzqHttpProxyError&) {
    throw;
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
  if (code >= 400) Fail(header, body);
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

bool TzqHttpProxy::ParseStatusAt(const TzqByteArray& bytes, int64_t start) {
  int64_t position = start;
  responseVersion_ = TzqHttpUtils::ParseStatusVersion(bytes, position, requestVersion_);
  ++position;
  statusCode_ = TzqHttpUtils::ParseStatusCode(bytes, position);
  ++position;
  statusText_ = TzqHttpUtils::ParseStatusText(bytes, position);
  return statusCode_ != 0 && statusCode_ != 100;
}

int64_t TzqHttpProxy::ReadHeaderBytes(TzqTcpConnection& connection, TzqMemoryStream& buffer, int64_t& start) {
  for (int reads = 0; reads < kMaxProxyHeaderReads; ++reads) {
    if (!connection.Active() || connection.PeerClosed()) break;
    connection.InitProgress(0, 0);
    connection.ReadData(&buffer);
    const TzqByteArray bytes = TzqHttpUtils::StreamToBytes(buffer);
    for (int64_t end = TzqHttpUtils::FindHeaderEnd(bytes, start); end >= 0; end = TzqHttpUtils::FindHeaderEnd(bytes, start)) {
      if (ParseStatusAt(bytes, start)) return end;
      // An interim 100 is skipped; a header without a status line is kept reading past.
      if (statusCode_ == 100) start = end;
      else break;
    }
  }
  return -1;
}

void TzqHttpProxy::ReadConnectResponse(TzqStringList& lines) {
  statusCode_ = 0;
  statusText_.clear();
  responseVersion_ = requestVersion_;
  TzqTcpClientConnection& connection = GetConnection();
  TzqMemoryStream buffer;
  int64_t start = 0;
  int64_t end = -1;
  {
    TzqHeaderReadScope scope(connection);
    end = ReadHeaderBytes(connection, buffer, start);
  }
  if (end < 0) {
    const bool nothing = buffer.Size() == 0;
    const bool tooLong = Active() && !connection.PeerClosed();
    Close();
    // A kept connection that the proxy dropped before this request answers with nothing at all.
    if (nothing && !tooLong) RaiseSocketError(WSAECONNABORTED);
    statusCode_ = 0;
    throw EzqHttpProxyError(tooLong ? sProxyHeaderTooLong : sProxyNoStatus, std::string(), 0);
  }
  buffer.SetPosition(start);
  TzqHttpUtils::ReadHeaderLines(buffer, end - start, lines);
  responseHeader_->ParseHeader(lines);
}

int64_t TzqHttpProxy::ExpectedBodyLength() const {
  const std::string length = Trim(responseHeader_->ContentLength());
  if (statusCode_ == 200 || statusCode_ == 304 || (statusCode_ == 204 && length.empty())) return 0;
  if (length.empty()) {
    if (requestVersion_ == hvHttp1_0 || responseVersion_ == hvHttp1_0) return -1;
    return (statusCode_ & 200) == 200 ? -1 : 0;
  }
  // A negative length is no length to wait for.
  return std::max<int64_t>(0, StrToInt64Def(length, 0));
}

void TzqHttpProxy::ReadBodyInto(TzqTcpConnection& connection, TzqStream& destination) {
  if (SameText(responseHeader_->TransferEncoding(), "chunked")) {
    TzqChunkedStream chunked(destination);
    while (connection.Active() && !chunked.IsCompleted()) connection.ReadData(&chunked);
    return;
  }
  const int64_t length = ExpectedBodyLength();
  if (!connection.Active()) return;
  if (length < 0) {
    connection.SetReadUntilClosed(true);
    connection.ReadData(&destination);
    return;
  }
  // Reads stop at the body's end, so a kept connection loses nothing of the next response.
  connection.InitProgress(0, 0);
  TzqReadLimitScope scope(connection, length);
  while (connection.ProgressDone() < length && connection.Active()) connection.ReadData(&destination);
}

void TzqHttpProxy::ReadConnectBody(TzqStringList& lines) {
  TzqMemoryStream body;
  TzqBoundedBody bounded(body, statusCode_);
  TzqTcpClientConnection& connection = GetConnection();
  try {
    if (LowerCase(responseHeader_->ContentEncoding()).find("gzip") != std::string::npos) {
      TzqGZipInflateStream inflating(bounded);
      ReadBodyInto(connection, inflating);
    } else {
      ReadBodyInto(connection, bounded);
    }
  } catch (const EzqHttpProxyError&) {
    Close();  // the rest of the body is still on the way: the connection cannot be kept
    throw;
  }
  body.SetPosition(0);
  lines.Clear();
  ReadLinesFromStream(body, lines, responseHeader_->CharSet());
}

bool TzqHttpProxy::ProxyKeepAlive() const {
  const std::string& value = responseHeader_->ProxyConnection();
  if (requestVersion_ == hvHttp1_1 && responseVersion_ == hvHttp1_1) return !SameText(value, "close");
  return SameText(value, "Keep-Alive");
}

}  // namespace zq
