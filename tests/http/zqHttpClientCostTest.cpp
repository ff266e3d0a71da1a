// What a small request on a kept connection costs the client: heap allocations, counted by a
// replaced operator new while the calls run, and the work a repeated URL is spared.

#include <gtest/gtest.h>

#include <string>

#include "tests/http/zqAllocationCount.h"
#include "tests/support/zqMemoryTransport.h"

namespace zq {
namespace {

using test::MemoryEnd;
using test::MemoryHttp;
using test::MemoryPeer;

// An answer shaped like nginx's to a small static file.
const std::string kAnswer =
    "HTTP/1.1 200 OK\r\nServer: nginx\r\nDate: Tue, 08 Dec 2026 17:00:00 GMT\r\nContent-Type: text/plain\r\n"
    "Content-Length: 6\r\nLast-Modified: Tue, 08 Dec 2026 17:00:00 GMT\r\nConnection: keep-alive\r\n"
    "ETag: \"1-6\"\r\nAccept-Ranges: bytes\r\n\r\nhello\n";

// The URL is parsed and its host encoded once, the header composed without rebuilt lists, a
// response without Set-Cookie parses no cookies, lines are moved into lists rather than copied
// and fields are found and read without lowered or trimmed copies: 52 a request, capped at 60.
TEST(HttpClientCost, AKeptSmallGetStaysWithinItsAllocationBudget) {
  constexpr int kRequests = 50;
  MemoryPeer peer;
  auto& connection = peer.AddConnection();
  for (int i = 1; i <= kRequests + 1; ++i) connection.Send(kAnswer, i);
  connection.EndWith(MemoryEnd::Stall);
  MemoryHttp client(peer);
  TzqMemoryStream body;
  const std::string url = "http://bücher.example:8080/hello.txt";
  client.Get(url, nullptr, nullptr, &body);
  body.Clear();
  test::CountAllocations(true);
  for (int i = 0; i < kRequests; ++i) client.Get(url, nullptr, nullptr, &body);
  test::CountAllocations(false);
  EXPECT_EQ(body.DataString().size(), 6u * kRequests);
  EXPECT_EQ(peer.Opened(), 1);
  EXPECT_LE(test::AllocationsCounted() / kRequests, 60) << "allocations per request";
}

// A redirect moves the parser off the URL it was given: asked for again, that URL is parsed
// again, never answered from the redirect's target.
TEST(HttpClientCost, AUrlAskedForAgainAfterARedirectIsParsedAgain) {
  MemoryPeer peer;
  peer.AddConnection()
      .Send("HTTP/1.1 302 Found\r\nLocation: /moved\r\nContent-Length: 0\r\n\r\n", 1)
      .Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nmoved", 2)
      .Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfirst", 3)
      .EndWith(MemoryEnd::Stall);
  MemoryHttp client(peer);
  TzqMemoryStream body;
  client.Get("http://example.test/first", nullptr, nullptr, &body);
  client.Get("http://example.test/first", nullptr, nullptr, &body);
  EXPECT_EQ(body.DataString(), "movedfirst");
  const std::string& written = peer.Connection(0).written;
  EXPECT_EQ(written.rfind("GET /first "), written.rfind("GET /"));
}

// A parse changed through Url() is not taken for the URL the caller names next.
TEST(HttpClientCost, AUrlChangedThroughItsAccessorIsParsedAgain) {
  MemoryPeer peer;
  peer.AddConnection()
      .Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfirst", 1)
      .Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nagain", 2)
      .EndWith(MemoryEnd::Stall);
  MemoryHttp client(peer);
  TzqMemoryStream body;
  client.Get("http://example.test/first", nullptr, nullptr, &body);
  client.Url().ParseUrl("http://example.test/elsewhere");
  client.Get("http://example.test/first", nullptr, nullptr, &body);
  EXPECT_EQ(body.DataString(), "firstagain");
  const std::string& written = peer.Connection(0).written;
  EXPECT_EQ(written.find("GET /elsewhere"), std::string::npos);
  EXPECT_NE(written.rfind("GET /first "), written.find("GET /first "));
}

}  // namespace
}  // namespace zq
