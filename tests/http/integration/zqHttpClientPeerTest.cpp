// The HTTP client against real servers on loopback: nginx (static files, gzip, chunked,
// redirects, keep-alive, TLS through the test PKI), httpbin (forms, PUT, DELETE, cookies,
// Basic and Digest, statuses), Apache with gss-ntlmssp and a KDC (NTLM, Negotiate) and squid
// (plain proxy and CONNECT tunnel, open and with Basic proxy authorization).

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "codec/zqInflate.h"
#include "core/zqStream.h"
#include "core/zqStringList.h"
#include "core/zqText.h"
#include "http/zqCookieManager.h"
#include "http/zqHttp.h"
#include "http/zqHttpProxy.h"
#include "http/zqHttpRequest.h"
#include "tests/http/integration/zqScriptedHttp.h"
#include "tests/support/zqLoopback.h"
#include "tests/support/zqPeerProcesses.h"
#include "tests/tls/zqTlsTestCertificates.h"
#include "tls/zqSspi.h"

namespace zq {
namespace {

using test::HttpErrorOf;
using test::PeerProcesses;
using test::ReadWholeFile;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// nginx of nginx-peer.sh on a plain and a TLS port, stopped by PID when destroyed.
class NginxPeer {
public:
  NginxPeer() : httpPort_(test::FreePort()), httpsPort_(test::FreePort()) {
    const test::TlsCertificates& pki = test::TlsCertificates::Get();
    processes_.Start("nginx-peer.sh", {processes_.RunDir(), std::to_string(httpPort_), std::to_string(httpsPort_),
                                       pki.File("server.pem"), pki.File("server.key")});
  }
  std::string Http(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(httpPort_) + path; }
  std::string Https(const std::string& path) const { return "https://localhost:" + std::to_string(httpsPort_) + path; }
  // The same ports on ::1, as an IPv6 literal.
  std::string Ipv6(bool tls, const std::string& path) const {
    return Format("%s://[::1]:%d%s", tls ? "https" : "http", tls ? httpsPort_ : httpPort_, path.c_str());
  }
  std::string File(const std::string& name) const { return ReadWholeFile(processes_.RunDir() + "/www/" + name); }
  // The access log line of the one request of target: connection number, its request count,
  // TLS protocol, request line, status, Proxy-Authorization. nginx may log just after the client has the last byte.
  std::string Logged(const std::string& target, const std::string& method = "GET") const {
    const std::string request = "\"" + method + " " + target + " HTTP/1.1\"";
    for (int wait = 0; wait < 100; ++wait) {
      std::istringstream lines(ReadWholeFile(processes_.RunDir() + "/logs/access.log"));
      for (std::string line; std::getline(lines, line);)
        if (Has(line, request)) return line;
      test::Pause(20);
    }
    return "(not logged: " + target + ")";
  }
  // The number of the connection that carried the GET of target.
  std::string ConnectionOf(const std::string& target) const {
    const std::string line = Logged(target);
    return line.substr(0, line.find(' '));
  }

private:
  PeerProcesses processes_;
  int httpPort_;
  int httpsPort_;
};

// One kind of auth-peer.sh or squid-peer.sh on one port.
class ScriptPeer {
public:
  ScriptPeer(const std::string& script, const std::string& kind) : port_(test::FreePort()) {
    std::vector<std::string> arguments = {kind, processes_.RunDir(), std::to_string(port_)};
    if (kind == "apache-gssapi") arguments.push_back(std::to_string(test::FreePort()));
    // Apache's children and squid's proxy user must reach the run directory inside.
    ::chmod(processes_.Directory().c_str(), 0755);
    processes_.Start(script, arguments, 60);
  }
  int Port() const { return port_; }
  std::string Url(const std::string& path, const std::string& host = "127.0.0.1") const {
    return "http://" + host + ":" + std::to_string(port_) + path;
  }
  std::string RunDir() const { return processes_.RunDir(); }

private:
  PeerProcesses processes_;
  int port_;
};

std::string Text(TzqMemoryStream& stream) {
  return std::string(reinterpret_cast<const char*>(stream.Memory()), static_cast<size_t>(stream.Size()));
}

// A client bounded in time that counts what it raises.
struct Client {
  TzqHttp http;
  int opens = 0;
  int headers = 0;
  int responses = 0;
  int receiveProgress = 0;
  int redirects = 0;
  int64_t lastDone = 0;
  int64_t lastTotal = 0;
  int64_t lastSent = 0;
  std::vector<std::string> requestLines;  // the first line of each request sent

  Client() {
    http.SetTimeOut(10000);
    http.SetConnectTimeOut(5000);
    http.SetDisableGuiProcessing(true);
    http.OnOpen = [this](TzqObject*) { ++opens; };
    http.OnSendRequest = [this](TzqObject*, const std::string&, const std::string&, TzqStringList& lines) {
      requestLines.push_back(lines[0]);
    };
    http.OnReceiveHeader = [this](TzqObject*, const std::string&, const std::string&, TzqStringList&, TzqCookieList&,
                                  bool&) { ++headers; };
    http.OnReceiveResponse = [this](TzqObject*, const std::string&, const std::string&, TzqStringList&,
                                    TzqCookieList&) { ++responses; };
    http.OnReceiveProgress = [this](TzqObject*, int64_t done, int64_t total) {
      ++receiveProgress;
      lastDone = done;
      lastTotal = total;
    };
    http.OnSendProgress = [this](TzqObject*, int64_t done, int64_t) { lastSent = done; };
    http.OnRedirect = [this](TzqObject*, TzqStringList&, int32_t, TzqHttpResponseHeader&, TzqStringList&, std::string&,
                             bool&, bool&) { ++redirects; };
  }
  void UseProxy(int port, const std::string& user = "", const std::string& password = "",
                TzqAuthorizationType type = atAutoDetect) {
    TzqHttpProxySettings& proxy = http.ProxySettings();
    proxy.SetServer("127.0.0.1");
    proxy.SetPort(port);
    proxy.SetUserName(user);
    proxy.SetPassword(password);
    proxy.SetAuthorizationType(type);
  }
  std::string Get(const std::string& url, TzqStringList* header = nullptr) {
    TzqMemoryStream body;
    http.Get(url, nullptr, header, &body);
    return Text(body);
  }
  std::string Post(const std::string& url, TzqHttpRequest& request) {
    TzqMemoryStream body;
    http.Post(url, &request, &body);
    return Text(body);
  }
};

// Each kind of peer is started once for all the tests that use it (squid and gunicorn take a
// while to stop).
class HttpClientPeer : public ::testing::Test {
protected:
  static const NginxPeer& Nginx() {
    if (!nginx_) nginx_ = std::make_unique<NginxPeer>();
    return *nginx_;
  }
  static const ScriptPeer& Peer(const std::string& script, const std::string& kind) {
    std::unique_ptr<ScriptPeer>& peer = peers_[script + " " + kind];
    if (!peer) peer = std::make_unique<ScriptPeer>(script, kind);
    return *peer;
  }
  static const ScriptPeer& Httpbin() { return Peer("auth-peer.sh", "httpbin"); }
  static const ScriptPeer& Squid(const std::string& kind) { return Peer("squid-peer.sh", kind); }
  static void TearDownTestSuite() {
    nginx_.reset();
    peers_.clear();
  }

private:
  static inline std::unique_ptr<NginxPeer> nginx_;
  static inline std::map<std::string, std::unique_ptr<ScriptPeer>> peers_;
};

// ---- nginx --------------------------------------------------------------------------------------

TEST_F(HttpClientPeer, FilesArriveByteExactOverHttpAndHttps) {
  const NginxPeer& nginx = Nginx();
  const std::string large = nginx.File("large.bin");
  ASSERT_EQ(large.size(), 3u << 20);
  for (const bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "https" : "http");
    Client client;
    auto url = [&](const std::string& path) { return tls ? nginx.Https(path) : nginx.Http(path); };
    EXPECT_EQ(client.Get(url("/hello.txt")), "hello world\n");
    EXPECT_EQ(client.http.StatusCode(), 200);
    const std::string body = client.Get(url(tls ? "/large.bin?tls" : "/large.bin"));
    EXPECT_EQ(body.size(), large.size());
    EXPECT_TRUE(body == large) << "the large file differs";
    EXPECT_EQ(client.lastDone, int64_t{3} << 20);
    EXPECT_EQ(client.lastTotal, int64_t{3} << 20);
    EXPECT_EQ(client.opens, 1);  // both on one kept connection
  }
  // TLS 1.3 is offered by default.
  const std::string logged = nginx.Logged("/large.bin?tls");
  EXPECT_TRUE(Has(logged, " 2 TLSv1.3 \"GET")) << logged;
}

TEST_F(HttpClientPeer, Ipv6LiteralUrlsReachTheServerOnLoopback) {
  const NginxPeer& nginx = Nginx();
  for (const bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "https" : "http");
    Client client;
    EXPECT_EQ(client.Get(nginx.Ipv6(tls, tls ? "/hello.txt?v6tls#part" : "/hello.txt?v6#part")), "hello world\n");
    EXPECT_EQ(client.http.StatusCode(), 200);
    // nginx logs the request line as sent: no fragment.
    const std::string logged = nginx.Logged(tls ? "/hello.txt?v6tls" : "/hello.txt?v6");
    EXPECT_TRUE(Has(logged, tls ? " TLSv1.3 \"GET" : " - \"GET")) << logged;
  }
}

TEST_F(HttpClientPeer, GzipAndChunkedBodiesAreDecoded) {
  const NginxPeer& nginx = Nginx();
  const std::string lorem = nginx.File("lorem.txt");
  Client client;
  TzqStringList header;
  EXPECT_EQ(client.Get(nginx.Http("/lorem.txt"), &header), lorem);
  EXPECT_EQ(client.http.ResponseHeader().ContentEncoding(), "gzip") << header.Text();
  EXPECT_TRUE(SameText(client.http.ResponseHeader().TransferEncoding(), "chunked")) << header.Text();

  // Over TLS, and compressed data split into chunks across many reads.
  EXPECT_EQ(client.Get(nginx.Https("/lorem.txt")), lorem);

  client.http.SetAllowCompression(false);
  EXPECT_EQ(client.Get(nginx.Http("/lorem.txt"), &header), lorem);
  EXPECT_EQ(client.http.ResponseHeader().ContentEncoding(), "");

  std::string page;
  for (int i = 1; i <= 2000; ++i) page += Format("row %04d replaced\n", i);
  EXPECT_EQ(client.Get(nginx.Http("/chunked/page.txt"), &header), page);
  EXPECT_TRUE(SameText(client.http.ResponseHeader().TransferEncoding(), "chunked")) << header.Text();
  EXPECT_EQ(client.lastTotal, -1);
  // The chunked bodies ended where they should: the last connection served both requests.
  EXPECT_EQ(client.opens, 3);  // another host or port closes the connection: http, https, http
}

TEST_F(HttpClientPeer, HeadReadsNoBodyAndLeavesTheConnectionUsable) {
  const NginxPeer& nginx = Nginx();
  Client client;
  TzqStringList header;
  client.http.Head(nginx.Http("/large.bin"), &header);
  EXPECT_EQ(client.http.StatusCode(), 200);
  EXPECT_EQ(Trim(client.http.ResponseHeader().ContentLength()), "3145728") << header.Text();
  EXPECT_EQ(client.responses, 0);
  EXPECT_EQ(client.receiveProgress, 0);
  // A redirect answered to HEAD is followed with HEAD, without any body events either.
  client.http.Head(nginx.Http("/r302"), &header);
  EXPECT_EQ(client.http.StatusCode(), 200);
  client.http.Head(nginx.Http("/r301"), &header);
  EXPECT_EQ(client.headers, 5);
  EXPECT_EQ(client.requestLines.back(), "HEAD /hello.txt HTTP/1.1");
  EXPECT_EQ(client.responses, 0);
  EXPECT_EQ(client.receiveProgress, 0);

  EXPECT_EQ(client.Get(nginx.Http("/hello.txt")), "hello world\n");
  EXPECT_EQ(client.opens, 1);
}

TEST_F(HttpClientPeer, KeptConnectionServesConsecutiveRequests) {
  const NginxPeer& nginx = Nginx();
  {
    Client client;
    EXPECT_EQ(client.Get(nginx.Http("/hello.txt?first")), "hello world\n");
    EXPECT_EQ(client.Get(nginx.Http("/hello.txt?second")), "hello world\n");
    EXPECT_EQ(client.opens, 1);
  }
  {
    Client client;
    client.http.SetKeepConnection(false);
    EXPECT_EQ(client.Get(nginx.Http("/hello.txt?third")), "hello world\n");
    EXPECT_EQ(client.Get(nginx.Http("/hello.txt?fourth")), "hello world\n");
    EXPECT_EQ(client.opens, 2);
  }
  EXPECT_EQ(nginx.ConnectionOf("/hello.txt?first"), nginx.ConnectionOf("/hello.txt?second"));
  EXPECT_TRUE(Has(nginx.Logged("/hello.txt?second"), " 2 - ")) << nginx.Logged("/hello.txt?second");
  EXPECT_NE(nginx.ConnectionOf("/hello.txt?third"), nginx.ConnectionOf("/hello.txt?fourth"));
}

TEST_F(HttpClientPeer, Http10KeepsAliveOnRequestAndReadsBodiesEndedByTheClose) {
  const NginxPeer& nginx = Nginx();
  Client client;
  client.http.SetHttpVersion(hvHttp1_0);
  client.http.SetAllowCompression(false);  // nginx would compress, and so close, these too
  EXPECT_EQ(client.Get(nginx.Http("/hello.txt")), "hello world\n");
  EXPECT_EQ(client.Get(nginx.Http("/hello.txt")), "hello world\n");
  EXPECT_EQ(client.opens, 1);
  // Compressed or rewritten, a body has no length for HTTP/1.0: it ends when nginx closes.
  client.http.SetAllowCompression(true);
  TzqStringList header;
  EXPECT_EQ(client.Get(nginx.Http("/lorem.txt"), &header), nginx.File("lorem.txt"));
  EXPECT_EQ(client.http.ResponseHeader().ContentEncoding(), "gzip") << header.Text();
  EXPECT_EQ(client.http.ResponseHeader().ContentLength(), "") << header.Text();
  EXPECT_EQ(client.Get(nginx.Http("/chunked/page.txt")).size(), 2000u * 18);
  EXPECT_EQ(client.opens, 2);
}

TEST_F(HttpClientPeer, CancelledHeaderEndsTheCallAndDropsTheConnection) {
  const NginxPeer& nginx = Nginx();
  Client client;
  client.http.OnReceiveHeader = [](TzqObject*, const std::string&, const std::string&, TzqStringList&, TzqCookieList&,
                                   bool& cancel) { cancel = true; };
  EXPECT_EQ(client.Get(nginx.Http("/large.bin")), "");
  EXPECT_EQ(client.http.StatusCode(), 200);
  EXPECT_EQ(client.responses, 0);
  EXPECT_FALSE(client.http.Active());
  client.http.OnReceiveHeader = nullptr;
  EXPECT_EQ(client.Get(nginx.Http("/hello.txt")), "hello world\n");
  EXPECT_EQ(client.opens, 2);
}

TEST_F(HttpClientPeer, KeptConnectionDroppedByTheServerIsReopened) {
  const NginxPeer& nginx = Nginx();
  Client client;
  EXPECT_EQ(client.Get(nginx.Http("/brief")), "brief\n");
  test::Pause(1600);  // nginx closes the idle connection after 1 s
  EXPECT_EQ(client.Get(nginx.Http("/brief")), "brief\n");
  EXPECT_EQ(client.opens, 2);
  // The close is seen before the second request is sent: it goes out once, on the new connection.
  EXPECT_EQ(client.requestLines.size(), 2u);
}

TEST_F(HttpClientPeer, PutBodiesArriveByteExactAndDeleteRemovesThem) {
  const NginxPeer& nginx = Nginx();
  const std::string large = nginx.File("large.bin");
  for (const bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "https" : "http");
    auto url = [&](const std::string& path) { return tls ? nginx.Https(path) : nginx.Http(path); };
    Client client;
    // nginx answers 100 Continue before the final status.
    client.http.SetExpect100Continue(tls);
    TzqMemoryStream upload;
    upload.WriteBuffer(large.data(), static_cast<int64_t>(large.size()));
    // The body is what follows the stream's position.
    const int64_t start = tls ? int64_t{1} << 20 : 0;
    upload.SetPosition(start);
    const std::string path = tls ? "/dav/tls/part.bin" : "/dav/whole.bin";
    client.http.Put(url(path), "application/octet-stream", &upload, nullptr, nullptr);
    EXPECT_EQ(client.http.StatusCode(), 201);
    EXPECT_EQ(client.headers, 1);
    EXPECT_EQ(client.lastSent, static_cast<int64_t>(large.size()));
    EXPECT_TRUE(client.Get(url(path)) == large.substr(static_cast<size_t>(start))) << "the stored file differs";
    EXPECT_EQ(nginx.File(path.substr(1)).size(), large.size() - static_cast<size_t>(start));

    client.http.Delete(url(path), nullptr, nullptr);
    EXPECT_EQ(client.http.StatusCode(), 204);
    EXPECT_EQ(HttpErrorOf([&] { client.Get(url(path)); }).ErrorCode(), 404);
    EXPECT_EQ(client.opens, 1);
  }
}

TEST_F(HttpClientPeer, RedirectsAreFollowedWithinTheLimit) {
  const NginxPeer& nginx = Nginx();
  Client client;
  for (const std::string path : {"/r301", "/r302", "/r307"}) {
    EXPECT_EQ(client.Get(nginx.Http(path)), "hello world\n") << path;
    EXPECT_EQ(client.http.StatusCode(), 200) << path;
  }
  EXPECT_EQ(client.redirects, 3);
  EXPECT_EQ(client.opens, 1);

  // A chain of two within a limit of two; the loop fails on the redirect past the limit.
  client.http.SetMaxRedirects(2);
  EXPECT_EQ(client.Get(nginx.Http("/hop2")), "hello world\n");
  client.redirects = 0;
  const EzqHttpError error = HttpErrorOf([&] { client.Get(nginx.Http("/loop")); });
  EXPECT_EQ(error.ErrorCode(), 302);
  EXPECT_EQ(std::string(error.what()), "HTTP/1.1 302 Moved Temporarily");
  EXPECT_EQ(client.redirects, 2);

  client.http.SetAllowRedirects(false);
  EXPECT_EQ(HttpErrorOf([&] { client.Get(nginx.Http("/r301")); }).ErrorCode(), 301);

  // From http to https: a new connection, with TLS, to the other port.
  Client crossing;
  EXPECT_EQ(crossing.Get(nginx.Http("/to-https")), "hello world\n");
  EXPECT_EQ(crossing.opens, 2);
  EXPECT_EQ(crossing.http.Url().FullUrl(), nginx.Https("/hello.txt"));
}

TEST_F(HttpClientPeer, ErrorStatusesRaiseOrDeliverTheirBody) {
  const NginxPeer& nginx = Nginx();
  Client client;
  const EzqHttpError error = HttpErrorOf([&] { client.Get(nginx.Http("/status/404")); });
  EXPECT_EQ(error.ErrorCode(), 404);
  EXPECT_EQ(std::string(error.what()), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(Trim(error.ResponseText()), "not found");
  EXPECT_EQ(HttpErrorOf([&] { client.Get(nginx.Http("/missing.txt")); }).ErrorCode(), 404);

  client.http.SetSilentHTTP(true);
  EXPECT_EQ(client.Get(nginx.Http("/status/404")), "not found\n");
  EXPECT_EQ(client.http.StatusCode(), 404);
  // The error bodies were read to their end: the connection carries on.
  EXPECT_EQ(client.Get(nginx.Http("/hello.txt")), "hello world\n");
  EXPECT_EQ(client.opens, 1);
}

// ---- httpbin ------------------------------------------------------------------------------------

// First of the httpbin tests: its stalled request has ended before the peer is stopped.
TEST_F(HttpClientPeer, HttpbinTimeOutCountsFromTheLastProgress) {
  const ScriptPeer& httpbin = Httpbin();
  Client client;
  client.http.SetTimeOut(1000);
  // Four bytes half a second apart: 2 s in all, never 1 s without progress.
  EXPECT_EQ(client.Get(httpbin.Url("/drip?duration=2&numbytes=4&delay=0")), "****");
  client.http.SetTimeOut(400);
  try {
    client.Get(httpbin.Url("/delay/1"));
    ADD_FAILURE() << "no time-out";
  } catch (const EzqSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), -1) << e.what();
  }
  client.http.SetTimeOut(10000);
  const std::string after = client.Get(httpbin.Url("/get?after=timeout"));
  EXPECT_TRUE(Has(after, "\"after\":\"timeout\"")) << after;
  EXPECT_EQ(client.opens, 2);  // the timed-out connection is not used again
}

TEST_F(HttpClientPeer, HttpbinFormPutAndDelete) {
  const ScriptPeer& httpbin = Httpbin();
  Client client;
  TzqHttpRequest form;
  form.AddFormField("Name", "Ann & Bob");
  form.AddFormField("Birthdate", "01/02/1990");
  form.AddFormField("Account", "12345=x");
  std::string posted = client.Post(httpbin.Url("/post"), form);
  EXPECT_TRUE(Has(posted, "\"Name\":\"Ann & Bob\"")) << posted;
  EXPECT_TRUE(Has(posted, "\"Birthdate\":\"01/02/1990\"")) << posted;
  EXPECT_TRUE(Has(posted, "\"Account\":\"12345=x\"")) << posted;
  EXPECT_TRUE(Has(posted, "application/x-www-form-urlencoded")) << posted;

  test::TempDir dir;
  std::ofstream(dir.File("note.txt")) << "file body\n";
  TzqHttpRequest multipart;
  multipart.AddFormField("Name", "Ann");
  multipart.AddSubmitFile("upload", dir.File("note.txt"));
  posted = client.Post(httpbin.Url("/post"), multipart);
  EXPECT_TRUE(Has(posted, "\"files\":{\"upload\":\"file body\\n\"}")) << posted;
  EXPECT_TRUE(Has(posted, "\"form\":{\"Name\":\"Ann\"}")) << posted;
  EXPECT_TRUE(Has(posted, "multipart/form-data; boundary=")) << posted;

  std::string data;
  for (int i = 0; data.size() < 1000000; ++i) data += Format("put line %d\n", i);
  TzqMemoryStream upload;
  upload.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
  upload.SetPosition(0);
  TzqMemoryStream answer;
  client.http.Put(httpbin.Url("/put"), "text/plain", &upload, nullptr, &answer);
  std::string escaped;
  for (char c : data) escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
  EXPECT_TRUE(Has(Text(answer), "\"data\":\"" + escaped + "\"")) << Text(answer).substr(0, 300);
  EXPECT_TRUE(Has(Text(answer), "\"Content-Length\":\"" + std::to_string(data.size()) + "\""));
  EXPECT_EQ(client.lastSent, static_cast<int64_t>(data.size()));

  TzqMemoryStream deleted;
  client.http.Delete(httpbin.Url("/delete?id=7"), nullptr, &deleted);
  EXPECT_EQ(client.http.StatusCode(), 200);
  EXPECT_TRUE(Has(Text(deleted), "\"id\":\"7\"")) << Text(deleted);
  EXPECT_EQ(client.opens, 1);
}

TEST_F(HttpClientPeer, HttpbinRedirectOfPostByStatus) {
  const ScriptPeer& httpbin = Httpbin();
  Client client;
  TzqHttpRequest form;
  form.AddFormField("Name", "Ann");
  // 302 turns the POST into a GET without a body; 307 posts the same body again.
  std::string answer = client.Post(httpbin.Url("/redirect-to?url=/anything&status_code=302"), form);
  EXPECT_TRUE(Has(answer, "\"method\":\"GET\"")) << answer;
  EXPECT_FALSE(Has(answer, "Ann")) << answer;
  EXPECT_FALSE(Has(answer, "Content-Length")) << answer;
  answer = client.Post(httpbin.Url("/redirect-to?url=/anything&status_code=307"), form);
  EXPECT_TRUE(Has(answer, "\"method\":\"POST\"")) << answer;
  EXPECT_TRUE(Has(answer, "\"Name\":\"Ann\"")) << answer;
  EXPECT_EQ(client.redirects, 2);
}

TEST_F(HttpClientPeer, HttpbinCookiesTravelBack) {
  const ScriptPeer& httpbin = Httpbin();
  Client client;
  // The redirect to /cookies already carries what the 302 set.
  std::string answer = client.Get(httpbin.Url("/cookies/set?a=b&c=d"));
  EXPECT_TRUE(Has(answer, "\"a\":\"b\"")) << answer;
  EXPECT_TRUE(Has(answer, "\"c\":\"d\"")) << answer;
  answer = client.Get(httpbin.Url("/cookies"));
  EXPECT_TRUE(Has(answer, "\"a\":\"b\"")) << answer;

  // A shared manager serves a second client; a client that refuses cookies sends none.
  TzqCookieManager shared;
  Client first;
  first.http.SetCookieManager(&shared);
  first.Get(httpbin.Url("/cookies/set?k=v"));
  Client second;
  second.http.SetCookieManager(&shared);
  EXPECT_TRUE(Has(second.Get(httpbin.Url("/cookies")), "\"k\":\"v\""));
  second.http.SetAllowCookies(false);
  EXPECT_FALSE(Has(second.Get(httpbin.Url("/cookies")), "\"k\""));
}

TEST_F(HttpClientPeer, HttpbinBasicAndDigest) {
  const ScriptPeer& httpbin = Httpbin();
  Client answered;
  answered.http.SetUserName("u");
  answered.http.SetPassword("p");
  EXPECT_TRUE(Has(answered.Get(httpbin.Url("/basic-auth/u/p")), "\"authenticated\":true"));
  EXPECT_EQ(answered.headers, 2);  // the 401, then the answer

  Client first;
  first.http.SetAuthorizationType(atBasic);
  EXPECT_TRUE(Has(first.Get(httpbin.Url("/basic-auth/u/p", "u:p@127.0.0.1")), "\"user\":\"u\""));
  EXPECT_EQ(first.headers, 1);

  // httpbin's Digest also wants the cookie its challenge sets.
  Client digest;
  digest.http.SetUserName("u");
  digest.http.SetPassword("p");
  EXPECT_TRUE(Has(digest.Get(httpbin.Url("/digest-auth/auth/u/p")), "\"authenticated\":true"));
  Client sha;
  sha.http.SetUserName("u");
  sha.http.SetPassword("p");
  EXPECT_TRUE(Has(sha.Get(httpbin.Url("/digest-auth/auth/u/p/SHA-256")), "\"authenticated\":true"));
  EXPECT_EQ(sha.headers, 2);

  for (const std::string path : {"/basic-auth/u/p", "/digest-auth/auth/u/p"}) {
    Client wrong;
    wrong.http.SetUserName("u");
    wrong.http.SetPassword("wrong");
    const EzqHttpError error = HttpErrorOf([&] { wrong.Get(httpbin.Url(path)); });
    EXPECT_EQ(error.ErrorCode(), 401) << path;
    EXPECT_LE(wrong.headers, 1 + wrong.http.MaxAuthRetries()) << path;
  }
}

TEST_F(HttpClientPeer, HttpbinStatusesWithoutBody) {
  const ScriptPeer& httpbin = Httpbin();
  Client client;
  EXPECT_EQ(client.Get(httpbin.Url("/status/204")), "");
  EXPECT_EQ(client.http.StatusCode(), 204);
  const EzqHttpError error = HttpErrorOf([&] { client.Get(httpbin.Url("/status/418")); });
  EXPECT_EQ(error.ErrorCode(), 418);
  EXPECT_TRUE(Has(error.ResponseText(), "teapot")) << error.ResponseText();
  EXPECT_TRUE(Has(client.Get(httpbin.Url("/gzip")), "\"gzipped\":true"));
  EXPECT_EQ(client.Get(httpbin.Url("/stream-bytes/3000?chunk_size=700&seed=1")).size(), 3000u);
  EXPECT_EQ(client.opens, 1);
}

// ---- Apache ------------------------------------------------------------------------------------

TEST_F(HttpClientPeer, ApacheDigestHashesTheMethodInUse) {
  const ScriptPeer& apache = Peer("auth-peer.sh", "apache-auth");
  Client client;
  client.http.SetUserName("digestuser");
  client.http.SetPassword("digestpass");
  EXPECT_EQ(client.Get(apache.Url("/digest/hello.txt?a=1")), "hello world\n");
  EXPECT_EQ(client.opens, 1);
  // Apache serves the file to a POST too, once the Digest response matches the method: one
  // computed for another method would end in 401.
  TzqHttpRequest form;
  form.AddFormField("Name", "Ann");
  EXPECT_EQ(client.Post(apache.Url("/digest/hello.txt"), form), "hello world\n");
  EXPECT_EQ(client.requestLines.back(), "POST /digest/hello.txt HTTP/1.1");
  EXPECT_EQ(client.headers, 4);  // each request challenged, then answered

  Client basic;
  basic.http.SetAuthorizationType(atBasic);
  EXPECT_EQ(basic.Get(apache.Url("/basic/hello.txt", "basicuser:basicpass@localhost")), "hello world\n");
  EXPECT_EQ(basic.headers, 1);
}

TEST_F(HttpClientPeer, ApacheNtlmAndNegotiate) {
  const ScriptPeer& apache = Peer("auth-peer.sh", "apache-gssapi");
  setenv("KRB5_CONFIG", (apache.RunDir() + "/krb5.conf").c_str(), 1);
  setenv("KRB5CCNAME", "MEMORY:zq-http-client-test", 1);
  Client ntlm;
  ntlm.http.SetUserName("TESTDOM\\ntlmuser");
  ntlm.http.SetPassword("ntlmpass");
  EXPECT_EQ(ntlm.Get(apache.Url("/ntlm/hello.txt")), "hello world\n");
  Client wrong;
  wrong.http.SetUserName("TESTDOM\\ntlmuser");
  wrong.http.SetPassword("wrong");
  // The refusal surfaces as the security provider's error, which passes to the caller unchanged.
  EXPECT_THROW(wrong.Get(apache.Url("/ntlm/hello.txt")), EzqSSPIError);

  Client kerberos;
  kerberos.http.SetUserName("krbuser");
  kerberos.http.SetPassword("krbpass");
  EXPECT_EQ(kerberos.Get(apache.Url("/krb/hello.txt", "localhost")), "hello world\n");
}

// ---- squid --------------------------------------------------------------------------------------

TEST_F(HttpClientPeer, SquidCarriesPlainAndTunnelledRequests) {
  const NginxPeer& nginx = Nginx();
  const ScriptPeer& squid = Squid("open");
  Client client;
  client.http.ProxySettings().SetServer("127.0.0.1");
  client.http.ProxySettings().SetPort(squid.Port());
  TzqStringList header;
  EXPECT_EQ(client.Get(nginx.Http("/hello.txt"), &header), "hello world\n");
  EXPECT_EQ(client.requestLines.back(), "GET " + nginx.Http("/hello.txt") + " HTTP/1.1");
  EXPECT_TRUE(Has(header.Text(), "squid")) << header.Text();
  EXPECT_EQ(client.Get(nginx.Http("/lorem.txt")), nginx.File("lorem.txt"));
  EXPECT_TRUE(client.Get(nginx.Http("/large.bin")) == nginx.File("large.bin"));
  EXPECT_EQ(client.opens, 1);
  // A body goes along with the absolute request target; another server, the same proxy.
  TzqHttpRequest form;
  form.AddFormField("Name", "Ann");
  const std::string posted = client.Post(Httpbin().Url("/post"), form);
  EXPECT_TRUE(Has(posted, "\"form\":{\"Name\":\"Ann\"}")) << posted;
  EXPECT_EQ(client.requestLines.back(), "POST " + Httpbin().Url("/post") + " HTTP/1.1");

  Client tunnelled;
  tunnelled.http.ProxySettings().SetServer("127.0.0.1");
  tunnelled.http.ProxySettings().SetPort(squid.Port());
  EXPECT_EQ(tunnelled.Get(nginx.Https("/hello.txt")), "hello world\n");
  EXPECT_EQ(tunnelled.requestLines.back(), "GET /hello.txt HTTP/1.1");
  EXPECT_TRUE(tunnelled.Get(nginx.Https("/large.bin")) == nginx.File("large.bin"));
  EXPECT_EQ(tunnelled.opens, 1);
  ASSERT_NE(tunnelled.http.GetProxy(), nullptr);
}

TEST_F(HttpClientPeer, SquidWithBasicProxyAuthorization) {
  const NginxPeer& nginx = Nginx();
  const ScriptPeer& squid = Squid("basic");
  for (const TzqAuthorizationType type : {atAutoDetect, atBasic}) {
    for (const bool tls : {false, true}) {
      SCOPED_TRACE(std::string(tls ? "https" : "http") + (type == atBasic ? " sent first" : " answered"));
      Client client;
      client.UseProxy(squid.Port(), "proxyuser", "proxypass", type);
      EXPECT_EQ(client.Get(tls ? nginx.Https("/hello.txt") : nginx.Http("/hello.txt")), "hello world\n");
      if (!tls) {
        EXPECT_EQ(client.headers, type == atBasic ? 1 : 2);
      }
    }
  }
  Client wrong;
  wrong.UseProxy(squid.Port(), "proxyuser", "wrong");
  EXPECT_EQ(HttpErrorOf([&] { wrong.Get(nginx.Http("/hello.txt")); }).ErrorCode(), 407);
  try {
    wrong.Get(nginx.Https("/hello.txt"));
    ADD_FAILURE() << "the tunnel opened";
  } catch (const EzqHttpProxyError& e) {
    EXPECT_EQ(e.ErrorCode(), 407) << e.what();
  }
}

// ---- credentials and truncation -----------------------------------------------------------------

TEST_F(HttpClientPeer, SquidTunnelCarriesNoProxyCredentialsToTheOrigin) {
  const NginxPeer& nginx = Nginx();
  const ScriptPeer& squid = Squid("basic");
  Client client;
  client.UseProxy(squid.Port(), "proxyuser", "proxypass", atBasic);
  TzqHttpRequest form;
  form.AddFormField("Name", "Ann");
  EXPECT_EQ(client.Post(nginx.Https("/form"), form), "posted\n");
  const std::string line = nginx.Logged("/form", "POST");
  EXPECT_TRUE(Has(line, "TLSv1.") && Has(line, "\" 200 \"-\"")) << line;
}

std::string QueryValue(const std::string& text) {
  std::string out;
  for (const char c : text) out += c == ':' ? "%3A" : c == '/' ? "%2F" : std::string(1, c);
  return out;
}

TEST_F(HttpClientPeer, HttpbinCredentialsStayWithTheirOrigin) {
  const ScriptPeer& httpbin = Httpbin();
  Client client;
  client.http.SetUserName("user");
  client.http.SetPassword("secret");
  client.http.SetAuthorizationType(atBasic);
  EXPECT_TRUE(Has(client.Get(httpbin.Url("/headers")), "\"Authorization\":\"Basic dXNlcjpzZWNyZXQ=\""));
  // The same server under another name is another origin.
  const std::string elsewhere = httpbin.Url("/headers", "localhost");
  const std::string redirected = client.Get(httpbin.Url("/redirect-to?url=" + QueryValue(elsewhere)));
  EXPECT_TRUE(Has(redirected, "\"Host\":\"localhost:")) << redirected;
  EXPECT_FALSE(Has(redirected, "Authorization")) << redirected;
}

TEST_F(HttpClientPeer, NginxGzipBodyCutShortIsAnError) {
  const NginxPeer& nginx = Nginx();
  Client client;
  for (const std::string& url : {nginx.Http("/cut.bin"), nginx.Https("/cut.bin")}) {
    TzqMemoryStream body;
    try {
      client.http.Get(url, nullptr, nullptr, &body);
      ADD_FAILURE() << "a cut gzip body was taken as whole: " << url;
    } catch (const EzqZLibError& e) {
      EXPECT_EQ(e.ErrorCode(), zeTruncatedStream) << e.what();
    }
    EXPECT_LT(body.Size(), static_cast<int64_t>(nginx.File("lorem.txt").size()));
  }
  // Nothing of the cut response is left to be taken for the next one's.
  EXPECT_EQ(client.Get(nginx.Http("/hello.txt")), "hello world\n");
}

}  // namespace
}  // namespace zq
