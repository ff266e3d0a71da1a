// Status-line parsing, header-line helpers, proxy settings and the tunnel's properties.

#include <gtest/gtest.h>

#include "core/zqError.h"
#include "http/zqHttpProxy.h"
#include "http/zqHttpUtils.h"
#include "tests/http/zqHttpTestSupport.h"

namespace zq {
namespace {

using test::LinesOf;

TzqByteArray Bytes(const std::string& text) { return TzqByteArray(text.begin(), text.end()); }

TEST(HttpUtils, StatusLineIsReadPartByPartWithPositionsOnTheSeparators) {
  const TzqByteArray line = Bytes("http/1.1 407 Proxy Authentication Required \r\nVia: x\r\n");
  int64_t position = 0;
  EXPECT_EQ(TzqHttpUtils::ParseStatusVersion(line, position, hvHttp1_0), hvHttp1_1);
  EXPECT_EQ(position, 8);
  ++position;
  EXPECT_EQ(TzqHttpUtils::ParseStatusCode(line, position), 407);
  EXPECT_EQ(position, 12);
  ++position;
  EXPECT_EQ(TzqHttpUtils::ParseStatusText(line, position), "Proxy Authentication Required");
  EXPECT_EQ(position, 44);
}

TEST(HttpUtils, StatusPartsWithoutTheirSeparatorOrValue) {
  int64_t position = 0;
  EXPECT_EQ(TzqHttpUtils::ParseStatusVersion(Bytes("HTTP/1.1"), position, hvHttp1_0), hvHttp1_0);
  EXPECT_EQ(position, 0);
  EXPECT_EQ(TzqHttpUtils::ParseStatusVersion(Bytes("HTTP/2.0 200 OK"), position, hvHttp1_0), hvHttp1_0);
  EXPECT_EQ(position, 8);
  position = 0;
  EXPECT_EQ(TzqHttpUtils::ParseStatusCode(Bytes("200"), position), 0);
  EXPECT_EQ(position, 0);
  EXPECT_EQ(TzqHttpUtils::ParseStatusCode(Bytes("2x0 OK"), position), 0);
  EXPECT_EQ(position, 3);
  // No line feed, or one only at index 0: the rest of the buffer, trimmed.
  position = 4;
  EXPECT_EQ(TzqHttpUtils::ParseStatusText(Bytes("200  Connection established  "), position), "Connection established");
  EXPECT_EQ(position, 29);
  position = 0;
  EXPECT_EQ(TzqHttpUtils::ParseStatusText(Bytes("\nOK\n"), position), "OK");
  EXPECT_EQ(position, 4);
  position = 99;
  EXPECT_EQ(TzqHttpUtils::ParseStatusText(Bytes("OK"), position), "");
  EXPECT_EQ(position, 2);
}

TEST(HttpUtils, HeaderLines) {
  TzqMemoryStream stream(std::string_view("xxHTTP/1.0 200 OK\r\nA: 1\nB: 2\r\n\r\ntunnel"));
  stream.SetPosition(2);
  TzqStringList lines;
  TzqHttpUtils::ReadHeaderLines(stream, 30, lines);
  EXPECT_EQ(LinesOf(lines), (std::vector<std::string>{"HTTP/1.0 200 OK", "A: 1", "B: 2", ""}));
  EXPECT_EQ(stream.Position(), 32);
  TzqHttpUtils::ReadHeaderLines(stream, 100, lines);
  EXPECT_EQ(LinesOf(lines), (std::vector<std::string>{"tunnel"}));
}

TEST(HttpUtils, HeaderTextWithLineBreaksOrNulIsRefusedByName) {
  EXPECT_NO_THROW(TzqHttpUtils::CheckHeaderText("a value; with \"quotes\"\t", "x"));
  for (const std::string& bad : {std::string("a\rb"), std::string("a\nb"), std::string("a\0b", 3)}) {
    try {
      TzqHttpUtils::CheckHeaderText(bad, "the agent");
      ADD_FAILURE() << "accepted";
    } catch (const EzqHttpError& e) {
      EXPECT_EQ(std::string(e.what()), "A CR, LF or NUL character cannot go into a request header: the agent");
    }
  }
  // A line is named by its field, never by its value, which may be a secret.
  try {
    TzqHttpUtils::CheckHeaderLines(TzqStringList{"GET / HTTP/1.1", "Authorization: Basic c2VjcmV0\r"});
    ADD_FAILURE() << "accepted";
  } catch (const EzqHttpError& e) {
    EXPECT_EQ(std::string(e.what()), "A CR, LF or NUL character cannot go into a request header: Authorization");
  }
}

TEST(HttpUtils, StartLinesAreDroppedAndFieldsReplaced) {
  TzqStringList lines{"GET / HTTP/1.1", "Host: a", "", ""};
  TzqHttpUtils::DropStartLine(lines);
  TzqHttpUtils::DropStartLine(lines);
  EXPECT_EQ(LinesOf(lines), (std::vector<std::string>{"Host: a", "", ""}));
  TzqStringList timed{"X-When: 10:00 today", "NoSpace:a b"};
  TzqHttpUtils::DropStartLine(timed);  // no space before the colon: a field
  EXPECT_EQ(timed.Count(), 2);
  TzqStringList status{"HTTP/1.0 200 OK"};
  TzqHttpUtils::DropStartLine(status);
  EXPECT_TRUE(status.Empty());

  TzqHttpUtils::SetHeaderField("Proxy-Authorization", "Basic a", lines);
  TzqHttpUtils::SetHeaderField("Accept", "*/*", lines);
  TzqHttpUtils::SetHeaderField("proxy-authorization", "Basic b", lines);
  EXPECT_EQ(LinesOf(lines), (std::vector<std::string>{"Host: a", "Accept: */*", "proxy-authorization: Basic b"}));
  TzqHttpUtils::SetHeaderField("Accept", "", lines);
  EXPECT_EQ(LinesOf(lines), (std::vector<std::string>{"Host: a", "proxy-authorization: Basic b"}));
}

// Every field set away from its default.
void FillProxySettings(TzqHttpProxySettings& settings) {
  settings.SetServer("proxy");
  settings.SetPort(3128);
  settings.SetUserName("u");
  settings.SetPassword("p");
  settings.SetAuthorizationType(atBasic);
}

TEST(HttpProxySettings, DefaultsAndAssign) {
  TzqHttpProxySettings settings;
  EXPECT_EQ(settings.AuthorizationType(), atAutoDetect);
  EXPECT_EQ(settings.Port(), 8080);
  FillProxySettings(settings);
  TzqHttpProxySettings copy;
  copy.Assign(settings);
  EXPECT_EQ(copy.Server(), "proxy");
  EXPECT_EQ(copy.Port(), 3128);
  EXPECT_EQ(copy.UserName(), "u");
  EXPECT_EQ(copy.Password(), "p");
  EXPECT_EQ(copy.AuthorizationType(), atBasic);
  EXPECT_THROW(copy.Assign(TzqStringList{}), EzqConvertError);
  copy.ResetDefaults();
  EXPECT_EQ(copy.Server(), "");
  EXPECT_EQ(copy.Port(), 8080);
}

TEST(HttpProxy, DefaultsAndChangeNotification) {
  TzqHttpProxy proxy;
  EXPECT_EQ(proxy.Port(), 8080);
  EXPECT_EQ(proxy.RequestVersion(), hvHttp1_0);
  EXPECT_EQ(proxy.AuthorizationType(), atAutoDetect);
  EXPECT_EQ(proxy.UserAgent(), "Mozilla/4.0 (compatible; Quorvex)");
  EXPECT_EQ(proxy.MaxAuthRetries(), 5);
  EXPECT_EQ(proxy.StatusCode(), 0);
  TzqStringList written;
  proxy.RequestHeader().WriteHeader(written);
  EXPECT_TRUE(written.Empty());
  int changes = 0;
  proxy.OnChanged = [&](TzqObject*) { ++changes; };
  proxy.SetMaxAuthRetries(5);
  proxy.SetRequestVersion(hvHttp1_0);
  EXPECT_EQ(changes, 0);
  proxy.SetMaxAuthRetries(1);
  proxy.SetRequestVersion(hvHttp1_1);
  proxy.SetUserName("u");
  proxy.SetUserName("u");
  EXPECT_EQ(changes, 3);
}

TEST(HttpProxy, TakesAClientsProxySettingsWhole) {
  TzqHttpProxySettings settings;
  FillProxySettings(settings);
  TzqHttpProxy proxy;
  proxy.SetSettings(settings);
  EXPECT_EQ(proxy.Server(), "proxy");
  EXPECT_EQ(proxy.Port(), 3128);
  EXPECT_EQ(proxy.UserName(), "u");
  EXPECT_EQ(proxy.Password(), "p");
  EXPECT_EQ(proxy.AuthorizationType(), atBasic);

  int changes = 0;
  proxy.OnChanged = [&](TzqObject*) { ++changes; };
  proxy.SetSettings(settings);
  EXPECT_EQ(changes, 0);
  settings.SetPassword("q");
  proxy.SetSettings(settings);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(proxy.Password(), "q");
}

}  // namespace
}  // namespace zq
