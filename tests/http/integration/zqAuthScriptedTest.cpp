// Authorization through the HTTP client and the tunnel against scripted servers on loopback:
// which challenge draws which answer, and the exact digests the servers receive.

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "core/zqText.h"
#include "http/zqHeaderFieldList.h"
#include "http/zqHttp.h"
#include "http/zqHttpProxy.h"
#include "tests/http/integration/zqScriptedHttp.h"
#include "tests/http/zqHttpTestSupport.h"

namespace zq {
namespace {

using test::HexDigest;

using test::ReadExactly;
using test::ReadRequest;
using test::ReadUntilClosed;
using test::Recorder;
using test::ScriptedServer;
using test::Url;
using test::WriteAll;

// The value of a header field of a recorded request.
std::string FieldOf(const std::string& request, const std::string& name) {
  TzqStringList lines;
  lines.SetText(request.substr(0, request.find("\r\n\r\n")));
  return TzqHeaderFieldList(lines).GetFieldValue(name);
}

std::string DigestParameter(const std::string& value, const std::string& name) {
  return TzqHeaderFieldList::GetParameter(value.substr(7), name);
}

// Challenged once, then answered with 200 when an Authorization comes.
ScriptedServer ChallengingServer(Recorder& seen, const std::string& challenges) {
  return ScriptedServer(
      [&seen, challenges](int fd) {
        for (;;) {
          const std::string request = seen.Read(fd);
          if (request.find("\r\nAuthorization: ") == std::string::npos) {
            WriteAll(fd, "HTTP/1.1 401 Unauthorized\r\n" + challenges + "Content-Length: 4\r\n\r\nnope");
          } else {
            WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nyes");
            ReadUntilClosed(fd);
            return;
          }
        }
      },
      false, 2);
}

TEST(AuthScripted, AChallengeThatOnlyMentionsBasicNeverDrawsBasicCredentials) {
  Recorder seen;
  ScriptedServer server([&](int fd) {
    seen.Read(fd);
    WriteAll(fd,
             "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Bearer realm=\"basic\", error=\"invalid_token\"\r\n"
             "WWW-Authenticate: Digest realm=\"Basic\", nonce=\"n\", algorithm=UNKNOWN\r\n"
             "Content-Length: 4\r\n\r\nnope");
    ReadUntilClosed(fd);
  });
  TzqHttp client;
  client.SetTimeOut(5000);
  client.SetUserName("u");
  client.SetPassword("p");
  TzqMemoryStream body;
  try {
    client.Get(Url(server, "/"), nullptr, nullptr, &body);
    ADD_FAILURE() << "the request succeeded";
  } catch (const EzqHttpError& e) {
    EXPECT_EQ(e.ErrorCode(), 401);
  }
  client.Close();
  EXPECT_EQ(server.Errors(), "");
  ASSERT_EQ(seen.requests.size(), 1u);
  EXPECT_EQ(seen.requests[0].find("Authorization"), std::string::npos);
}

// No user name and no Kerberos ticket: the server's 401 is what the caller gets.
TEST(AuthScripted, NegotiateAndNtlmWithoutAnyCredentialsEndWithTheServersRefusal) {
  const char* previous = std::getenv("KRB5CCNAME");
  const std::string saved = previous != nullptr ? previous : "";
  setenv("KRB5CCNAME", "FILE:/nonexistent/zq-no-ticket", 1);
  ScriptedServer server([&](int fd) {
    ReadRequest(fd);
    WriteAll(fd,
             "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Negotiate\r\nWWW-Authenticate: NTLM\r\n"
             "Content-Length: 4\r\n\r\nnope");
    ReadUntilClosed(fd);
  });
  TzqHttp client;
  client.SetTimeOut(5000);
  TzqMemoryStream body;
  try {
    client.Get(Url(server, "/"), nullptr, nullptr, &body);
    ADD_FAILURE() << "the request succeeded";
  } catch (const EzqHttpError& e) {
    EXPECT_EQ(e.ErrorCode(), 401);
    EXPECT_EQ(e.ResponseText(), "nope\r\n");
  }
  client.Close();
  if (previous != nullptr)
    setenv("KRB5CCNAME", saved.c_str(), 1);
  else
    unsetenv("KRB5CCNAME");
  EXPECT_EQ(server.Errors(), "");
}

TEST(AuthScripted, BasicAnswersItsOwnChallengeBesideABearerOne) {
  Recorder seen;
  ScriptedServer server = ChallengingServer(seen, "WWW-Authenticate: Bearer realm=\"api\", Basic realm=\"r\"\r\n");
  TzqHttp client;
  client.SetTimeOut(5000);
  client.SetUserName("u");
  client.SetPassword("p");
  TzqMemoryStream body;
  client.Get(Url(server, "/"), nullptr, nullptr, &body);
  client.Close();
  EXPECT_EQ(body.DataString(), "yes");
  ASSERT_EQ(seen.requests.size(), 2u);
  EXPECT_EQ(FieldOf(seen.requests[1], "authorization"), "Basic dTpw");
}

// AuthSchemes limits what answers: Basic beside a stronger Digest, and nothing when no offered
// scheme is allowed.
TEST(AuthScripted, AuthSchemesChooseAmongTheOfferedChallenges) {
  const std::string offered =
      "WWW-Authenticate: Digest realm=\"r\", nonce=\"n\", qop=\"auth\"\r\n"
      "WWW-Authenticate: Basic realm=\"r\"\r\n";
  // The requests a client allowed only schemes sends, and the status it ends with.
  const auto askWith = [&](const char* schemes, Recorder& seen) {
    ScriptedServer server = ChallengingServer(seen, offered);
    TzqHttp client;
    client.SetTimeOut(5000);
    client.SetUserName("u");
    client.SetPassword("p");
    client.SetAuthSchemes(schemes);
    TzqMemoryStream body;
    int status = 200;
    try {
      client.Get(Url(server, "/"), nullptr, nullptr, &body);
    } catch (const EzqHttpError& e) {
      status = e.ErrorCode();
    }
    client.Close();
    return status;
  };
  Recorder basic;
  EXPECT_EQ(askWith(" basic ,NTLM", basic), 200);
  ASSERT_EQ(basic.requests.size(), 2u);
  EXPECT_EQ(FieldOf(basic.requests[1], "authorization"), "Basic dTpw");
  Recorder none;
  EXPECT_EQ(askWith("Negotiate", none), 401);
  EXPECT_EQ(none.requests.size(), 1u);
}

// The body was sent once already when the challenge comes: the answer still hashes all of it.
TEST(AuthScripted, AuthIntHashesTheWholeBodyOfAPut) {
  Recorder seen;
  ScriptedServer server =
      ChallengingServer(seen,
                        "WWW-Authenticate: Digest realm=\"r\", nonce=\"n\", qop=\"auth-int\", algorithm=SHA-256\r\n"
                        "WWW-Authenticate: Digest realm=\"r\", nonce=\"n\", qop=\"auth-int\", algorithm=MD5\r\n");
  TzqHttp client;
  client.SetTimeOut(5000);
  client.SetUserName("u");
  client.SetPassword("p");
  TzqMemoryStream upload;
  upload.WriteBuffer("payload", 7);
  upload.SetPosition(0);
  TzqMemoryStream body;
  client.Put(Url(server, "/up?x=1"), "text/plain", &upload, nullptr, &body);
  client.Close();
  EXPECT_EQ(body.DataString(), "yes");
  EXPECT_EQ(server.Errors(), "");
  ASSERT_EQ(seen.requests.size(), 2u);
  EXPECT_NE(seen.requests[1].find("\r\n\r\npayload"), std::string::npos);
  const std::string answer = FieldOf(seen.requests[1], "authorization");
  auto h = [](const std::string& text) { return HexDigest(EVP_sha256(), text); };
  const std::string ha2 = h("PUT:/up?x=1:" + h("payload"));
  EXPECT_EQ(DigestParameter(answer, "response"),
            h(h("u:r:p") + ":n:00000001:" + DigestParameter(answer, "cnonce") + ":auth-int:" + ha2))
      << answer;
}

TEST(AuthScripted, TunnelDigestUsesTheTargetAuthorityAsItsUri) {
  Recorder seen;
  ScriptedServer server([&](int fd) {
    seen.Read(fd);
    WriteAll(fd,
             "HTTP/1.1 407 Proxy Authentication Required\r\n"
             "Proxy-Authenticate: Digest realm=\"p\", nonce=\"pn\"\r\nContent-Length: 0\r\n\r\n");
    seen.Read(fd);
    WriteAll(fd, "HTTP/1.1 200 Connection established\r\n\r\n");
    ReadUntilClosed(fd);
  });
  TzqHttpProxy proxy;
  proxy.SetServer(server.Address());
  proxy.SetPort(server.Port());
  proxy.SetTimeOut(5000);
  proxy.SetUserName("user");
  proxy.SetPassword("pass");
  proxy.SetRequestVersion(hvHttp1_1);
  proxy.OpenTunnel("far.example", 443);
  proxy.Close();
  EXPECT_EQ(server.Errors(), "");
  ASSERT_EQ(seen.requests.size(), 2u);
  const std::string answer = FieldOf(seen.requests[1], "proxy-authorization");
  EXPECT_EQ(DigestParameter(answer, "uri"), "far.example:443") << answer;
  auto h = [](const std::string& text) { return HexDigest(EVP_md5(), text); };
  EXPECT_EQ(DigestParameter(answer, "response"), h(h("user:p:pass") + ":pn:" + h("CONNECT:far.example:443")));
}

}  // namespace
}  // namespace zq
