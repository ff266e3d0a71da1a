// Basic, Digest, NTLM and Negotiate answered by the authorization registry against real
// servers on loopback (httpbin, Apache with mod_auth_digest, Apache with mod_auth_gssapi,
// gss-ntlmssp and an MIT KDC), over a plain TCP client connection.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "codec/zqUriUtils.h"
#include "core/zqStream.h"
#include "core/zqStringList.h"
#include "core/zqText.h"
#include "http/zqCookieManager.h"
#include "http/zqHeaderFieldList.h"
#include "http/zqHttp.h"
#include "http/zqHttpAuth.h"
#include "net/zqSocket.h"
#include "net/zqTcpClient.h"
#include "tests/support/zqPeerProcesses.h"
#include "tests/support/zqTestSupport.h"
#include "tls/zqSspi.h"

// MIT Kerberos keeps objects of its OpenSSL back end that it frees only when the library is
// unloaded, after the leak check has run; the stacks end inside libcrypto (built without frame
// pointers), so they can only be told apart by that library. The unit tests, which run no
// Kerberos, keep the full check of the project's own OpenSSL use.
extern "C" const char* __lsan_default_suppressions() { return "leak:libcrypto.so\n"; }

namespace zq {
namespace {

int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// A peer of tests/peers/auth-peer.sh; its processes are stopped by PID when destroyed.
class AuthPeer {
public:
  explicit AuthPeer(const std::string& kind) : port_(FreeLoopbackPort()), kdcPort_(FreeLoopbackPort()) {
    // Apache's children (www-data) must reach the run directory inside.
    ::chmod(processes_.Directory().c_str(), 0755);
    processes_.Start("auth-peer.sh", {kind, RunDir(), std::to_string(port_), std::to_string(kdcPort_)}, 60);
  }

  int Port() const { return port_; }
  std::string RunDir() const { return processes_.RunDir(); }

private:
  test::PeerProcesses processes_;
  int port_;
  int kdcPort_;
};

struct TzqReply {
  int status = 0;
  TzqStringList header;
  std::string body;
};

// One HTTP/1.1 connection that sends GET requests and reads whole responses.
class HttpLink {
public:
  HttpLink(const std::string& host, int port) {
    client_.SetServer(host);
    client_.SetPort(port);
    client_.SetTimeOut(15000);
    client_.SetDisableGuiProcessing(true);
    client_.Open();
  }
  TzqReply Get(const std::string& hostField, const std::string& target, TzqStringList& fields) {
    std::string request = "GET " + target + " HTTP/1.1\r\nHost: " + hostField + "\r\n";
    for (int i = 0; i < fields.Count(); ++i) request += fields[i] + "\r\n";
    client_.GetConnection().WriteText(request + "\r\n", "us-ascii");
    return ReadReply();
  }

private:
  TzqReply ReadReply() {
    TzqMemoryStream received;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
      const std::string text(reinterpret_cast<const char*>(received.Memory()), static_cast<size_t>(received.Size()));
      const size_t end = text.find("\r\n\r\n");
      if (end != std::string::npos) {
        TzqReply reply;
        reply.header.SetText(text.substr(0, end));
        TzqHeaderFieldList fields(reply.header);
        const size_t length = static_cast<size_t>(StrToInt64Def(fields.GetFieldValue("content-length"), 0));
        if (text.size() >= end + 4 + length) {
          reply.status = StrToIntDef(reply.header[0].substr(9, 3), 0);
          reply.body = text.substr(end + 4, length);
          return reply;
        }
      }
      if (std::chrono::steady_clock::now() > deadline || client_.GetConnection().IsClosed())
        throw std::runtime_error("incomplete response: " + text);
      client_.GetConnection().ReadData(&received);
    }
  }
  TzqTcpClient client_;
};

// Drives one resource through its challenges, as the HTTP client will: a 401 is answered by
// the registry, a new connection is opened when the scheme asks for one, cookies are kept.
class AuthorizedGet {
public:
  AuthorizedGet(std::string host, int port, std::function<bool(const std::string&)> keepChallenge = nullptr)
      : host_(std::move(host)), port_(port), keep_(std::move(keepChallenge)) {}

  TzqReply Run(const std::string& target, const std::string& user, const std::string& password) {
    TzqUrlParser parser;
    parser.ParseUrl("http://" + TzqUrlParser::HostText(host_) + ":" + std::to_string(port_) + target);
    auto link = std::make_unique<HttpLink>(host_, port_);
    std::string authorization;
    TzqReply reply;
    for (int attempt = 0; attempt < 4; ++attempt) {
      TzqStringList fields;
      if (!authorization.empty()) fields.Add("Authorization: " + authorization);
      TzqCookieList cookies;
      cookies_.SelectCookies(cookies, host_, false, port_, target);
      cookies.SetRequestCookies(fields);
      const std::string hostField = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
      reply = link->Get(hostField + ":" + std::to_string(port_), target, fields);
      TzqCookieList received;
      received.ParseResponseCookies(reply.header, host_, port_, target);
      cookies_.StoreCookies(received);
      if (reply.status != 401) return reply;
      TzqStringList challenges = Challenges(reply.header);
      bool fresh = false;
      if (!TzqHttpAuthorization::Authorize(parser, "GET", user, password, challenges, this, authorization, fresh))
        return reply;
      ++legs;
      if (fresh) link = std::make_unique<HttpLink>(host_, port_);
    }
    return reply;
  }
  int legs = 0;

private:
  TzqStringList Challenges(TzqStringList& header) const {
    TzqStringList challenges;
    TzqHeaderFieldList fields(header);
    for (int i = 0; i < fields.FieldCount(); ++i) {
      const std::string value = fields.GetFieldValueAt(i);
      if (fields.FieldKey(i) == "www-authenticate" && (!keep_ || keep_(value))) challenges.Add(value);
    }
    return challenges;
  }
  std::string host_;
  int port_;
  std::function<bool(const std::string&)> keep_;
  TzqCookieManager cookies_;
};

bool NotNegotiate(const std::string& line) { return !StartsText("negotiate", line); }
bool NotNtlm(const std::string& line) { return !StartsText("ntlm", line); }

TEST(AuthPeers, HttpbinBasicAndDigest) {
  AuthPeer peer("httpbin");
  AuthorizedGet basic("127.0.0.1", peer.Port());
  TzqReply reply = basic.Run("/basic-auth/u/p", "u", "p");
  EXPECT_EQ(reply.status, 200);
  EXPECT_NE(reply.body.find("\"authenticated\":"), std::string::npos) << reply.body;
  EXPECT_EQ(AuthorizedGet("127.0.0.1", peer.Port()).Run("/basic-auth/u/p", "u", "x").status, 401);

  for (const std::string algorithm : {"MD5", ""}) {
    const std::string target = "/digest-auth/auth/u/p" + (algorithm.empty() ? "" : "/" + algorithm);
    AuthorizedGet digest("127.0.0.1", peer.Port());
    reply = digest.Run(target, "u", "p");
    EXPECT_EQ(reply.status, 200) << target << " " << reply.body;
    EXPECT_EQ(AuthorizedGet("127.0.0.1", peer.Port()).Run(target, "u", "x").status, 401);
  }
}

TEST(AuthPeers, HttpbinDigestAlgorithmsAndAuthInt) {
  AuthPeer peer("httpbin");
  for (const std::string target : {"/digest-auth/auth/u/p/SHA-256", "/digest-auth/auth-int/u/p/MD5",
                                   "/digest-auth/auth-int/u/p/SHA-256", "/digest-auth/auth/u/p/SHA-512"}) {
    AuthorizedGet digest("127.0.0.1", peer.Port());
    const TzqReply reply = digest.Run(target, "u", "p");
    EXPECT_EQ(reply.status, 200) << target << " " << reply.body;
    EXPECT_EQ(digest.legs, 1) << target;
    EXPECT_EQ(AuthorizedGet("127.0.0.1", peer.Port()).Run(target, "u", "x").status, 401) << target;
  }
}

// The whole client: cookies kept across requests, Digest answered on its own connection.
TEST(AuthPeers, HttpbinThroughTheClient) {
  AuthPeer peer("httpbin");
  const std::string base = "http://127.0.0.1:" + std::to_string(peer.Port());
  TzqHttp client;
  client.SetTimeOut(15000);
  client.SetAllowCookies(true);
  TzqMemoryStream body;
  client.Get(base + "/cookies/set?a=1", nullptr, nullptr, &body);
  body.Clear();
  client.Get(base + "/cookies", nullptr, nullptr, &body);
  EXPECT_NE(body.DataString().find("\"a\":\"1\""), std::string::npos) << body.DataString();
  // Set without a Path at /response-headers: the default path "/" reaches /cookies.
  body.Clear();
  client.Get(base + "/response-headers?Set-Cookie=k%3Dv", nullptr, nullptr, &body);
  body.Clear();
  client.Get(base + "/cookies", nullptr, nullptr, &body);
  EXPECT_NE(body.DataString().find("\"k\":\"v\""), std::string::npos) << body.DataString();

  client.SetUserName("u");
  client.SetPassword("p");
  body.Clear();
  client.Get(base + "/digest-auth/auth-int/u/p/SHA-256", nullptr, nullptr, &body);
  EXPECT_NE(body.DataString().find("\"authenticated\":true"), std::string::npos) << body.DataString();
}

TEST(AuthPeers, ApacheDigestAndBasic) {
  AuthPeer peer("apache-auth");
  AuthorizedGet digest("127.0.0.1", peer.Port());
  TzqReply reply = digest.Run("/digest/hello.txt?x=1", "digestuser", "digestpass");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "hello world\n");
  EXPECT_EQ(digest.legs, 1);
  EXPECT_EQ(AuthorizedGet("127.0.0.1", peer.Port()).Run("/digest/hello.txt", "digestuser", "x").status, 401);
  EXPECT_EQ(AuthorizedGet("::1", peer.Port()).Run("/basic/hello.txt", "basicuser", "basicpass").body, "hello world\n");
}

class GssapiPeer : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    peer_ = new AuthPeer("apache-gssapi");
    setenv("KRB5_CONFIG", (peer_->RunDir() + "/krb5.conf").c_str(), 1);
    setenv("KRB5CCNAME", "MEMORY:zq-auth-test", 1);
  }
  static void TearDownTestSuite() {
    delete peer_;
    peer_ = nullptr;
  }
  static AuthPeer* peer_;
};
AuthPeer* GssapiPeer::peer_ = nullptr;

TEST_F(GssapiPeer, NtlmThreeLegsWithTheRealPasswordCheck) {
  AuthorizedGet good("127.0.0.1", peer_->Port(), NotNegotiate);
  const TzqReply reply = good.Run("/ntlm/hello.txt", "TESTDOM\\ntlmuser", "ntlmpass");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "hello world\n");
  EXPECT_EQ(good.legs, 2);
  AuthorizedGet bad("127.0.0.1", peer_->Port(), NotNegotiate);
  EXPECT_EQ(bad.Run("/ntlm/hello.txt", "TESTDOM\\ntlmuser", "wrong").status, 401);
}

TEST_F(GssapiPeer, NegotiateWithKerberosAndExplicitCredentials) {
  AuthorizedGet good("localhost", peer_->Port());
  const TzqReply reply = good.Run("/krb/hello.txt", "krbuser", "krbpass");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "hello world\n");
  AuthorizedGet bad("localhost", peer_->Port());
  EXPECT_THROW(bad.Run("/krb/hello.txt", "krbuser", "wrong"), EzqSSPIError);
}

TEST_F(GssapiPeer, NegotiateCarryingNtlmThroughGssapi) {
  // Without a user name the system's credentials are used: gss-ntlmssp reads them from its file.
  const std::string good = peer_->RunDir() + "/ntlm-client";
  std::ofstream(good) << "TESTDOM:ntlmuser:ntlmpass\n";
  setenv("NTLM_USER_FILE", good.c_str(), 1);
  setenv("NTLMUSER", "ntlmuser", 1);
  AuthorizedGet spnego("127.0.0.1", peer_->Port(), NotNtlm);
  const TzqReply reply = spnego.Run("/ntlm/hello.txt", "", "");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "hello world\n");
  unsetenv("NTLM_USER_FILE");
  unsetenv("NTLMUSER");
}

}  // namespace
}  // namespace zq
