#include "http/zqHttp.h"

#include <gtest/gtest.h>

namespace zq {
namespace {

TEST(HttpClient, DefaultsAndRedirectMethods) {
  TzqHttp client;
  EXPECT_EQ(client.Port(), 80);
  EXPECT_TRUE(client.TLSFlags() == (TzqTlsFlags{tfUseSSL3, tfUseTLS, tfUseTLS11, tfUseTLS12, tfUseTLS13}));
  EXPECT_EQ(client.HttpVersion(), hvHttp1_1);
  EXPECT_EQ(client.UserAgent(), "Mozilla/4.0 (compatible; Quorvex)");
  EXPECT_EQ(client.MaxRedirects(), 15);
  EXPECT_EQ(client.MaxAuthRetries(), 5);
  EXPECT_TRUE(client.KeepConnection() && client.AllowCaching() && client.AllowRedirects() && client.AllowCookies() &&
              client.AllowCompression());
  EXPECT_FALSE(client.SilentHTTP() || client.Expect100Continue());
  EXPECT_EQ(client.ProxySettings().Port(), 8080);
  EXPECT_EQ(client.GetRedirectMethod(302, "POST"), "GET");
  EXPECT_EQ(client.GetRedirectMethod(303, "PUT"), "GET");
  EXPECT_EQ(client.GetRedirectMethod(307, "POST"), "POST");
  EXPECT_EQ(client.GetRedirectMethod(301, "POST"), "POST");
  EXPECT_EQ(client.GetRedirectMethod(302, "HEAD"), "HEAD");  // a HEAD never turns into a download
}

TEST(HttpClient, ReferencedComponentsAreForgottenWhenFreed) {
  TzqHttp client;
  int changes = 0;
  client.OnChanged = [&](TzqObject*) { ++changes; };
  {
    TzqHttpRequest request;
    TzqCookieManager cookies;
    client.SetRequest(&request);
    client.SetCookieManager(&cookies);
    EXPECT_EQ(client.Request(), &request);
    EXPECT_EQ(changes, 2);
  }
  EXPECT_EQ(client.Request(), nullptr);
  EXPECT_EQ(client.CookieManager(), nullptr);
  client.SetKeepConnection(true);  // unchanged: no notification
  EXPECT_EQ(changes, 2);
}

}  // namespace
}  // namespace zq
