#include "http/zqHttpHeader.h"

#include <gtest/gtest.h>

#include "tests/http/zqHttpTestSupport.h"

#include "core/zqError.h"

namespace zq {
namespace {

using test::LinesOf;

TzqStringList ResponseLines() {
  return TzqStringList{"HTTP/1.1 401 Unauthorized",
                       "Server: nginx",
                       "WWW-Authenticate: Basic realm=\"a\"",
                       "Content-Type: multipart/mixed; boundary=\"b;1\"; charset=utf-8",
                       "X-Custom:    spaced value   ",
                       "Last-Modified: Tue, 08 Dec 2026 02:40:00 GMT",
                       "www-authenticate: Digest realm=\"b\",",
                       "\tnonce=\"n\"",
                       "x-custom: second",
                       "",
                       "Server: body, not header"};
}

TEST(HttpResponseHeader, ParsesKnownFieldsListsAndExtraFields) {
  TzqHttpResponseHeader header;
  TzqStringList lines = ResponseLines();
  header.ParseHeader(lines);
  EXPECT_EQ(header.Server(), "nginx");
  EXPECT_EQ(header.ContentType(), "multipart/mixed");
  EXPECT_EQ(header.Boundary(), "b;1");
  EXPECT_EQ(header.CharSet(), "utf-8");
  EXPECT_EQ(header.LastModified(), "Tue, 08 Dec 2026 02:40:00 GMT");
  EXPECT_EQ(LinesOf(header.Authenticate()),
            (std::vector<std::string>{"Basic realm=\"a\"", "Digest realm=\"b\",nonce=\"n\""}));
  EXPECT_EQ(LinesOf(header.ExtraFields()), (std::vector<std::string>{"X-Custom: spaced value", "x-custom: second"}));

  // Parsing again starts from a clean record: no parameters, no lists left over.
  TzqStringList plain{"HTTP/1.1 200 OK", "Content-Type: text/plain"};
  header.ParseHeader(plain);
  EXPECT_EQ(header.ContentType(), "text/plain");
  EXPECT_EQ(header.Boundary(), "");
  EXPECT_EQ(header.CharSet(), "");
  EXPECT_EQ(header.Server(), "");
  EXPECT_TRUE(header.Authenticate().Empty());
  EXPECT_TRUE(header.ExtraFields().Empty());
}

TEST(HttpResponseHeader, WritesTheFieldsItReadInItsOwnOrder) {
  TzqHttpResponseHeader header;
  TzqStringList lines = ResponseLines();
  header.ParseHeader(lines);
  header.ProxyAuthenticate().Add("Basic realm=\"p\"");
  TzqStringList written;
  header.WriteHeader(written);
  EXPECT_EQ(LinesOf(written), (std::vector<std::string>{
                                  "Server: nginx",
                                  "WWW-Authenticate: Basic realm=\"a\"",
                                  "WWW-Authenticate: Digest realm=\"b\",nonce=\"n\"",
                                  "Proxy-Authenticate: Basic realm=\"p\"",
                                  "Content-Type: multipart/mixed; boundary=b;1; charset=utf-8",
                                  "Last-Modified: Tue, 08 Dec 2026 02:40:00 GMT",
                                  "X-Custom: spaced value",
                                  "x-custom: second",
                              }));
}

TEST(HttpRequestHeader, StartsWithAcceptAndWritesInTheFixedFieldOrder) {
  TzqHttpRequestHeader header;
  EXPECT_EQ(header.Accept(), "*/*");
  header.SetProxyAuthorization("Basic cA==");
  header.SetUserAgent("zq");
  header.SetHost("example.com");
  header.SetReferer("http://r/");
  header.SetRange("bytes=1-");
  header.SetAcceptLanguage("en");
  header.SetAcceptEncoding("gzip");
  header.SetAcceptCharSet("utf-8");
  header.SetAuthorization("Basic dQ==");
  header.SetProxyConnection("close");
  header.SetConnection("keep-alive");
  header.SetCacheControl("no-cache");
  header.SetTransferEncoding("chunked");
  header.SetExpires("0");
  header.SetDate("today");
  header.SetContentType("multipart/form-data");
  header.SetBoundary("----b");
  header.SetCharSet("utf-8");
  header.SetContentVersion("1");
  header.SetContentLength("10");
  header.SetContentLanguage("de");
  header.SetContentEncoding("identity");
  header.ExtraFields().Add("X-Last:  as is");
  TzqStringList lines{"POST / HTTP/1.1", "", "body"};
  header.WriteHeader(lines);
  EXPECT_EQ(LinesOf(lines),
            (std::vector<std::string>{"POST / HTTP/1.1",
                                      "Accept: */*",
                                      "Accept-Charset: utf-8",
                                      "Accept-Encoding: gzip",
                                      "Accept-Language: en",
                                      "Range: bytes=1-",
                                      "Referer: http://r/",
                                      "Host: example.com",
                                      "User-Agent: zq",
                                      "Authorization: Basic dQ==",
                                      "Proxy-Authorization: Basic cA==",
                                      "Content-Encoding: identity",
                                      "Content-Language: de",
                                      "Content-Length: 10",
                                      "Content-Version: 1",
                                      "Content-Type: multipart/form-data; boundary=----b; charset=utf-8",
                                      "Date: today",
                                      "Expires: 0",
                                      "Transfer-Encoding: chunked",
                                      "Cache-Control: no-cache",
                                      "Connection: keep-alive",
                                      "Proxy-Connection: close",
                                      "X-Last:  as is",
                                      "",
                                      "body"}));

  header.Clear();
  EXPECT_EQ(header.Accept(), "*/*");
  EXPECT_EQ(header.Host(), "");
  EXPECT_EQ(header.Boundary(), "");
  EXPECT_TRUE(header.ExtraFields().Empty());
}

TEST(HttpRequestHeader, ParametersNeedAContentTypeAndEmptyFieldsAreNotWritten) {
  TzqHttpRequestHeader header;
  header.SetAccept("");
  header.SetBoundary("abc");
  header.SetCharSet("utf-8");
  TzqStringList lines;
  header.WriteHeader(lines);
  EXPECT_TRUE(lines.Empty());
}

TEST(HttpEntityHeader, NotifiesOncePerEffectiveChangeAndOncePerUpdate) {
  TzqHttpRequestHeader header;
  int changes = 0;
  header.OnChange = [&](TzqObject* sender) {
    EXPECT_EQ(sender, &header);
    ++changes;
  };
  header.SetHost("a");
  header.SetHost("a");
  EXPECT_EQ(changes, 1);
  header.ExtraFields().Add("X: 1");
  EXPECT_EQ(changes, 2);
  header.BeginUpdate();
  header.SetHost("b");
  header.SetDate("c");
  header.EndUpdate();
  EXPECT_EQ(changes, 3);
  header.EndUpdate();
  EXPECT_EQ(changes, 3);
  TzqStringList lines{"Host: x", "Date: y"};
  header.ParseHeader(lines);
  EXPECT_EQ(changes, 4);
  header.Clear();
  EXPECT_EQ(changes, 5);
}

TEST(HttpEntityHeader, ABoundaryAssignmentSurvivesAHandlerThatEmptiesIt) {
  TzqHttpRequestHeader header;
  header.OnChange = [&](TzqObject*) { header.SetBoundary(""); };
  header.SetBoundary("kept");
  EXPECT_EQ(header.Boundary(), "kept");
}

TEST(HttpEntityHeader, AssignCopiesTheSharedPartAcrossKindsAndTheRestOnlyWithinAKind) {
  TzqHttpResponseHeader source;
  TzqStringList lines = ResponseLines();
  source.ParseHeader(lines);

  TzqHttpResponseHeader response;
  response.Assign(source);
  EXPECT_EQ(response.Server(), "nginx");
  EXPECT_EQ(response.Authenticate().Count(), 2);
  EXPECT_EQ(response.ExtraFields().Count(), 2);

  TzqHttpRequestHeader request;
  request.SetHost("h");
  int changes = 0;
  request.OnChange = [&](TzqObject*) { ++changes; };
  request.Assign(source);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(request.ContentType(), "multipart/mixed");
  EXPECT_EQ(request.Boundary(), "b;1");
  EXPECT_EQ(request.Host(), "h");

  TzqStringList notAHeader;
  EXPECT_THROW(request.Assign(notAHeader), EzqConvertError);
  EXPECT_EQ(changes, 1);
}

}  // namespace
}  // namespace zq
