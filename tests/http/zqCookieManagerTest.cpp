#include "http/zqCookieManager.h"

#include <gtest/gtest.h>

#include "codec/zqUtils.h"
#include "core/zqError.h"
#include "core/zqStream.h"
#include "core/zqStringList.h"
#include "http/zqHeaderFieldList.h"
#include "tests/support/zqTestSupport.h"

namespace zq {
namespace {

// The cookies a response with these Set-Cookie values leaves, received from host for path.
void Receive(TzqCookieList& list, std::initializer_list<std::string> values, const std::string& host = "www.example.com",
             const std::string& path = "/docs/page?x=1", int port = 80) {
  TzqStringList lines;
  lines.Add("HTTP/1.1 200 OK");
  for (const std::string& value : values) lines.Add("Set-Cookie: " + value);
  list.ParseResponseCookies(lines, host, port, path);
}

TEST(CookieParsing, BareNameValueTakesHostAndRequestUriAsDefaults) {
  TzqCookieList list;
  Receive(list, {"sid=abc"});
  ASSERT_EQ(list.Count(), 1);
  const TzqCookieItem& c = *list.Items(0);
  EXPECT_EQ(c.Name, "sid");
  EXPECT_EQ(c.Value, "abc");
  EXPECT_EQ(c.Domain, ".www.example.com");
  EXPECT_EQ(c.Path, "/docs/page?x=1");
  EXPECT_EQ(c.Expires, -1.0);
  EXPECT_EQ(c.MaxAge(), -1);
  EXPECT_EQ(c.Format, 0);
  EXPECT_EQ(c.CookieData, "sid=abc");
}

TEST(CookieParsing, ValuesStopAtUnquotedCommasAndQuotedOnesLoseTheirQuotes) {
  TzqCookieList list;
  Receive(list, {"a=1,2; path=/", "b=\"1,2\"; path=/", "flagonly"});
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Items(0)->Value, "1");
  EXPECT_EQ(list.Items(1)->Value, "1,2");
  EXPECT_EQ(list.Items(2)->Name, "flagonly");
  EXPECT_EQ(list.Items(2)->Value, "");
}

TEST(CookieParsing, ExpiresComesFromTheDateAndMaxAgeOnlyFromItsOwnAttribute) {
  TzqCookieList list;
  Receive(list, {"a=1; Expires=Wed, 09-Jun-2021 10:18:14 GMT; Max-Age=3600", "b=2; max-age=60",
                 "c=3; expires=not a date; max-age=x; version=1"});
  ASSERT_EQ(list.Count(), 3);
  EXPECT_DOUBLE_EQ(list.Items(0)->Expires, ParseInternetDate("Wed, 09 Jun 2021 10:18:14 GMT"));
  EXPECT_EQ(list.Items(0)->MaxAge(), 3600);
  EXPECT_NEAR(list.Items(1)->Expires, Now() + 60.0 / kSecondsPerDay, 5.0 / kSecondsPerDay);
  EXPECT_EQ(list.Items(2)->Expires, -1.0);
  EXPECT_EQ(list.Items(2)->MaxAge(), -1);
  EXPECT_EQ(list.Items(2)->Format, 1);
}

TEST(CookieParsing, FlagsCountOnlyAsWholeAttributesAfterTheFirstPair) {
  EXPECT_TRUE(HasCookieFlag("a=not secure; path=/; Secure", "secure"));
  EXPECT_TRUE(HasCookieFlag("a=1;secure", "secure"));
  EXPECT_FALSE(HasCookieFlag("secure=1; path=/", "secure"));
  EXPECT_FALSE(HasCookieFlag("a=1; path=/secure", "secure"));
  EXPECT_FALSE(HasCookieFlag("a=1; comment=\"x; secure\"", "secure"));

  TzqCookieList list;
  Receive(list, {"a=b secure; Path=/; Secure; Discard; Port"}, "www.example.com", "/", 8080);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_TRUE(list.Items(0)->Secure);
  EXPECT_TRUE(list.Items(0)->Discard);
  EXPECT_EQ(list.Items(0)->Port, "8080");
}

TEST(CookieParsing, SetCookie2AndAttributesFillEveryField) {
  TzqStringList lines{"Set-Cookie2: n=v; Version=1; Comment=hi; CommentURL=\"http://x/\"; Port=\"80,81\";"
                      " Domain=example.com; Path=/p"};
  TzqCookieList list;
  list.ParseResponseCookies(lines, "a.example.com", 80, "/");
  ASSERT_EQ(list.Count(), 1);
  const TzqCookieItem& c = *list.Items(0);
  EXPECT_EQ(c.Format, 2);
  EXPECT_EQ(c.Version, 1);
  EXPECT_EQ(c.Comment, "hi");
  EXPECT_EQ(c.CommentURL, "http://x/");
  EXPECT_EQ(c.Port, "80,81");
  EXPECT_EQ(c.Domain, ".example.com");
  EXPECT_EQ(c.Path, "/p");
}

TEST(CookieParsing, DomainsOutsideTheHostAndPublicSuffixesAreDropped) {
  TzqCookieList list;
  Receive(list, {"ok=1; domain=example.com", "dot=1; domain=.example.com", "other=1; domain=other.org",
                 "tld=1; domain=com", "sub=1; domain=deeper.www.example.com", "tail=1; domain=ample.com"});
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Items(0)->Name, "ok");
  EXPECT_EQ(list.Items(1)->Name, "dot");

  Receive(list, {"uk=1; domain=co.uk", "site=1; domain=example.co.uk"}, "www.example.co.uk");
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.Items(0)->Name, "site");

  // A host-only cookie of a single-label host and of an address is fine; a suffix of an address is not.
  Receive(list, {"l=1"}, "localhost");
  EXPECT_EQ(list.Count(), 1);
  Receive(list, {"ip=1", "part=1; domain=0.0.1"}, "127.0.0.1");
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.Items(0)->Name, "ip");
}

TEST(CookieRules, DomainMatchFollowsRfc6265) {
  EXPECT_TRUE(CookieDomainMatches(".example.com", "www.example.com"));
  EXPECT_TRUE(CookieDomainMatches("example.com", "EXAMPLE.com"));
  EXPECT_TRUE(CookieDomainMatches(".example.com", "a.b.example.com"));
  EXPECT_FALSE(CookieDomainMatches(".example.com", "badexample.com"));
  EXPECT_FALSE(CookieDomainMatches(".example.com", "example.com.evil.org"));
  EXPECT_FALSE(CookieDomainMatches(".d", "a.d.example"));
  EXPECT_FALSE(CookieDomainMatches(".local", "www.example.com"));
  EXPECT_FALSE(CookieDomainMatches(".www.example.com", "example.com"));
  EXPECT_TRUE(CookieDomainMatches(".192.168.0.1", "192.168.0.1"));
  EXPECT_FALSE(CookieDomainMatches(".168.0.1", "192.168.0.1"));
  EXPECT_TRUE(IsPublicSuffix("com"));
  EXPECT_TRUE(IsPublicSuffix(".co.uk"));
  EXPECT_FALSE(IsPublicSuffix("example.co.uk"));
  EXPECT_FALSE(IsPublicSuffix("localhost"));
}

TEST(CookieRules, PathMatchFollowsRfc6265) {
  EXPECT_TRUE(CookiePathMatches("/", "/anything"));
  EXPECT_TRUE(CookiePathMatches("/docs", "/docs"));
  EXPECT_TRUE(CookiePathMatches("/docs", "/docs/"));
  EXPECT_TRUE(CookiePathMatches("/docs", "/docs/web?q=1"));
  EXPECT_TRUE(CookiePathMatches("/docs/", "/docs/web"));
  EXPECT_FALSE(CookiePathMatches("/docs/", "/docs"));
  EXPECT_FALSE(CookiePathMatches("/docs", "/docsx"));
  EXPECT_FALSE(CookiePathMatches("/docs", "/other/docs"));
  EXPECT_FALSE(CookiePathMatches("/Docs", "/docs"));
  EXPECT_TRUE(CookiePathMatches("/a?x=1", "/a?x=2"));
}

TEST(CookieRules, PortListPiecesAreNotTrimmed) {
  EXPECT_TRUE(CookiePortMatches("", 1234));
  EXPECT_TRUE(CookiePortMatches("80,8080", 8080));
  EXPECT_FALSE(CookiePortMatches("80, 8080", 8080));
  EXPECT_FALSE(CookiePortMatches("8080", 80));
}

class CookieStore : public ::testing::Test {
protected:
  void Store(std::initializer_list<std::string> values, const std::string& host = "www.example.com",
             const std::string& path = "/") {
    TzqCookieList received;
    Receive(received, values, host, path);
    manager.StoreCookies(received);
  }
  std::string Sent(const std::string& host, const std::string& path, bool secure = false, int port = 80) {
    TzqCookieList selected;
    manager.SelectCookies(selected, host, secure, port, path);
    TzqStringList lines{"GET / HTTP/1.1", "Cookie: from-the-application=1"};
    selected.SetRequestCookies(lines);
    TzqHeaderFieldList fields(lines);
    return fields.IndexOfField("cookie") < 0 ? "<none>" : fields.GetFieldValue("cookie");
  }
  TzqCookieManager manager;
};

TEST_F(CookieStore, ExpiredCookiesDeleteTheStoredOneWhenAllowed) {
  Store({"a=1", "b=2"});
  std::vector<std::string> deleted;
  bool allowDelete = false;
  manager.OnDeleteCookie = [&](TzqObject*, TzqCookieItem* c, bool& allow) {
    deleted.push_back(c->Name + "=" + c->Value);
    allow = allowDelete;
  };
  Store({"a=x; max-age=0"});
  EXPECT_EQ(deleted, std::vector<std::string>{"a=1"});
  EXPECT_EQ(manager.Cookies().Count(), 2);
  allowDelete = true;
  Store({"a=x; max-age=0"});
  ASSERT_EQ(manager.Cookies().Count(), 1);
  EXPECT_EQ(manager.Cookies().Items(0)->Name, "b");

  // New and already expired: stored, then swept before the next selection.
  Store({"c=3; expires=Wed, 09 Jun 2021 10:18:14 GMT"});
  EXPECT_EQ(manager.Cookies().Count(), 2);
  EXPECT_EQ(Sent("www.example.com", "/"), "b=2");
  EXPECT_EQ(manager.Cookies().Count(), 1);
}

TEST_F(CookieStore, SameNameDomainAndPathUpdatesInPlaceUnlessRefused) {
  Store({"a=1", "b=2"});
  int added = 0;
  manager.OnAddCookie = [&](TzqObject*, TzqCookieItem*, bool&) { ++added; };
  std::string seen;
  manager.OnUpdateCookie = [&](TzqObject*, TzqCookieItem* old, TzqCookieItem* fresh, bool& allow) {
    seen = old->Value + "->" + fresh->Value;
    allow = fresh->Value != "refused";
  };
  Store({"A=9; Secure"});
  EXPECT_EQ(seen, "1->9");
  EXPECT_EQ(added, 0);
  ASSERT_EQ(manager.Cookies().Count(), 2);
  EXPECT_EQ(manager.Cookies().Items(0)->Value, "9");
  EXPECT_TRUE(manager.Cookies().Items(0)->Secure);
  Store({"a=refused"});
  EXPECT_EQ(manager.Cookies().Items(0)->Value, "9");
  Store({"a=other-path; path=/x"});
  EXPECT_EQ(added, 1);
  EXPECT_EQ(manager.Cookies().Count(), 3);
}

TEST_F(CookieStore, SelectionMatchesDomainPathSecureAndSortsLongerPathsFirst) {
  Store({"n=root; path=/", "n=docs; path=/docs", "s=1; secure; path=/", "d=1; domain=example.com; path=/"});
  EXPECT_EQ(Sent("www.example.com", "/docs/a"), "d=1; n=docs; n=root");
  EXPECT_EQ(Sent("www.example.com", "/docs/a", true), "d=1; n=docs; n=root; s=1");
  EXPECT_EQ(Sent("other.example.com", "/docs"), "d=1");
  EXPECT_EQ(Sent("www.example.com.evil", "/"), "<none>");
  EXPECT_EQ(Sent("www.example.com", "/docsx"), "d=1; n=root");
}

TEST_F(CookieStore, AcceptEventSeesTheMatchResultAndDecides) {
  Store({"a=1; path=/docs", "b=2"});
  std::vector<std::string> calls;
  manager.OnAcceptCookie = [&](TzqObject*, TzqCookieItem* c, const std::string& domain, const std::string& path,
                               int port, bool secure, bool& allow) {
    calls.push_back(c->Name + (allow ? "+" : "-") + domain + path + std::to_string(port) + (secure ? "s" : ""));
    allow = !allow;
  };
  EXPECT_EQ(Sent("www.example.com", "/x", true, 443), "a=1");
  EXPECT_EQ(calls, (std::vector<std::string>{"a-www.example.com/x443s", "b+www.example.com/x443s"}));
}

TEST(CookieRequest, NoCookiesRemoveTheApplicationsField) {
  TzqCookieList none;
  TzqStringList lines{"GET / HTTP/1.1", "Cookie: x=1", "Host: h", "cookie: y=2"};
  none.SetRequestCookies(lines);
  EXPECT_EQ(lines.Text(), "GET / HTTP/1.1\r\nHost: h\r\n");
}

// ---- stored form ---------------------------------------------------------------------------

void FillEveryField(TzqCookieItem& c, const std::string& tag) {
  c.Secure = true;
  c.Value = "v\xC3\xA4lue" + tag;
  c.Expires = 45000.25;
  c.Name = "name" + tag;
  c.Domain = ".example.com";
  c.Path = "/p\xE2\x82\xAC";
  c.CookieData = std::string(300, 'd');
  c.Discard = true;
  c.SetMaxAge(int64_t{5000000000});
  c.Version = 1;
  c.Port = "80,8080";
  c.CommentURL = "http://example.com/c";
  c.Comment = "K\xC3\xBC" "chen";
  c.Format = 2;
}

void ExpectSameFields(const TzqCookieItem& a, const TzqCookieItem& b) {
  EXPECT_EQ(a.Secure, b.Secure);
  EXPECT_EQ(a.Value, b.Value);
  EXPECT_EQ(a.Expires, b.Expires);
  EXPECT_EQ(a.Name, b.Name);
  EXPECT_EQ(a.Domain, b.Domain);
  EXPECT_EQ(a.Path, b.Path);
  EXPECT_EQ(a.CookieData, b.CookieData);
  EXPECT_EQ(a.Discard, b.Discard);
  EXPECT_EQ(a.MaxAge(), b.MaxAge());
  EXPECT_EQ(a.Version, b.Version);
  EXPECT_EQ(a.Port, b.Port);
  EXPECT_EQ(a.CommentURL, b.CommentURL);
  EXPECT_EQ(a.Comment, b.Comment);
  EXPECT_EQ(a.Format, b.Format);
}

TEST(CookieStoredForm, SaveAndLoadReproduceEveryFieldWithUtf8Texts) {
  TzqCookieList saved;
  FillEveryField(*saved.Add(), "1");
  saved.Add()->Name = "plain";
  TzqMemoryStream stream;
  saved.SaveToStream(stream);
  const std::string bytes(reinterpret_cast<const char*>(stream.Memory()), static_cast<size_t>(stream.Size()));
  // The non-ASCII value goes out as tag 20 with its UTF-8 bytes.
  EXPECT_NE(bytes.find(std::string("\x14\x07\x00\x00\x00v\xC3\xA4lue1", 12)), std::string::npos);

  stream.SetPosition(0);
  TzqCookieList loaded;
  loaded.LoadFromStream(stream);
  EXPECT_EQ(stream.Position(), stream.Size());
  ASSERT_EQ(loaded.Count(), 2);
  ExpectSameFields(*loaded.Items(0), *saved.Items(0));
  ExpectSameFields(*loaded.Items(1), *saved.Items(1));
  EXPECT_EQ(loaded.Items(1)->Index(), 1);
}

TEST(CookieStoredForm, TruncatedOrMalformedListsRaiseAndAddNothing) {
  TzqCookieList saved;
  FillEveryField(*saved.Add(), "1");
  FillEveryField(*saved.Add(), "2");
  TzqMemoryStream full;
  saved.SaveToStream(full);
  const uint8_t* data = full.Memory();

  TzqCookieList target;
  target.Add()->Name = "kept";
  for (int64_t size = 0; size < full.Size(); ++size) {
    TzqMemoryStream cut;
    cut.WriteBuffer(data, size);
    cut.SetPosition(0);
    EXPECT_THROW(target.LoadFromStream(cut), EzqError) << "size " << size;
    ASSERT_EQ(target.Count(), 1);
    EXPECT_EQ(target.Items(0)->Name, "kept");
  }

  TzqMemoryStream badTag;
  badTag.WriteBuffer(data, full.Size());
  badTag.SetPosition(2);  // the first item's Format
  const uint8_t wrong = 7;
  badTag.WriteBuffer(&wrong, 1);
  badTag.SetPosition(0);
  try {
    target.LoadFromStream(badTag);
    FAIL() << "a bad tag was accepted";
  } catch (const EzqError& e) {
    EXPECT_STREQ(e.what(), "Invalid property value");
  }
  EXPECT_EQ(target.Count(), 1);

  TzqMemoryStream negative;
  const uint8_t minusOne[] = {2, 0xFF};
  negative.WriteBuffer(minusOne, 2);
  negative.SetPosition(0);
  EXPECT_THROW(target.LoadFromStream(negative), EzqError);
  EXPECT_EQ(target.Count(), 1);
}

}  // namespace
}  // namespace zq
