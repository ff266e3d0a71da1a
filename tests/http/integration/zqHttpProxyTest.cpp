// The CONNECT tunnel against scripted proxies on loopback: the exact requests of each attempt,
// challenges, keep-alive rules, interim and redirect statuses, dropped connections and the
// bounded response header.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "http/zqHttpProxy.h"
#include "net/zqTcpClient.h"
#include "tests/http/integration/zqTunnelSupport.h"
#include "tests/support/zqLoopback.h"

namespace zq {
namespace {

using test::ReadExactly;
using test::ReadUntilClosed;
using test::ScriptedServer;
using test::WriteAll;

const std::string kUserAgent = "User-Agent: Mozilla/4.0 (compatible; Quorvex)\r\n";
const std::string kKeepAlive = "Proxy-Connection: Keep-Alive\r\nConnection: Keep-Alive\r\n";
const std::string kBasicChallenge =
    "HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"p\"\r\n"
    "Proxy-Connection: Keep-Alive\r\nContent-Length: 6\r\n\r\ndenied";

std::string ReadRequest(int fd) {
  std::string request;
  while (request.find("\r\n\r\n") == std::string::npos) request += ReadExactly(fd, 1);
  return request;
}

std::string FirstConnect(const std::string& version = "HTTP/1.0") {
  return "CONNECT far.example:443 " + version + "\r\nHost: far.example:443\r\n" + kUserAgent + kKeepAlive + "\r\n";
}

// A retry: the reworked lines carry the new Proxy-Authorization and then Host at the end.
std::string RetryConnect(const std::string& version = "HTTP/1.0") {
  return "CONNECT far.example:443 " + version + "\r\n" + kUserAgent + kKeepAlive +
         "Proxy-Authorization: Basic dXNlcjpwYXNz\r\nHost: far.example:443\r\n\r\n";
}

// Records the script's checks as errors of the server.
void Expect(const std::string& actual, const std::string& expected, const char* what) {
  if (actual != expected) throw std::runtime_error(std::string(what) + ": got [" + actual + "]");
}

void UseProxy(TzqHttpProxy& proxy, const ScriptedServer& server) {
  proxy.SetServer(server.Address());
  proxy.SetPort(server.Port());
  proxy.SetTimeOut(5000);
  proxy.SetUserName("user");
  proxy.SetPassword("pass");
}

EzqHttpProxyError TunnelFails(TzqHttpProxy& proxy) {
  try {
    proxy.OpenTunnel("far.example", 443);
  } catch (const EzqHttpProxyError& e) {
    return e;
  }
  ADD_FAILURE() << "the tunnel opened";
  return EzqHttpProxyError("", "", -1);
}

TEST(HttpProxyTunnel, TwoChallengesThenTheTunnelCarriesTheFarServersBytes) {
  std::atomic<int> connection{0};
  ScriptedServer server(
      [&](int fd) {
        if (connection++ == 0) {
          Expect(ReadRequest(fd), FirstConnect(), "first CONNECT");
          WriteAll(fd, kBasicChallenge);
          Expect(ReadUntilClosed(fd), "", "after a Basic challenge");  // Basic asks for a new connection
          return;
        }
        Expect(ReadRequest(fd), RetryConnect(), "second CONNECT");
        WriteAll(fd, kBasicChallenge);
        Expect(ReadRequest(fd), RetryConnect(), "third CONNECT");
        WriteAll(fd, "HTTP/1.0 200 Connection established\r\n\r\nHELLO from far");
        Expect(ReadExactly(fd, 4), "ping", "through the tunnel");
        ReadUntilClosed(fd);
      },
      false, 2);
  TzqHttpProxy proxy;
  UseProxy(proxy, server);
  std::vector<std::string> sent, received;
  proxy.OnSendRequest = [&](TzqObject*, const std::string& host, int32_t port, const TzqStringList& header) {
    sent.push_back(host + ":" + std::to_string(port) + " " + header[0]);
  };
  proxy.OnReceiveResponse = [&](TzqObject*, const std::string&, int32_t, const TzqStringList& header,
                                const TzqStringList& body) { received.push_back(header[0] + "|" + body.Text()); };
  TzqTcpClient client;
  client.SetProxy(&proxy);
  client.SetServer("far.example");
  client.SetPort(443);
  client.Open();
  EXPECT_EQ(proxy.StatusCode(), 200);
  EXPECT_EQ(proxy.StatusText(), "Connection established");
  EXPECT_EQ(test::ReceiveUpTo(client.GetConnection(), 14), "HELLO from far");
  client.GetConnection().WriteText("ping", "us-ascii");
  client.Close();
  EXPECT_EQ(server.Accepted(), 2);
  EXPECT_EQ(server.Errors(), "");
  EXPECT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0], "far.example:443 CONNECT far.example:443 HTTP/1.0");
  ASSERT_EQ(received.size(), 3u);
  EXPECT_EQ(received[0], "HTTP/1.0 407 Proxy Authentication Required|denied\r\n");
  EXPECT_EQ(received[2], "HTTP/1.0 200 Connection established|");
}

TEST(HttpProxyTunnel, ChallengesBeyondMaxAuthRetriesFail) {
  ScriptedServer server(
      [&](int fd) {
        ReadRequest(fd);
        WriteAll(fd, kBasicChallenge);
        ReadUntilClosed(fd);
      },
      false, 2);
  TzqHttpProxy proxy;
  UseProxy(proxy, server);
  proxy.SetMaxAuthRetries(1);
  const EzqHttpProxyError e = TunnelFails(proxy);
  EXPECT_EQ(e.ErrorCode(), 407);
  EXPECT_STREQ(e.what(), "HTTP/1.0 407 Proxy Authentication Required");
  EXPECT_EQ(e.ResponseText(), "denied\r\n");
  EXPECT_EQ(server.Accepted(), 2);
  EXPECT_EQ(server.Errors(), "");
}

TEST(HttpProxyTunnel, BasicFirstAndProxyConnectionCloseBeforeARetry) {
  std::atomic<int> connection{0};
  const std::string basicFirst =
      "CONNECT far.example:443 HTTP/1.1\r\nProxy-Authorization: Basic dXNlcjpwYXNz\r\n"
      "Host: far.example:443\r\n" +
      kUserAgent + kKeepAlive + "\r\n";
  ScriptedServer server(
      [&](int fd) {
        const int n = connection++;
        Expect(ReadRequest(fd), n == 0 ? basicFirst : RetryConnect("HTTP/1.1"), "CONNECT");
        if (n == 2) {
          WriteAll(fd, "HTTP/1.1 200 OK\r\n\r\n");
          ReadUntilClosed(fd);
          return;
        }
        // HTTP/1.1 keeps the connection unless told otherwise: the second answer says close.
        WriteAll(fd, std::string("HTTP/1.1 407 Denied\r\nProxy-Authenticate: Basic realm=\"p\"\r\n") +
                         (n == 1 ? "Proxy-Connection: close\r\n" : "") + "Content-Length: 0\r\n\r\n");
        Expect(ReadUntilClosed(fd), "", "after the challenge");
      },
      false, 3);
  TzqHttpProxy proxy;
  UseProxy(proxy, server);
  proxy.SetRequestVersion(hvHttp1_1);
  proxy.SetAuthorizationType(atBasic);
  proxy.OpenTunnel("far.example", 443);
  EXPECT_TRUE(proxy.Active());
  EXPECT_EQ(proxy.ResponseVersion(), hvHttp1_1);
  proxy.Close();
  EXPECT_EQ(server.Accepted(), 3);
  EXPECT_EQ(server.Errors(), "");
}

TEST(HttpProxyTunnel, InterimContinueIsSkippedAndNothingAfterTheHeaderIsRead) {
  ScriptedServer server([&](int fd) {
    ReadRequest(fd);
    WriteAll(fd,
             "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nVia: p\r\n\r\n\x16\x03\x01"
             "far");
    ReadUntilClosed(fd);
  });
  TzqHttpProxy proxy;
  UseProxy(proxy, server);
  std::string header;
  proxy.OnReceiveResponse = [&](TzqObject*, const std::string&, int32_t, const TzqStringList& h, const TzqStringList&) {
    header = h.Text();
  };
  proxy.OpenTunnel("far.example", 443);
  EXPECT_EQ(proxy.StatusCode(), 200);
  EXPECT_EQ(header, "HTTP/1.1 200 OK\r\nVia: p\r\n\r\n");
  EXPECT_EQ(test::ReceiveUpTo(proxy.GetConnection(), 6), std::string("\x16\x03\x01") + "far");
  proxy.Close();
  EXPECT_EQ(server.Errors(), "");
}

TEST(HttpProxyTunnel, OnlyASuccessOpensTheTunnel) {
  ScriptedServer redirect([&](int fd) {
    ReadRequest(fd);
    WriteAll(fd, "HTTP/1.0 302 Found\r\nLocation: http://elsewhere/\r\nContent-Length: 5\r\n\r\nmoved");
    ReadUntilClosed(fd);
  });
  TzqHttpProxy proxy;
  UseProxy(proxy, redirect);
  const EzqHttpProxyError e = TunnelFails(proxy);
  EXPECT_EQ(e.ErrorCode(), 302);
  EXPECT_STREQ(e.what(), "HTTP/1.0 302 Found");
  EXPECT_EQ(e.ResponseText(), "moved\r\n");
  EXPECT_FALSE(proxy.Active());  // HTTP/1.0 without Keep-Alive: closed

  // No tunnel behind these: what the caller sends next would reach the proxy itself.
  for (const char* status : {"305 Use Proxy", "304 Not Modified", "101 Switching Protocols"}) {
    ScriptedServer other([&](int fd) {
      ReadRequest(fd);
      WriteAll(fd, Format("HTTP/1.0 %s\r\nContent-Length: 0\r\n\r\n", status));
      ReadUntilClosed(fd);
    });
    UseProxy(proxy, other);
    EXPECT_EQ(TunnelFails(proxy).ErrorCode(), std::atoi(status)) << status;
    EXPECT_FALSE(proxy.Active()) << status;
  }
}

TEST(HttpProxyTunnel, DroppedKeptConnectionIsReopenedOnceSilently) {
  std::atomic<int> connection{0};
  const std::string resent =
      "CONNECT far.example:443 HTTP/1.0\r\n" + kUserAgent + kKeepAlive + "Host: far.example:443\r\n\r\n";
  ScriptedServer server(
      [&](int fd) {
        const int n = connection++;
        // The resent request is the reworked one: Host has moved to the end.
        Expect(ReadRequest(fd), n == 0 ? FirstConnect() : resent, "CONNECT");
        WriteAll(fd, "HTTP/1.0 200 OK\r\nProxy-Connection: Keep-Alive\r\n\r\n");
        if (n == 1) ReadUntilClosed(fd);  // the first connection is dropped at once
      },
      false, 2);
  TzqHttpProxy proxy;
  UseProxy(proxy, server);
  proxy.OpenTunnel("far.example", 443);
  test::Pause(100);
  ASSERT_TRUE(proxy.Active());
  proxy.OpenTunnel("far.example", 443);
  EXPECT_TRUE(proxy.Active());
  proxy.Close();
  EXPECT_EQ(server.Accepted(), 2);
  EXPECT_EQ(server.Errors(), "");
}

TEST(HttpProxyTunnel, ADropOnAFreshConnectionIsRaised) {
  ScriptedServer server([&](int fd) { ReadRequest(fd); });
  TzqHttpProxy proxy;
  UseProxy(proxy, server);
  try {
    proxy.OpenTunnel("far.example", 443);
    ADD_FAILURE() << "the tunnel opened";
  } catch (const EzqHttpProxyError& e) {
    ADD_FAILURE() << "a proxy error for a dropped connection: " << e.what();
  } catch (const EzqSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10053);
  }
  EXPECT_FALSE(proxy.Active());
  EXPECT_EQ(server.Accepted(), 1);
}

TEST(HttpProxyTunnel, ChangingOnlyTheServerOpensANewProxyConnection) {
  std::atomic<int> connection{0};
  ScriptedServer server(
      [&](int fd) {
        const int n = connection++;
        ReadRequest(fd);
        WriteAll(fd, "HTTP/1.0 200 OK\r\nProxy-Connection: Keep-Alive\r\n\r\n");
        Expect(ReadUntilClosed(fd), "", n == 0 ? "first connection after its tunnel" : "second connection");
      },
      false, 2);
  TzqHttpProxy proxy;
  UseProxy(proxy, server);
  proxy.OpenTunnel("far.example", 443);
  proxy.SetServer("localhost");  // the same address, port unchanged
  proxy.OpenTunnel("far.example", 443);
  EXPECT_TRUE(proxy.Active());
  proxy.Close();
  EXPECT_EQ(server.Accepted(), 2);
  EXPECT_EQ(server.Errors(), "");
}

// The header is bounded: 1002 bytes in all are read, one more is refused and the connection closed.
TEST(HttpProxyTunnel, ResponseHeaderEndsWithin1002Bytes) {
  const std::string start = "HTTP/1.0 200 OK\r\nX-Pad: ";
  for (const size_t total : {size_t{1002}, size_t{1003}}) {
    const std::string header = start + std::string(total - start.size() - 4, 'a') + "\r\n\r\n";
    ScriptedServer server([&](int fd) {
      ReadRequest(fd);
      WriteAll(fd, header + "tunnel");
      ReadUntilClosed(fd);
    });
    TzqHttpProxy proxy;
    UseProxy(proxy, server);
    if (total == 1002) {
      proxy.OpenTunnel("far.example", 443);
      EXPECT_EQ(proxy.StatusCode(), 200);
      EXPECT_TRUE(proxy.Active());
      proxy.Close();
      continue;
    }
    const EzqHttpProxyError e = TunnelFails(proxy);
    EXPECT_STREQ(e.what(), sProxyHeaderTooLong);
    EXPECT_EQ(e.ErrorCode(), 0);
    EXPECT_FALSE(proxy.Active());
    EXPECT_EQ(server.Errors(), "");
  }
}

TEST(HttpProxyTunnel, HeaderWithoutStatusLineIsNoSuccess) {
  ScriptedServer server([&](int fd) {
    ReadRequest(fd);
    WriteAll(fd, "garbage\r\n\r\n");
  });
  TzqHttpProxy proxy;
  UseProxy(proxy, server);
  const EzqHttpProxyError e = TunnelFails(proxy);
  EXPECT_STREQ(e.what(), sProxyNoStatus);
  EXPECT_FALSE(proxy.Active());
}

// Bodies of refusals: chunked on a kept connection (the next response is not eaten), until
// the proxy closes, and gzip-coded.
TEST(HttpProxyTunnel, ResponseBodiesByTheirFraming) {
  std::atomic<int> connection{0};
  ScriptedServer chunked(
      [&](int fd) {
        const int n = connection++;
        ReadRequest(fd);
        WriteAll(fd,
                 "HTTP/1.1 407 Denied\r\nProxy-Authenticate: Basic realm=\"p\"\r\nTransfer-Encoding: chunked\r\n"
                 "\r\n4\r\nno e\r\n5\r\nntry\n\r\n0\r\n\r\n");
        if (n == 1) {
          ReadRequest(fd);
          WriteAll(fd, "HTTP/1.1 200 OK\r\n\r\n");
        }
        ReadUntilClosed(fd);
      },
      false, 2);
  TzqHttpProxy proxy;
  UseProxy(proxy, chunked);
  proxy.SetRequestVersion(hvHttp1_1);
  std::vector<std::string> bodies;
  proxy.OnReceiveResponse = [&](TzqObject*, const std::string&, int32_t, const TzqStringList&,
                                const TzqStringList& body) { bodies.push_back(body.Text()); };
  proxy.OpenTunnel("far.example", 443);
  EXPECT_EQ(proxy.StatusCode(), 200);
  EXPECT_EQ(bodies, (std::vector<std::string>{"no entry\r\n", "no entry\r\n", ""}));
  EXPECT_EQ(chunked.Errors(), "");

  ScriptedServer untilClosed([&](int fd) {
    ReadRequest(fd);
    WriteAll(fd, "HTTP/1.0 403 Forbidden\r\n\r\nline one\r\nline two");
  });
  UseProxy(proxy, untilClosed);
  proxy.SetRequestVersion(hvHttp1_0);
  EzqHttpProxyError forbidden = TunnelFails(proxy);
  EXPECT_EQ(forbidden.ErrorCode(), 403);
  EXPECT_EQ(forbidden.ResponseText(), "line one\r\nline two\r\n");

  static const char gzipped[] =
      "\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\x4b\x4c\x4e\x4e\x2d\x2e\x56\x48\x49\xcd\xcb\x4c\x4d\xe1\xe5\x02\x00"
      "\xd7\x57\x83\x1a\x0f\x00\x00\x00";
  ScriptedServer coded([&](int fd) {
    ReadRequest(fd);
    WriteAll(fd, "HTTP/1.0 502 Bad Gateway\r\nContent-Encoding: gzip\r\nContent-Length: 35\r\n\r\n" +
                     std::string(gzipped, 35));
    ReadUntilClosed(fd);
  });
  UseProxy(proxy, coded);
  EzqHttpProxyError gateway = TunnelFails(proxy);
  EXPECT_EQ(gateway.ErrorCode(), 502);
  EXPECT_EQ(gateway.ResponseText(), "access denied\r\n");
}

// A gzip member whose deflate data is one fixed-code block: a zero byte, then `matches`
// copies of 258 bytes at distance 1 (13 bits each); no trailer.
std::string GzipOfZeros(int matches) {
  std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
  uint32_t bits = 0;
  int count = 0;
  auto code = [&](uint32_t value, int n) {  // Huffman codes go most significant bit first
    for (int i = n - 1; i >= 0; --i) {
      bits |= ((value >> i) & 1) << count;
      if (++count == 8) {
        out += static_cast<char>(bits);
        bits = 0;
        count = 0;
      }
    }
  };
  code(0b110, 3);  // final block with fixed codes (bits 1, then 01 least significant first)
  code(0x30, 8);   // the literal 0
  for (int i = 0; i < matches; ++i) {
    code(0xC5, 8);  // length 258
    code(0, 5);     // distance 1
  }
  code(0, 7);  // end of block
  if (count > 0) out += static_cast<char>(bits);
  return out;
}

// A refusal's body is kept as its text: one that outgrows a mebibyte, as sent or once
// inflated, is refused and the connection closed.
TEST(HttpProxyTunnel, BodiesBeyondAMebibyteAreRefused) {
  ScriptedServer endless([&](int fd) {
    ReadRequest(fd);
    WriteAll(fd, "HTTP/1.0 403 Forbidden\r\n\r\n");
    const std::string block(1 << 16, 'x');
    for (int i = 0; i < 256; ++i) WriteAll(fd, block);  // fails once the client has gone
  });
  TzqHttpProxy proxy;
  UseProxy(proxy, endless);
  const EzqHttpProxyError tooLong = TunnelFails(proxy);
  EXPECT_STREQ(tooLong.what(), sProxyBodyTooLong);
  EXPECT_EQ(tooLong.ErrorCode(), 403);
  EXPECT_FALSE(proxy.Active());

  const std::string bomb = GzipOfZeros(8200);  // 2 MiB of zeros in 13 KB
  ScriptedServer coded([&](int fd) {
    ReadRequest(fd);
    WriteAll(fd, "HTTP/1.0 502 Bad Gateway\r\nContent-Encoding: gzip\r\nContent-Length: " +
                     std::to_string(bomb.size()) + "\r\n\r\n" + bomb);
    ReadUntilClosed(fd);
  });
  UseProxy(proxy, coded);
  const EzqHttpProxyError inflated = TunnelFails(proxy);
  EXPECT_STREQ(inflated.what(), sProxyBodyTooLong);
  EXPECT_EQ(inflated.ErrorCode(), 502);
  EXPECT_FALSE(proxy.Active());
  EXPECT_EQ(coded.Errors(), "");
}

TEST(HttpProxyTunnel, Ipv6TargetIsBracketedInTheRequestLineAndHost) {
  ScriptedServer server([&](int fd) {
    Expect(ReadRequest(fd),
           "CONNECT [2001:db8::1]:443 HTTP/1.0\r\nHost: [2001:db8::1]:443\r\n" + kUserAgent + kKeepAlive + "\r\n",
           "CONNECT");
    WriteAll(fd, "HTTP/1.0 200 Connection established\r\n\r\n");
    ReadUntilClosed(fd);
  });
  TzqHttpProxy proxy;
  UseProxy(proxy, server);
  proxy.OpenTunnel("2001:db8::1", 443);
  EXPECT_EQ(proxy.StatusCode(), 200);
  proxy.Close();
  EXPECT_EQ(server.Errors(), "");
}

}  // namespace
}  // namespace zq
