// The HTTP client over the in-memory transport: byte-exact responses split where the test
// chooses, how the client frames and keeps connections, and what broken peers get.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/zqText.h"
#include "tests/support/zqMemoryTransport.h"

namespace zq {
namespace {

using test::MemoryEnd;
using test::MemoryHttp;
using test::MemoryPeer;

constexpr const char* kUrl = "http://example.test/";

class HttpClientMemory : public ::testing::Test {
protected:
  std::string Body(const std::string& url = kUrl) {
    TzqMemoryStream body;
    client.Get(url, nullptr, nullptr, &body);
    return body.DataString();
  }

  MemoryPeer peer;
  MemoryHttp client{peer};
};

TEST_F(HttpClientMemory, InterimContinueIsSkippedInTheSameOrALaterRead) {
  peer.AddConnection()
      .Send("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\none", 1)
      .Send("HTTP/1.1 100 Continue\r\n\r\n", 2)
      .Send("HTTP/1.1 201 Created\r\nContent-Length: 3\r\n\r\ntwo", 2);
  EXPECT_EQ(Body(), "one");
  EXPECT_EQ(client.StatusCode(), 200);
  EXPECT_EQ(Body(), "two");
  EXPECT_EQ(client.StatusCode(), 201);
  EXPECT_EQ(client.StatusText(), "Created");
  EXPECT_EQ(peer.Opened(), 1);
}

// A server that sends a second, unasked reply after the first one never answers the next
// request with it: whether the client already holds those bytes (same read) or they wait on the
// socket (a later piece), the kept connection is dropped and the next request gets a new one.
TEST_F(HttpClientMemory, AReplyNobodyAskedForIsNeverTheNextAnswer) {
  const std::string first = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\none";
  const std::string stale = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nstale";
  const std::string bodiless = "HTTP/1.1 204 No Content\r\n\r\n";
  for (const std::string& answer : {first, bodiless}) {
    for (const bool sameRead : {true, false}) {
      MemoryPeer split;
      split.AddConnection().SendSplit(answer + stale, {sameRead ? 0 : answer.size()}, 1).EndWith(MemoryEnd::Stall);
      split.AddConnection().Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfresh", 1).EndWith(MemoryEnd::Stall);
      MemoryHttp http(split);
      TzqMemoryStream body;
      TzqMemoryStream second;
      http.Get(kUrl, nullptr, nullptr, &body);
      http.Get(kUrl, nullptr, nullptr, &second);
      EXPECT_EQ(second.DataString(), "fresh") << sameRead;
      EXPECT_EQ(split.Opened(), 2) << sameRead;
      EXPECT_EQ(split.Connection(0).RequestsSent(), 1) << sameRead;
    }
  }
}

// Every split of a response gives the same body, and the kept connection serves the next call.
TEST_F(HttpClientMemory, AnySplitGivesTheSameExchange) {
  const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX-A: b\r\n\r\nhello";
  for (size_t at = 1; at < response.size(); ++at) {
    MemoryPeer split;
    split.AddConnection()
        .SendSplit(response, {at / 2, at}, 1)
        .SendSplit("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", {at}, 2);
    MemoryHttp http(split);
    TzqMemoryStream first;
    TzqMemoryStream second;
    http.Get(kUrl, nullptr, nullptr, &first);
    http.Get(kUrl, nullptr, nullptr, &second);
    EXPECT_EQ(first.DataString(), "hello") << at;
    EXPECT_EQ(second.DataString(), "abc") << at;
    EXPECT_EQ(split.Opened(), 1);
  }
}

// A gzip-coded chunked error body (as nginx sends one) is read through its last chunk however
// it arrives, so the next call on the kept connection reads its own response.
TEST_F(HttpClientMemory, ErrorBodiesAreReadToTheirEndAtAnySplit) {
  static const char gzipped[] =
      "\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\xcb\xcb\x2f\x51\x48\xcb\x2f\xcd"
      "\x4b\xe1\x02\x00\xd4\x49\xfa\x72\x0a\x00\x00\x00";
  const std::string response =
      "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n"
      "Connection: keep-alive\r\nContent-Encoding: gzip\r\n\r\n1e\r\n" +
      std::string(gzipped, sizeof gzipped - 1) + "\r\n0\r\n\r\n";
  for (size_t at = 1; at < response.size(); ++at) {
    MemoryPeer split;
    split.AddConnection()
        .SendSplit(response, {at}, 1)
        .Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", 2)
        .EndWith(MemoryEnd::Stall);
    MemoryHttp http(split);
    TzqMemoryStream body;
    http.SetSilentHTTP(at % 2 == 0);
    try {
      http.Get(kUrl, nullptr, nullptr, &body);
      EXPECT_EQ(body.DataString(), at % 2 == 0 ? "not found\n" : "(raised)") << at;
    } catch (const EzqHttpError& e) {
      EXPECT_EQ(e.ResponseText() + (at % 2 == 0 ? "(silent)" : ""), "not found\r\n") << at;
    }
    TzqMemoryStream next;
    http.Get(kUrl, nullptr, nullptr, &next);
    EXPECT_EQ(next.DataString(), "ok") << at;
    EXPECT_EQ(split.Opened(), 1) << at;
  }
}

TEST_F(HttpClientMemory, BodiesWithoutLengthAndSilentErrors) {
  peer.AddConnection().Send("HTTP/1.1 200 OK\r\n\r\nall ").Send("of it");
  EXPECT_EQ(Body(), "all of it");
  EXPECT_FALSE(client.Active());

  // No length and 404: no body to wait for, and whatever follows on the connection is never
  // taken for the next response.
  peer.AddConnection().Send("HTTP/1.1 404 Not Found\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nforged");
  peer.AddConnection()
      .Send("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot here!", 1)
      .Send("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot here!", 2);
  client.SetSilentHTTP(true);
  EXPECT_EQ(Body(), "");
  EXPECT_FALSE(client.Active());
  EXPECT_EQ(Body(), "not here!");
  EXPECT_EQ(client.StatusCode(), 404);

  client.SetSilentHTTP(false);
  try {
    Body();
    ADD_FAILURE() << "a 404 was no error";
  } catch (const EzqHttpError& e) {
    EXPECT_EQ(std::string(e.what()), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(e.ResponseText(), "not here!\r\n");
  }
  EXPECT_TRUE(client.Active());  // the body was read: the kept connection is still usable
  EXPECT_EQ(peer.Opened(), 3);
}

// A redirect or challenge that ends the exchange hands a silent caller its body exactly as the
// server sent it (no line endings added, no bytes lost to a charset), or an error when the body
// was too long to read whole; the one from the fuzz target's CI run is the first case.
TEST_F(HttpClientMemory, SilentEndsDeliverTheBodyAsSent) {
  client.SetSilentHTTP(true);
  const std::string body("moved\nline\r\n\xbb\0end", 17);
  peer.AddConnection().Send(
      "HTTP/1.1 302 Found\r\nLo\xbb\xbb"
      "cation: /x\r\nContent-Type: text/plain\r\n"
      "Content-Length: 17\r\n\r\n" +
      body);
  EXPECT_EQ(Body(), body);
  EXPECT_EQ(client.StatusCode(), 302);

  client.SetMaxAuthRetries(1);
  const std::string challenge = "HTTP/1.1 401 No\r\nWWW-Authenticate: Basic realm=\"r\"\r\nContent-Length: ";
  client.SetUserName("u");
  client.SetPassword("p");
  peer.AddConnection().Send(challenge + "2\r\n\r\nno");  // Basic retries on a new connection
  peer.AddConnection().Send(challenge + "1048577\r\n\r\n" + std::string(1048577, 'x'));
  try {
    Body();
    ADD_FAILURE() << "a body cut at the text limit was delivered as whole";
  } catch (const EzqHttpError& e) {
    EXPECT_EQ(e.ErrorCode(), 401);
    EXPECT_NE(std::string(e.what()).find("was not read whole"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(client.Active());
}

// A connection switched to another protocol is never asked again.
TEST_F(HttpClientMemory, ASwitchedConnectionIsNotKept) {
  peer.AddConnection().Send("HTTP/1.1 101 Switching Protocols\r\nUpgrade: other\r\n\r\n").EndWith(MemoryEnd::Stall);
  peer.AddConnection().Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfresh");
  client.SetTimeOut(500);
  EXPECT_EQ(Body(), "");
  EXPECT_EQ(client.StatusCode(), 101);
  EXPECT_FALSE(client.Active());
  EXPECT_EQ(Body(), "fresh");
  EXPECT_EQ(peer.Opened(), 2);
}

TEST_F(HttpClientMemory, ADroppedKeptConnectionIsReopenedOnce) {
  peer.AddConnection().Send("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n1");
  peer.AddConnection()
      .Send("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n2", 1)
      .Send("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx", 2);
  EXPECT_EQ(Body(), "1");
  EXPECT_EQ(Body(), "2");
  EXPECT_EQ(Body(), "x");
  EXPECT_EQ(peer.Opened(), 2);
  // A reset kept connection is not retried a second time.
  MemoryPeer resetting;
  resetting.AddConnection().Send("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n1").EndWith(MemoryEnd::Reset);
  resetting.AddConnection().EndWith(MemoryEnd::Reset);
  MemoryHttp http(resetting);
  TzqMemoryStream body;
  http.Get(kUrl, nullptr, nullptr, &body);
  EXPECT_THROW(http.Get(kUrl, nullptr, nullptr, &body), EzqSocketError);
  EXPECT_EQ(body.DataString(), "1");
}

// "hello, gzip\n" gzip-coded, sent in two chunks; the first arrives with the header.
TEST_F(HttpClientMemory, ChunkedGzipBody) {
  static const char gzipped[] =
      "\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\xff\xcb\x48\xcd\xc9\xc9\xd7\x51\x48\xaf\xca"
      "\x2c\xe0\x02\x00\x86\x1f\x82\xa4\x0c\x00\x00\x00";
  const std::string body(gzipped, sizeof gzipped - 1);
  peer.AddConnection()
      .Send("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n" +
            Format("%zx\r\n", size_t{10}) + body.substr(0, 10) + "\r\n")
      .Send(Format("%zx\r\n", body.size() - 10) + body.substr(10) + "\r\n0\r\n\r\n")
      .EndWith(MemoryEnd::Stall);
  std::vector<int64_t> progress;
  client.OnReceiveProgress = [&](TzqObject*, int64_t done, int64_t) { progress.push_back(done); };
  EXPECT_EQ(Body(), "hello, gzip\n");
  EXPECT_FALSE(progress.empty());
  EXPECT_TRUE(client.Active());
}

TEST_F(HttpClientMemory, HeadReadsNoBodyAndRaisesNoBodyEvents) {
  peer.AddConnection()
      .Send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n", 1)
      .Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", 2)
      .EndWith(MemoryEnd::Stall);
  int bodyEvents = 0;
  client.OnReceiveProgress = [&](TzqObject*, int64_t, int64_t) { ++bodyEvents; };
  client.OnReceiveResponse = [&](TzqObject*, const std::string&, const std::string&, TzqStringList&, TzqCookieList&) {
    ++bodyEvents;
  };
  TzqStringList header;
  client.Head(kUrl, &header);
  EXPECT_EQ(header[0], "HTTP/1.1 200 OK");
  EXPECT_EQ(bodyEvents, 0);
  EXPECT_EQ(Body(), "ok");  // nothing of a body was waited for on the kept connection
  ASSERT_EQ(peer.Connection(0).RequestsSent(), 2);
  EXPECT_EQ(peer.Connection(0).written.rfind("HEAD / HTTP/1.1\r\n", 0), 0u);
  EXPECT_NE(peer.Connection(0).written.find("\r\n\r\nGET / HTTP/1.1\r\n"), std::string::npos);
}

// What broken or hostile peers get: a clear error, never a success or a hang.
TEST_F(HttpClientMemory, BrokenResponses) {
  peer.AddConnection().Send("HTTP/1.1 200\r\nContent-Length: 2\r\n\r\nok").EndWith(MemoryEnd::Stall);
  EXPECT_EQ(Body(), "ok");
  EXPECT_EQ(client.StatusCode(), 200);
  client.Close();

  peer.AddConnection().Send("garbage\r\n\r\n");
  try {
    Body();
    ADD_FAILURE() << "no status line passed";
  } catch (const EzqHttpError& e) {
    EXPECT_EQ(std::string(e.what()), "The server's response has no valid status line");
  }

  peer.AddConnection().Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhalf");
  EXPECT_THROW(Body(), EzqTcpClientError);
  EXPECT_FALSE(client.Active());

  peer.AddConnection().Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nhalf");
  EXPECT_THROW(Body(), EzqTcpClientError);
  EXPECT_FALSE(client.Active());

  // The close found by the read that takes the last bytes.
  peer.AddConnection().Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhalf").EndWith(MemoryEnd::CloseWithLast);
  EXPECT_THROW(Body(), EzqTcpClientError);
  EXPECT_FALSE(client.Active());
  peer.AddConnection()
      .Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
      .Send("10\r\nhalf")
      .EndWith(MemoryEnd::CloseWithLast);
  EXPECT_THROW(Body(), EzqTcpClientError);
  EXPECT_FALSE(client.Active());

  peer.AddConnection().Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhalf").EndWith(MemoryEnd::Reset);
  EXPECT_THROW(Body(), EzqSocketError);
  EXPECT_FALSE(client.Active());

  peer.AddConnection().Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhalf").EndWith(MemoryEnd::Stall);
  try {
    Body();
    ADD_FAILURE() << "a stalled body passed";
  } catch (const EzqSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), -1);
  }
  EXPECT_FALSE(client.Active());

  std::string endless = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < 1100; ++i) endless += "X-Pad: " + std::string(1000, 'a') + "\r\n";
  peer.AddConnection().Send(endless);
  try {
    Body();
    ADD_FAILURE() << "an endless header passed";
  } catch (const EzqHttpError& e) {
    EXPECT_EQ(std::string(e.what()), "The server's response header exceeds 1048576 bytes");
  }
  EXPECT_FALSE(client.Active());

  peer.AddConnection().Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokEXTRA").EndWith(MemoryEnd::Stall);
  EXPECT_EQ(Body(), "ok");
}

// Every phase of a response cut by every fault: a clear error, the connection closed, never
// a success. The pieces end where the fault strikes; "drip" sends them a byte at a time first.
TEST_F(HttpClientMemory, EachPhaseCutByEachFaultFailsAndCloses) {
  static const char gzipped[] =
      "\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\xcb\xcb\x2f\x51\x48\xcb\x2f\xcd"
      "\x4b\xe1\x02\x00\xd4\x49\xfa\x72\x0a\x00\x00\x00";
  const std::string gzip(gzipped, sizeof gzipped - 1);
  const struct {
    const char* phase;
    std::string bytes;
  } cuts[] = {
      {"accepted", ""},
      {"status line", "HTTP/1.1 20"},
      {"header", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX-A: b"},
      {"body by length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhel"},
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n3\r\nab"},
      {"chunk size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n"},
      {"gzip", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " + std::to_string(gzip.size()) +
                   "\r\n\r\n" + gzip.substr(0, 12)},
      {"gzip until close",
       "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nConnection: close\r\n\r\n" + gzip.substr(0, 12)},
      {"trailer", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\nX-T: 1"},
  };
  const struct {
    const char* name;
    MemoryEnd end;
    bool drip;
  } faults[] = {{"close", MemoryEnd::Close, false},
                {"close with the last bytes", MemoryEnd::CloseWithLast, false},
                {"reset", MemoryEnd::Reset, false},
                {"stall", MemoryEnd::Stall, false},
                {"drip then stall", MemoryEnd::Stall, true}};
  for (const auto& cut : cuts) {
    for (const auto& fault : faults) {
      MemoryPeer broken;
      std::vector<size_t> offsets;
      if (fault.drip)
        for (size_t at = 1; at < cut.bytes.size(); ++at) offsets.push_back(at);
      broken.AddConnection().SendSplit(cut.bytes, offsets).EndWith(fault.end);
      MemoryHttp http(broken);
      TzqMemoryStream body;
      EXPECT_THROW(http.Get(kUrl, nullptr, nullptr, &body), EzqError) << cut.phase << ", " << fault.name;
      EXPECT_FALSE(http.Active()) << cut.phase << ", " << fault.name;
    }
  }
}

// A peer that stops reading a request body: the upload times out instead of reporting success.
TEST_F(HttpClientMemory, AnUploadThePeerStopsReadingTimesOut) {
  peer.AddConnection().ReadAtMost(300).EndWith(MemoryEnd::Stall);
  TzqMemoryStream upload;
  upload.WriteBuffer(std::string(100000, 'u').data(), 100000);
  upload.SetPosition(0);
  TzqMemoryStream body;
  try {
    client.Put(kUrl, "application/octet-stream", &upload, nullptr, &body);
    ADD_FAILURE() << "a stalled upload passed";
  } catch (const EzqSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), -1);
  }
  EXPECT_EQ(peer.Connection(0).written.size(), 300u);
  EXPECT_FALSE(client.Active());
}

}  // namespace
}  // namespace zq
