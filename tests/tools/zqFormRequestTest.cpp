// The demo form handler's request reader: requests however they are split, one after another
// on a connection, and the refusals (malformed, over the limits) that end a connection.

#include "tools/formhandler/zqFormRequest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zq {
namespace {

const std::string kPost =
    "POST /products/quorvex/demos/serverformpost.asp HTTP/1.1\r\n"
    "Host: localhost:8443\r\n"
    "Content-Type: application/x-www-form-urlencoded\r\n"
    "Content-Length: 11\r\n"
    "\r\n"
    "Name=A+B&x=";

std::vector<TzqServerRequest> ReadAll(TzqRequestReader& reader) {
  std::vector<TzqServerRequest> requests;
  while (auto request = reader.Next()) requests.push_back(std::move(*request));
  return requests;
}

std::string Refusal(const std::string& bytes) {
  TzqRequestReader reader;
  reader.Append(bytes);
  try {
    ReadAll(reader);
  } catch (const EzqBadRequest& error) {
    return error.what();
  }
  return "";
}

TEST(FormRequestReader, ARequestSplitAnywhereArrivesWholeOnce) {
  for (size_t split = 0; split <= kPost.size(); ++split) {
    TzqRequestReader reader;
    reader.Append(kPost.substr(0, split));
    std::vector<TzqServerRequest> requests = ReadAll(reader);
    if (split < kPost.size()) {
      EXPECT_TRUE(requests.empty()) << split;
      EXPECT_EQ(reader.HasPartialRequest(), split > 0) << split;
      reader.Append(kPost.substr(split));
      requests = ReadAll(reader);
    }
    ASSERT_EQ(requests.size(), 1u) << split;
    EXPECT_EQ(requests[0].Method, "POST");
    EXPECT_EQ(requests[0].Target, "/products/quorvex/demos/serverformpost.asp");
    EXPECT_EQ(requests[0].ContentLength, 11);
    EXPECT_EQ(requests[0].Body, "Name=A+B&x=");
    EXPECT_EQ(*requests[0].Field("content-type"), "application/x-www-form-urlencoded");
    EXPECT_TRUE(requests[0].KeepAlive);
    EXPECT_FALSE(reader.HasPartialRequest());
  }
}

TEST(FormRequestReader, RequestsFollowEachOtherAndTheHeadWaitsForItsBody) {
  TzqRequestReader reader;
  reader.Append("\r\nGET /a HTTP/1.0\r\n\r\n" + kPost +
                "GET /b HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\nPOST /c HTTP/1.1\r\nHost: h\r\nExpect: "
                "100-continue\r\nContent-Length: 3\r\n\r\n");
  std::vector<TzqServerRequest> requests = ReadAll(reader);
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].Target, "/a");
  EXPECT_FALSE(requests[0].KeepAlive);  // HTTP/1.0 without keep-alive
  EXPECT_EQ(requests[1].Body, "Name=A+B&x=");
  EXPECT_EQ(requests[2].Target, "/b");
  EXPECT_FALSE(requests[2].KeepAlive);
  ASSERT_NE(reader.PendingHead(), nullptr);
  EXPECT_TRUE(reader.PendingHead()->ExpectContinue);
  reader.Append("abcGET");
  requests = ReadAll(reader);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Body, "abc");
  EXPECT_EQ(reader.PendingHead(), nullptr);
  EXPECT_TRUE(reader.HasPartialRequest());

  TzqRequestReader old;
  old.Append("GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n");
  EXPECT_TRUE(old.Next()->KeepAlive);
}

TEST(FormRequestReader, MalformedRequestsAreRefused) {
  const char* const malformed[] = {
      "GET\r\n\r\n",
      "GET /\r\n\r\n",
      "GET  / HTTP/1.1\r\nHost: h\r\n\r\n",
      "GET index.html HTTP/1.1\r\nHost: h\r\n\r\n",
      "GET / HTTP/2.0\r\nHost: h\r\n\r\n",
      "G(T / HTTP/1.1\r\nHost: h\r\n\r\n",
      "GET / HTTP/1.1\r\n\r\n",  // no Host
      "GET / HTTP/1.1\r\nHost: h\r\nNo colon\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: h\r\n folded\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: h\r\nX: a\x01 b\r\n\r\n",
      "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 1x\r\n\r\n",
      "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: -1\r\n\r\n",
      "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 99999999999999999999\r\n\r\n",
      "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\nx",
      "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
  };
  for (const char* request : malformed) EXPECT_NE(Refusal(request), "") << request;
  EXPECT_EQ(Refusal(std::string("GET /a\0b HTTP/1.1\r\nHost: h\r\n\r\n", 30)), "Malformed request line");
}

TEST(FormRequestReader, HeadersOver64KiBAndBodiesOver1MiBAreRefusedBeforeTheyArrive) {
  const std::string head = "GET / HTTP/1.1\r\nHost: h\r\nX: ";
  const std::string end = "\r\n\r\n";
  // The largest head taken, and one byte more.
  std::string fits = head + std::string(kMaxRequestHeader - head.size() - end.size(), 'a') + end;
  TzqRequestReader reader;
  reader.Append(fits);
  EXPECT_TRUE(reader.Next().has_value());
  EXPECT_EQ(Refusal(head + std::string(kMaxRequestHeader - head.size() - end.size() + 1, 'a') + end),
            "The request header is over 64 KiB");
  // A head without its end is refused as soon as it is too long, not kept growing.
  TzqRequestReader endless;
  endless.Append(head + std::string(kMaxRequestHeader, 'a'));
  EXPECT_THROW(endless.Next(), EzqBadRequest);

  const std::string post = "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: ";
  TzqRequestReader largest;
  largest.Append(post + std::to_string(kMaxRequestBody) + end);
  EXPECT_FALSE(largest.Next().has_value());
  EXPECT_NE(largest.PendingHead(), nullptr);
  EXPECT_EQ(Refusal(post + std::to_string(kMaxRequestBody + 1) + end), "The request body is over 1 MiB");
}

}  // namespace
}  // namespace zq
