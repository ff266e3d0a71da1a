// Methods other than the five, sent through the client's exchange to scripted servers: the
// exact request, redirects by the method's kind, challenges and cookies, and refused tokens.

#include <gtest/gtest.h>

#include <string>

#include "core/zqText.h"
#include "http/zqHttp.h"
#include "tests/http/integration/zqScriptedHttp.h"

namespace zq {
namespace {

using test::ReadUntilClosed;
using test::Recorder;
using test::ScriptedServer;
using test::Url;
using test::WriteAll;

class HttpCustomMethod : public ::testing::Test {
protected:
  void SetUp() override { client.SetTimeOut(5000); }
  TzqHttp client;
};

// A stream body goes from its position, its length counted (not the request's items'), typed
// by the request; a 307 sends it again as it was, a 303 turns the method into a GET without it.
TEST_F(HttpCustomMethod, StreamBodyAndRedirectsByKind) {
  Recorder seen;
  ScriptedServer server([&](int fd) {
    seen.Read(fd);
    WriteAll(fd, "HTTP/1.1 307 Temporary Redirect\r\nLocation: /again\r\nContent-Length: 0\r\n\r\n");
    seen.Read(fd);
    WriteAll(fd, "HTTP/1.1 303 See Other\r\nLocation: /result\r\nContent-Length: 0\r\n\r\n");
    seen.Read(fd);
    WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\npatched");
    ReadUntilClosed(fd);
  });
  TzqHttpRequest request;
  request.AddText("items the stream stands in for");
  request.Header().SetContentType("application/json");
  TzqMemoryStream body;
  body.WriteString("xx{\"a\":1}");
  body.SetPosition(2);
  TzqMemoryStream answer;
  client.Custom("PATCH", Url(server, "/item"), &request, &body, nullptr, &answer);
  EXPECT_EQ(answer.DataString(), "patched");
  ASSERT_EQ(seen.requests.size(), 3u);
  EXPECT_EQ(seen.requests[0], Format("PATCH /item HTTP/1.1\r\n"
                                     "Accept: */*\r\n"
                                     "Content-Type: application/json\r\n"
                                     "Accept-Encoding: gzip, deflate\r\n"
                                     "Host: 127.0.0.1:%d\r\n"
                                     "User-Agent: Mozilla/4.0 (compatible; Quorvex)\r\n"
                                     "Content-Length: 7\r\n"
                                     "Connection: Keep-Alive\r\n"
                                     "\r\n"
                                     "{\"a\":1}",
                                     server.Port()));
  EXPECT_TRUE(StartsText("PATCH /again HTTP/1.1\r\n", seen.requests[1]));
  EXPECT_NE(seen.requests[1].find("\r\n\r\n{\"a\":1}"), std::string::npos) << seen.requests[1];
  EXPECT_TRUE(StartsText("GET /result HTTP/1.1\r\n", seen.requests[2]));
  EXPECT_EQ(seen.requests[2].find("Content-"), std::string::npos) << seen.requests[2];
  client.Close();
}

// The request's items render the body when no stream is given; a challenge is answered for the
// method in use, and a cookie set on the way goes back.
TEST_F(HttpCustomMethod, RenderedBodyChallengesAndCookies) {
  Recorder seen;
  ScriptedServer server(
      [&](int fd) {
        const std::string request = seen.Read(fd);
        if (request.find("Authorization: Basic") == std::string::npos)
          WriteAll(fd,
                   "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"r\"\r\n"
                   "Set-Cookie: session=s1; Path=/\r\nContent-Length: 0\r\n\r\n");
        else
          WriteAll(fd, "HTTP/1.1 207 Multi-Status\r\nContent-Length: 5\r\n\r\nfound");
        ReadUntilClosed(fd);
      },
      false, 2);
  client.SetUserName("u");
  client.SetPassword("p");
  TzqHttpRequest request;
  request.Header().SetContentType("text/xml");
  request.AddText("<propfind/>");
  TzqMemoryStream answer;
  client.Custom("PROPFIND", Url(server, "/dav/"), &request, nullptr, nullptr, &answer);
  EXPECT_EQ(answer.DataString(), "found");
  EXPECT_EQ(client.StatusCode(), 207);
  ASSERT_EQ(seen.requests.size(), 2u);
  for (const std::string& sent : seen.requests) {
    EXPECT_TRUE(StartsText("PROPFIND /dav/ HTTP/1.1\r\n", sent)) << sent;
    EXPECT_NE(sent.find("\r\n\r\n<propfind/>"), std::string::npos) << sent;
  }
  EXPECT_NE(seen.requests[1].find("\r\nAuthorization: Basic dTpw\r\n"), std::string::npos) << seen.requests[1];
  EXPECT_NE(seen.requests[1].find("\r\nCookie: session=s1\r\n"), std::string::npos) << seen.requests[1];
  client.Close();
}

// Nothing goes out for a method that is no token, nor for CONNECT; the next good one is the
// first request the server sees.
TEST_F(HttpCustomMethod, MethodsThatAreNoTokenAreRefusedBeforeSending) {
  Recorder seen;
  ScriptedServer server([&](int fd) {
    seen.Read(fd);
    WriteAll(fd, "HTTP/1.1 200 OK\r\nAllow: GET\r\nContent-Length: 0\r\n\r\n");
    ReadUntilClosed(fd);
  });
  for (const std::string method : {"", "GET /x", "PO\r\nST", "DEL\xC3\x89TE", "A(B)", "GET\t", "CONNECT", "connect"}) {
    try {
      client.Custom(method, Url(server, "/"), nullptr, nullptr, nullptr, nullptr);
      ADD_FAILURE() << "sent: " << method;
    } catch (const EzqHttpError& e) {
      EXPECT_EQ(e.ErrorCode(), 0);
      EXPECT_EQ(std::string(e.what()).find_first_of("\r\n"), std::string::npos) << e.what();
    }
  }
  EXPECT_FALSE(client.Active());
  TzqStringList header;
  client.Custom("OPTIONS", Url(server, "/"), nullptr, nullptr, &header, nullptr);
  EXPECT_NE(header.Text().find("\r\nAllow: GET\r\n"), std::string::npos) << header.Text();
  ASSERT_EQ(seen.requests.size(), 1u);
  EXPECT_TRUE(StartsText("OPTIONS / HTTP/1.1\r\n", seen.requests[0]));
  EXPECT_EQ(seen.requests[0].find("Content-Length"), std::string::npos) << seen.requests[0];
  client.Close();
}

}  // namespace
}  // namespace zq
