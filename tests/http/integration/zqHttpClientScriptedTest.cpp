// The HTTP client against scripted servers on loopback: the exact requests it sends, and how
// it takes the responses (redirects, challenges, framing, keep-alive, broken servers).

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "core/zqText.h"
#include "http/zqHttp.h"
#include "tests/http/integration/zqScriptedHttp.h"
#include "tests/net/integration/zqRecordingStream.h"

namespace zq {
namespace {

using test::ReadExactly;
using test::ReadHeader;
using test::ReadRequest;
using test::ReadUntilClosed;
using test::Recorder;
using test::ScriptedServer;
using test::Url;
using test::WriteAll;

class HttpClientScripted : public ::testing::Test {
protected:
  void SetUp() override { client.SetTimeOut(5000); }

  std::string Body(const std::string& url) {
    TzqMemoryStream body;
    client.Get(url, nullptr, nullptr, &body);
    return body.DataString();
  }

  TzqHttp client;
};

TEST_F(HttpClientScripted, FormPostSendsTheExactHeaderAndBody) {
  Recorder seen;
  ScriptedServer server([&](int fd) {
    seen.Read(fd);
    WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 7\r\nContent-Type: text/plain\r\n\r\nthanks!");
    ReadUntilClosed(fd);
  });
  TzqHttpRequest request;
  request.AddFormField("Name", "John Doe");
  request.AddFormField("Birthdate", "10/10/77");
  request.AddFormField("Account", "123456");
  TzqStringList header;
  TzqMemoryStream answer;
  client.Post(Url(server, "/products/quorvex/demos/serverformpost.asp"), &request, &header, &answer);
  EXPECT_EQ(answer.DataString(), "thanks!");
  EXPECT_EQ(client.StatusCode(), 200);
  EXPECT_EQ(header[0], "HTTP/1.1 200 OK");
  ASSERT_EQ(seen.requests.size(), 1u);
  EXPECT_EQ(seen.requests[0], Format("POST /products/quorvex/demos/serverformpost.asp HTTP/1.1\r\n"
                                     "Accept: */*\r\n"
                                     "Content-Length: 51\r\n"
                                     "Content-Type: application/x-www-form-urlencoded\r\n"
                                     "Accept-Encoding: gzip, deflate\r\n"
                                     "Host: 127.0.0.1:%d\r\n"
                                     "User-Agent: Mozilla/4.0 (compatible; Quorvex)\r\n"
                                     "Connection: Keep-Alive\r\n"
                                     "\r\n"
                                     "Name=John+Doe&Birthdate=10%%2F10%%2F77&Account=123456",
                                     server.Port()));
  EXPECT_TRUE(client.Active());  // HTTP/1.1 without "close" keeps it
  client.Close();
}

// A client whose socket calls are recorded.
class RecordedHttp : public TzqHttp {
public:
  std::unique_ptr<TzqNetworkStream> CreateNetworkStream() override {
    auto stream = std::make_unique<test::TzqRecordingStream>();
    calls = stream.get();
    return stream;
  }
  test::TzqRecordingStream* calls = nullptr;
};

TEST(HttpClientSystemCalls, SmallBodyLeavesWithTheHeaderAndTheAnswerTakesOneRecv) {
  Recorder seen;
  ScriptedServer server([&](int fd) {
    for (int i = 0; i < 2; ++i) {
      seen.Read(fd);
      WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    }
    ReadUntilClosed(fd);
  });
  RecordedHttp client;
  TzqMemoryStream body;
  body.WriteBytes(TzqByteArray(1000, 'p'));
  TzqMemoryStream answer;
  std::vector<int64_t> progress;
  client.OnSendProgress = [&](TzqObject*, int64_t done, int64_t total) {
    progress.push_back(done);
    EXPECT_EQ(total, 1000);
  };
  for (int i = 0; i < 2; ++i) {
    body.SetPosition(0);
    if (client.calls != nullptr) client.calls->Forget();
    client.Put(Url(server, "/small"), "text/plain", &body, nullptr, &answer);
    ASSERT_NE(client.calls, nullptr);
    ASSERT_EQ(client.calls->sent.size(), 1u) << "request " << i;
    EXPECT_EQ(size_t(client.calls->sent[0]), seen.requests[size_t(i)].size());
    EXPECT_EQ(client.calls->asked.size(), 1u) << "request " << i;
    EXPECT_EQ(client.calls->WouldBlocks(), 0);
  }
  EXPECT_EQ(seen.requests[1].substr(seen.requests[1].size() - 1000), std::string(1000, 'p'));
  EXPECT_EQ(progress, (std::vector<int64_t>{1000, 1000}));
  EXPECT_EQ(answer.DataString(), "okok");
  client.Close();
}

TEST(HttpClientSystemCalls, LargeBodiesMoveInLargePieces) {
  const size_t size = 3 << 20;
  ScriptedServer server([&](int fd) {
    ReadRequest(fd);
    WriteAll(fd, Format("HTTP/1.1 200 OK\r\nContent-Length: %zu\r\n\r\n", size) + std::string(size, 'd'));
    ReadUntilClosed(fd);
  });
  RecordedHttp client;
  TzqMemoryStream body;
  body.WriteBytes(TzqByteArray(size, 'u'));
  body.SetPosition(0);
  TzqMemoryStream answer;
  client.Put(Url(server, "/large"), "application/octet-stream", &body, nullptr, &answer);
  EXPECT_EQ(answer.Size(), int64_t(size));
  EXPECT_GT(*std::max_element(client.calls->sent.begin(), client.calls->sent.end()), client.BatchSize());
  // The header's reads stay in BatchSize pieces; the body's are large.
  EXPECT_EQ(client.calls->asked.front(), client.BatchSize());
  EXPECT_EQ(*std::max_element(client.calls->asked.begin(), client.calls->asked.end()), kLargeBatchSize);
  client.Close();
}

// Through a plain HTTP proxy (the scripted server) any host and port can be asked for.
TEST_F(HttpClientScripted, ThroughAProxyTheTargetIsTheFullUrlAndHostDropsPorts80And443) {
  Recorder seen;
  ScriptedServer proxy(
      [&](int fd) {
        try {
          for (;;) {
            seen.Read(fd);
            WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
          }
        } catch (const std::exception&) {  // the client moved on to another connection
        }
      },
      false, 3);
  client.ProxySettings().SetServer("127.0.0.1");
  client.ProxySettings().SetPort(proxy.Port());
  for (const char* url : {"http://a.test/x?q=1", "http://a.test:443/", "http://a.test:8080/"})
    EXPECT_EQ(Body(url), "ok");
  ASSERT_EQ(seen.requests.size(), 3u);
  EXPECT_EQ(seen.requests[0],
            "GET http://a.test/x?q=1 HTTP/1.1\r\nAccept: */*\r\nAccept-Encoding: gzip, deflate\r\nHost: a.test\r\n"
            "User-Agent: Mozilla/4.0 (compatible; Quorvex)\r\nProxy-Connection: Keep-Alive\r\n\r\n");
  EXPECT_NE(seen.requests[1].find("\r\nHost: a.test\r\n"), std::string::npos) << seen.requests[1];
  EXPECT_NE(seen.requests[2].find("\r\nHost: a.test:8080\r\n"), std::string::npos) << seen.requests[2];
  client.Close();
}

// A 302 turns a POST into a GET without body or its fields; a 307 repeats the POST as it was.
TEST_F(HttpClientScripted, RedirectsAfterAPost) {
  Recorder seen;
  ScriptedServer server([&](int fd) {
    seen.Read(fd);
    WriteAll(fd, "HTTP/1.1 302 Found\r\nLocation: /second\r\nContent-Length: 5\r\n\r\nmoved");
    seen.Read(fd);
    WriteAll(fd, "HTTP/1.1 307 Temporary Redirect\r\nLocation: third\r\nContent-Length: 0\r\n\r\n");
    seen.Read(fd);
    WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\ndone");
  });
  TzqHttpRequest request;
  request.AddFormField("a", "1");
  TzqMemoryStream answer;
  std::vector<int> redirects;
  client.OnRedirect = [&](TzqObject*, TzqStringList&, int32_t status, TzqHttpResponseHeader&, TzqStringList& text,
                          std::string&, bool&, bool&) {
    redirects.push_back(status);
    EXPECT_EQ(text.Text(), status == 302 ? "moved\r\n" : "");
  };
  client.Post(Url(server, "/first"), &request, &answer);
  EXPECT_EQ(answer.DataString(), "done");
  EXPECT_EQ(redirects, (std::vector<int>{302, 307}));
  ASSERT_EQ(seen.requests.size(), 3u);
  EXPECT_TRUE(StartsText("POST /first HTTP/1.1\r\n", seen.requests[0]));
  EXPECT_NE(seen.requests[0].find("\r\n\r\na=1"), std::string::npos);
  EXPECT_TRUE(StartsText("GET /second HTTP/1.1\r\n", seen.requests[1]));
  EXPECT_EQ(seen.requests[1].find("Content-"), std::string::npos) << seen.requests[1];
  // "third" is relative to /second; the GET stays a GET on a 307
  EXPECT_TRUE(StartsText("GET /third HTTP/1.1\r\n", seen.requests[2])) << seen.requests[2];

  Recorder again;
  ScriptedServer temporary([&](int fd) {
    again.Read(fd);
    WriteAll(fd, "HTTP/1.1 307 Temporary Redirect\r\nLocation: /other\r\nContent-Length: 0\r\n\r\n");
    again.Read(fd);
    WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  });
  client.Post(Url(temporary, "/form"), &request, &answer);
  ASSERT_EQ(again.requests.size(), 2u);
  EXPECT_TRUE(StartsText("POST /other HTTP/1.1\r\n", again.requests[1]));
  EXPECT_NE(again.requests[1].find("Content-Length: 3\r\n"), std::string::npos);
  EXPECT_NE(again.requests[1].find("\r\n\r\na=1"), std::string::npos) << again.requests[1];
}

TEST_F(HttpClientScripted, RedirectLimit) {
  std::atomic<int> answered{0};
  ScriptedServer server(
      [&](int fd) {
        for (;;) {
          ReadHeader(fd);
          WriteAll(fd, Format("HTTP/1.1 301 Moved\r\nLocation: /r%d\r\nContent-Length: 0\r\n\r\n", ++answered));
          if (answered == 20) {
            ReadHeader(fd);
            WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
            return;
          }
        }
      },
      false, 2);
  try {
    Body(Url(server, "/"));
    ADD_FAILURE() << "the sixteenth redirect was followed";
  } catch (const EzqHttpError& e) {
    EXPECT_EQ(e.ErrorCode(), 301);
    EXPECT_EQ(std::string(e.what()), "HTTP/1.1 301 Moved");
  }
  EXPECT_EQ(answered, 16);
  answered = 0;
  client.Close();
  client.SetMaxRedirects(0);
  EXPECT_EQ(Body(Url(server, "/")), "ok");
  EXPECT_EQ(answered, 20);
}

// An Authorization line set before goes on a redirect to another directory, stays within one.
TEST_F(HttpClientScripted, RedirectsKeepAuthorizationOnlyWithinTheDirectory) {
  Recorder seen;
  ScriptedServer server([&](int fd) {
    seen.Read(fd);
    WriteAll(fd, "HTTP/1.1 302 Found\r\nLocation: /a/b/next\r\nContent-Length: 0\r\n\r\n");
    seen.Read(fd);
    WriteAll(fd, "HTTP/1.1 302 Found\r\nLocation: /elsewhere/x\r\nContent-Length: 0\r\n\r\n");
    seen.Read(fd);
    WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  });
  client.SetAuthorizationType(atBasic);
  client.SetUserName("u");
  client.SetPassword("p");
  Body(Url(server, "/a/b/start"));
  ASSERT_EQ(seen.requests.size(), 3u);
  EXPECT_NE(seen.requests[0].find("Authorization: Basic dTpw\r\n"), std::string::npos);
  EXPECT_NE(seen.requests[1].find("Authorization: Basic dTpw\r\n"), std::string::npos);
  EXPECT_EQ(seen.requests[2].find("Authorization:"), std::string::npos) << seen.requests[2];
}

// Basic asks for a new connection for its answer.
TEST_F(HttpClientScripted, ChallengesAreAnsweredUnlessAFixedAuthorizationIsSet) {
  Recorder seen;
  ScriptedServer server(
      [&](int fd) {
        const std::string request = seen.Read(fd);
        if (request.find("Authorization: Basic") == std::string::npos)
          WriteAll(fd,
                   "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"r\"\r\nContent-Length: 4\r\n\r\nnope");
        else
          WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nyes");
        ReadUntilClosed(fd);
      },
      false, 3);
  client.SetUserName("u");
  client.SetPassword("p");
  EXPECT_EQ(Body(Url(server, "/")), "yes");
  ASSERT_EQ(seen.requests.size(), 2u);
  EXPECT_EQ(seen.requests[0].find("Authorization"), std::string::npos);
  EXPECT_NE(seen.requests[1].find("\r\nAuthorization: Basic dTpw\r\n"), std::string::npos);
  EXPECT_EQ(server.Accepted(), 2);

  client.Close();
  client.SetAuthorization("Bearer fixed");
  try {
    Body(Url(server, "/"));
    ADD_FAILURE() << "a 401 with a fixed Authorization was retried";
  } catch (const EzqHttpError& e) {
    EXPECT_EQ(e.ErrorCode(), 401);
    EXPECT_EQ(e.ResponseText(), "nope\r\n");
  }
  ASSERT_EQ(seen.requests.size(), 3u);
  EXPECT_NE(seen.requests[2].find("\r\nAuthorization: Bearer fixed\r\n"), std::string::npos);
  client.Close();
}

TEST_F(HttpClientScripted, CompressionCachingAndHttp10) {
  Recorder seen;
  ScriptedServer server(
      [&](int fd) {
        seen.Read(fd);
        WriteAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
      },
      false, 2);
  client.SetAllowCompression(false);
  client.SetAllowCaching(false);
  client.SetHttpVersion(hvHttp1_0);
  EXPECT_EQ(Body(Url(server, "/")), "ok");
  EXPECT_FALSE(client.Active());  // HTTP/1.0 without Keep-Alive closes
  client.SetHttpVersion(hvHttp1_1);
  EXPECT_EQ(Body(Url(server, "/")), "ok");
  ASSERT_EQ(seen.requests.size(), 2u);
  EXPECT_EQ(seen.requests[0],
            Format("GET / HTTP/1.0\r\nAccept: */*\r\nHost: 127.0.0.1:%d\r\nUser-Agent: Mozilla/4.0 (compatible; "
                   "Quorvex)\r\nPragma: no-cache\r\nConnection: Keep-Alive\r\n\r\n",
                   server.Port()));
  EXPECT_NE(seen.requests[1].find("\r\nCache-Control: no-cache\r\n"), std::string::npos);
  EXPECT_EQ(seen.requests[1].find("Accept-Encoding"), std::string::npos);
}

// Large cookies and policies make headers of many batches.
TEST_F(HttpClientScripted, AHeaderOfManyBatches) {
  const std::string cookie = "big=" + std::string(4000, 'c');
  ScriptedServer server([&](int fd) {
    ReadRequest(fd);
    WriteAll(fd, "HTTP/1.1 200 OK\r\nSet-Cookie: " + cookie + "\r\nContent-Length: 4\r\n\r\nbody");
  });
  client.SetBatchSize(1000);
  EXPECT_EQ(Body(Url(server, "/")), "body");
  ASSERT_EQ(client.ResponseCookies().Count(), 1);
  EXPECT_EQ(client.ResponseCookies().Items(0)->Value.size(), 4000u);
}

TEST_F(HttpClientScripted, CookiesGoBackToTheirServer) {
  Recorder seen;
  ScriptedServer server([&](int fd) {
    seen.Read(fd);
    WriteAll(fd, "HTTP/1.1 200 OK\r\nSet-Cookie: session=abc; Path=/\r\nContent-Length: 0\r\n\r\n");
    seen.Read(fd);
    WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  });
  Body(Url(server, "/login"));
  EXPECT_EQ(client.ResponseCookies().Count(), 1);
  Body(Url(server, "/page"));
  ASSERT_EQ(seen.requests.size(), 2u);
  EXPECT_NE(seen.requests[1].find("\r\nCookie: session=abc\r\n"), std::string::npos) << seen.requests[1];
}

TEST_F(HttpClientScripted, ACancelledHeaderEndsTheCallAndTheConnection) {
  ScriptedServer server([&](int fd) {
    ReadRequest(fd);
    WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\npartial");
    ReadUntilClosed(fd);
  });
  client.OnReceiveHeader = [](TzqObject*, const std::string&, const std::string&, TzqStringList&, TzqCookieList&,
                              bool& cancel) { cancel = true; };
  EXPECT_EQ(Body(Url(server, "/")), "");
  EXPECT_FALSE(client.Active());
}

// What each operation sends: GET with the request's text as query or, for JSON, as a body;
// PUT of a stream without the default Accept; DELETE; Expect; progress of a sent body.
TEST_F(HttpClientScripted, WhatEachOperationSends) {
  Recorder seen;
  ScriptedServer server([&](int fd) {
    try {
      for (;;) {
        seen.Read(fd);
        WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
      }
    } catch (const std::exception&) {
    }
  });
  TzqHttpRequest query;
  query.AddFormField("q", "a b");
  client.Get(Url(server, "/search?x=1"), &query, nullptr, nullptr);

  TzqHttpRequest json;
  json.AddText("{\"k\":1}");
  json.Header().SetContentType("application/json");
  client.Get(Url(server, "/api"), &json, nullptr, nullptr);

  client.SetExpect100Continue(true);
  std::vector<int64_t> sent;
  client.OnSendProgress = [&](TzqObject*, int64_t done, int64_t total) {
    sent.push_back(done);
    EXPECT_EQ(total, 5);
  };
  TzqMemoryStream data(std::string("12345"));
  client.Put(Url(server, "/file"), "text/plain", &data, nullptr, nullptr);
  client.SetExpect100Continue(false);
  client.Delete(Url(server, "/file"), nullptr, nullptr);
  client.Close();

  ASSERT_EQ(seen.requests.size(), 4u);
  EXPECT_TRUE(StartsText("GET /search?x=1?q=a+b HTTP/1.1\r\n", seen.requests[0])) << seen.requests[0];
  EXPECT_TRUE(StartsText("GET /api HTTP/1.1\r\n", seen.requests[1]));
  EXPECT_NE(seen.requests[1].find("Content-Type: application/json\r\n"), std::string::npos) << seen.requests[1];
  EXPECT_NE(seen.requests[1].find("\r\n\r\n{\"k\":1}"), std::string::npos);
  EXPECT_TRUE(StartsText("PUT /file HTTP/1.1\r\nContent-Type: text/plain\r\n", seen.requests[2])) << seen.requests[2];
  EXPECT_EQ(seen.requests[2].find("Accept:"), std::string::npos);
  EXPECT_NE(seen.requests[2].find("\r\nContent-Length: 5\r\n"), std::string::npos);
  EXPECT_NE(seen.requests[2].find("\r\nExpect: 100-continue\r\n\r\n12345"), std::string::npos);
  EXPECT_FALSE(sent.empty());
  EXPECT_EQ(sent.back(), 5);
  EXPECT_TRUE(StartsText("DELETE /file HTTP/1.1\r\n", seen.requests[3]));
  EXPECT_EQ(seen.requests[3].find("Expect"), std::string::npos);
}

// A plain HTTP proxy's 407 is answered with Proxy-Authorization; a network-path Location takes
// the current scheme; a handler that handles the redirect decides alone.
TEST_F(HttpClientScripted, ProxyChallengeAndRedirectResolution) {
  Recorder seen;
  ScriptedServer proxy(
      [&](int fd) {
        const std::string request = seen.Read(fd);
        if (request.find("Proxy-Authorization: Basic cHU6cHA=") == std::string::npos) {
          WriteAll(fd,
                   "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"p\"\r\n"
                   "Content-Length: 0\r\n\r\n");
        } else if (request.find(" http://a.test/start ") != std::string::npos) {
          WriteAll(fd, "HTTP/1.1 301 Moved\r\nLocation: //b.test/next\r\nContent-Length: 0\r\n\r\n");
        } else {
          WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\ndone");
        }
        ReadUntilClosed(fd);
      },
      false, 4);
  client.ProxySettings().SetServer("127.0.0.1");
  client.ProxySettings().SetPort(proxy.Port());
  client.ProxySettings().SetUserName("pu");
  client.ProxySettings().SetPassword("pp");
  EXPECT_EQ(Body("http://a.test/start"), "done");
  ASSERT_EQ(seen.requests.size(), 3u);
  EXPECT_TRUE(StartsText("GET http://b.test/next HTTP/1.1\r\n", seen.requests[2])) << seen.requests[2];
  client.Close();

  ScriptedServer server([&](int fd) {
    ReadRequest(fd);
    WriteAll(fd, "HTTP/1.1 302 Found\r\nLocation: /never\r\nContent-Length: 4\r\n\r\ngone");
    ReadUntilClosed(fd);
  });
  client.ProxySettings().SetServer("");
  client.OnRedirect = [](TzqObject*, TzqStringList&, int32_t, TzqHttpResponseHeader&, TzqStringList&, std::string&,
                         bool& canRedirect, bool& handled) {
    canRedirect = false;
    handled = true;
  };
  client.SetSilentHTTP(true);
  EXPECT_EQ(Body(Url(server, "/")), "gone");  // a refused redirect delivers its body
  EXPECT_EQ(client.StatusCode(), 302);
  client.Close();
}

// An IPv6 literal is connected to as an address and written back in brackets; the fragment
// never leaves the client; a query-only Location keeps the path.
TEST_F(HttpClientScripted, Ipv6LiteralFragmentAndQueryOnlyRedirect) {
  Recorder seen;
  ScriptedServer server(
      [&](int fd) {
        seen.Read(fd);
        WriteAll(fd, "HTTP/1.1 302 Found\r\nLocation: ?page=2\r\nContent-Length: 0\r\n\r\n");
        seen.Read(fd);
        WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        ReadUntilClosed(fd);
      },
      true);
  EXPECT_EQ(Body(Format("http://[::1]:%d/list/all?page=1#top", server.Port())), "ok");
  ASSERT_EQ(seen.requests.size(), 2u);
  EXPECT_TRUE(StartsText("GET /list/all?page=1 HTTP/1.1\r\n", seen.requests[0])) << seen.requests[0];
  EXPECT_NE(seen.requests[0].find(Format("\r\nHost: [::1]:%d\r\n", server.Port())), std::string::npos);
  EXPECT_TRUE(StartsText("GET /list/all?page=2 HTTP/1.1\r\n", seen.requests[1])) << seen.requests[1];
  EXPECT_EQ(server.Errors(), "");
  client.Close();
}

TEST_F(HttpClientScripted, Ipv6TargetThroughAProxyIsBracketed) {
  Recorder seen;
  ScriptedServer proxy([&](int fd) {
    seen.Read(fd);
    WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    ReadUntilClosed(fd);
  });
  client.ProxySettings().SetServer("127.0.0.1");
  client.ProxySettings().SetPort(proxy.Port());
  EXPECT_EQ(Body("http://[2001:db8::1]:8080/p#f"), "ok");
  ASSERT_EQ(seen.requests.size(), 1u);
  EXPECT_TRUE(StartsText("GET http://[2001:db8::1]:8080/p HTTP/1.1\r\n", seen.requests[0])) << seen.requests[0];
  EXPECT_NE(seen.requests[0].find("\r\nHost: [2001:db8::1]:8080\r\n"), std::string::npos) << seen.requests[0];
  client.Close();
}

// Only http and https are followed: another scheme would get HTTP sent to its own port.
TEST_F(HttpClientScripted, RedirectsToOtherSchemesAreNotFollowed) {
  for (const char* location : {"ftp://127.0.0.1/f", "mailto:joe@127.0.0.1", "urn:isbn:0451450523"}) {
    SCOPED_TRACE(location);
    Recorder seen;
    ScriptedServer server([&](int fd) {
      seen.Read(fd);
      WriteAll(fd, Format("HTTP/1.1 302 Found\r\nLocation: %s\r\nContent-Length: 4\r\n\r\nmove", location));
      ReadUntilClosed(fd);
    });
    client.SetSilentHTTP(true);
    EXPECT_EQ(Body(Url(server, "/")), "move");
    EXPECT_EQ(client.StatusCode(), 302);
    EXPECT_EQ(seen.requests.size(), 1u);
    client.Close();
  }
}

TEST_F(HttpClientScripted, BadPortsAndBracketsFailBeforeAnyConnection) {
  EXPECT_THROW(Body("http://127.0.0.1:0/"), EzqUrlError);
  EXPECT_THROW(Body("http://127.0.0.1:65617/"), EzqUrlError);  // 65617 would wrap to 81
  EXPECT_THROW(Body("http://[::1/"), EzqUrlError);
  EXPECT_FALSE(client.Active());
}

}  // namespace
}  // namespace zq
