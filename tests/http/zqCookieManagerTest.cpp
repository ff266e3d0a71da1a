#include "http/zqCookieManager.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "codec/zqUriUtils.h"
#include "codec/zqUtils.h"
#include "core/zqError.h"
#include "core/zqStream.h"
#include "core/zqStringList.h"
#include "http/zqHeaderFieldList.h"
#include "tests/support/zqTestSupport.h"

namespace zq {
namespace {

// The cookies a response with these Set-Cookie values leaves, received from host for path.
void Receive(TzqCookieList& list, std::initializer_list<std::string> values,
             const std::string& host = "www.example.com", const std::string& path = "/docs/page?x=1", int port = 80) {
  TzqStringList lines;
  lines.Add("HTTP/1.1 200 OK");
  for (const std::string& value : values) lines.Add("Set-Cookie: " + value);
  list.ParseResponseCookies(lines, host, port, path);
}

TEST(CookieParsing, BareNameValueIsHostOnlyWithTheRequestDirectoryAsPath) {
  TzqCookieList list;
  Receive(list, {"sid=abc"});
  ASSERT_EQ(list.Count(), 1);
  const TzqCookieItem& c = *list.Items(0);
  EXPECT_EQ(c.Name, "sid");
  EXPECT_EQ(c.Value, "abc");
  EXPECT_EQ(c.Domain, "www.example.com");
  EXPECT_EQ(c.Path, "/docs");
  EXPECT_EQ(c.Expires, -1.0);
  EXPECT_EQ(c.MaxAge(), -1);
  EXPECT_EQ(c.Format, 0);
  EXPECT_EQ(c.CookieData, "sid=abc");
}

TEST(CookieParsing, ValuesKeepCommasAndQuotesAndPairsWithoutANameAreIgnored) {
  TzqCookieList list;
  Receive(list, {"a=1,2; path=/", "b=\"1,2\"; path=/", "flagonly", "=v", "c=\"x;y\"; Path=/p?q#f"});
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Items(0)->Value, "1,2");
  EXPECT_EQ(list.Items(1)->Value, "\"1,2\"");
  EXPECT_EQ(list.Items(2)->Value, "\"x");
  EXPECT_EQ(list.Items(2)->Path, "/p?q#f");
}

TEST(CookieParsing, MaxAgeWinsOverExpiresWhicheverComesFirst) {
  TzqCookieList list;
  Receive(list,
          {"a=1; Expires=Wed, 09-Jun-2021 10:18:14 GMT; Max-Age=3600", "b=2; max-age=60",
           "c=3; expires=not a date; max-age=x; version=1", "d=4; Max-Age=-5; Expires=Wed, 09-Jun-2100 10:18:14 GMT",
           "e=5; Expires=Wed, 09-Jun-2021 10:18:14 GMT"});
  ASSERT_EQ(list.Count(), 5);
  EXPECT_NEAR(list.Items(0)->Expires, Now() + 3600.0 / kSecondsPerDay, 5.0 / kSecondsPerDay);
  EXPECT_EQ(list.Items(0)->MaxAge(), 3600);
  EXPECT_NEAR(list.Items(1)->Expires, Now() + 60.0 / kSecondsPerDay, 5.0 / kSecondsPerDay);
  EXPECT_EQ(list.Items(2)->Expires, -1.0);
  EXPECT_EQ(list.Items(2)->MaxAge(), -1);
  EXPECT_EQ(list.Items(2)->Format, 1);
  EXPECT_EQ(list.Items(3)->MaxAge(), 0);
  EXPECT_TRUE(IsCookieExpired(*list.Items(3)));
  EXPECT_DOUBLE_EQ(list.Items(4)->Expires, ParseInternetDate("Wed, 09 Jun 2021 10:18:14 GMT"));
}

TEST(CookieParsing, FlagsCountOnlyAsWholeAttributesAfterTheFirstPair) {
  EXPECT_TRUE(HasCookieFlag("a=not secure; path=/; Secure", "secure"));
  EXPECT_TRUE(HasCookieFlag("a=1;secure", "secure"));
  EXPECT_FALSE(HasCookieFlag("secure=1; path=/", "secure"));
  EXPECT_FALSE(HasCookieFlag("a=1; path=/secure", "secure"));
  // Quotes and apostrophes mean nothing to the attribute split.
  EXPECT_TRUE(HasCookieFlag("a=1; comment=\"x; secure; y\"", "secure"));
  EXPECT_FALSE(HasCookieFlag("a=1; comment=\"x; secure\"", "secure"));
  EXPECT_TRUE(HasCookieFlag("a=it's; Secure", "secure"));
  EXPECT_TRUE(HasCookieFlag("a=1; secure=no", "secure"));
  EXPECT_TRUE(HasCookieFlag("a=1; HttpOnly=", "httponly"));

  TzqCookieList list;
  Receive(list, {"a=b secure; Path=/; Secure; Discard; Port"}, "www.example.com", "/", 8080);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_TRUE(list.Items(0)->Secure);
  EXPECT_TRUE(list.Items(0)->Discard);
  EXPECT_EQ(list.Items(0)->Port, "8080");
}

TEST(CookieParsing, SetCookie2AndAttributesFillEveryField) {
  TzqStringList lines{
      "Set-Cookie2: n=v; Version=1; Comment=hi; CommentURL=\"http://x/\"; Port=\"80,81\";"
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
  Receive(list,
          {"ok=1; domain=example.com", "dot=1; domain=.example.com", "other=1; domain=other.org", "tld=1; domain=com",
           "sub=1; domain=deeper.www.example.com", "tail=1; domain=ample.com", "dots=1; domain=..example.com"});
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
  // A host name with control characters or blanks is no host a cookie can belong to.
  Receive(list, {"n=1"}, std::string(".\0example.com", 13));
  EXPECT_EQ(list.Count(), 0);
  Receive(list, {"n=1"}, "www.exa mple.com");
  EXPECT_EQ(list.Count(), 0);
  Receive(list, {"n=1"}, "..example.com");
  EXPECT_EQ(list.Count(), 0);
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
  Store({"a=9; Secure"});
  EXPECT_EQ(seen, "1->9");
  EXPECT_EQ(added, 0);
  ASSERT_EQ(manager.Cookies().Count(), 2);
  EXPECT_EQ(manager.Cookies().Items(0)->Value, "9");
  EXPECT_TRUE(manager.Cookies().Items(0)->Secure);
  Store({"a=refused"});
  EXPECT_EQ(manager.Cookies().Items(0)->Value, "9");
  Store({"a=other-path; path=/x", "A=other-name"});
  EXPECT_EQ(added, 2);
  EXPECT_EQ(manager.Cookies().Count(), 4);
}

TEST_F(CookieStore, SelectionMatchesDomainPathSecureAndSortsLongerPathsFirst) {
  Store({"n=root; path=/", "n=docs; path=/docs", "s=1; secure; path=/", "d=1; domain=example.com; path=/"});
  EXPECT_EQ(Sent("www.example.com", "/docs/a"), "n=docs; n=root; d=1");
  EXPECT_EQ(Sent("www.example.com", "/docs/a", true), "n=docs; n=root; s=1; d=1");
  EXPECT_EQ(Sent("other.example.com", "/docs"), "d=1");
  EXPECT_EQ(Sent("www.example.com.evil", "/"), "<none>");
  EXPECT_EQ(Sent("www.example.com", "/docsx"), "n=root; d=1");
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
  c.Comment =
      "K\xC3\xBC"
      "chen";
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

// ---- RFC 6265 behaviour, case by case -------------------------------------------------------

struct TzqCookieCase {
  const char* title;
  std::vector<std::string> setCookies;
  const char* from;  // the URL that answered with the Set-Cookie fields
  const char* to;    // the URL of the next request
  const char* sent;  // its Cookie field, "" for none
};

const char* const kLogin = "http://www.example.com/login?next=/";
const char* const kHome = "http://www.example.com/account";

const TzqCookieCase kCookieCases[] = {
    // the name-value pair
    {"plain pair", {"a=b"}, kLogin, kHome, "a=b"},
    {"blanks around name and value", {" a \t= b\t "}, kLogin, kHome, "a=b"},
    {"quotes kept", {"a=\"b c\""}, kLogin, kHome, "a=\"b c\""},
    {"comma inside the value", {"a=1,2"}, kLogin, kHome, "a=1,2"},
    {"split at the first equals sign", {"a=b=c"}, kLogin, kHome, "a=b=c"},
    {"no equals sign", {"novalue"}, kLogin, kHome, ""},
    {"empty name", {"=b"}, kLogin, kHome, ""},
    {"empty value", {"a="}, kLogin, kHome, "a="},
    {"second pair is an attribute", {"a=b;c=d"}, kLogin, kHome, "a=b"},
    {"attributes never reach the Cookie field",
     {"a=b; path=/; Secure; domain=example.com"},
     "https://www.example.com/",
     "https://www.example.com/",
     "a=b"},
    {"a semicolon inside quotes still ends the pair", {"a=\"x;y\""}, kLogin, kHome, "a=\"x"},
    {"control character",
     {std::string("a=b\x01"
                  "c")},
     kLogin,
     kHome,
     ""},
    {"same name replaces", {"a=1", "a=2"}, kLogin, kHome, "a=2"},
    {"names are case-sensitive", {"a=1", "A=2"}, kLogin, kHome, "a=1; A=2"},
    // flags
    {"secure not over http", {"a=b; Secure"}, kLogin, kHome, ""},
    {"secure over https", {"a=b; Secure"}, kLogin, "https://www.example.com/", "a=b"},
    {"apostrophe in the value", {"a=b'; Secure"}, kLogin, kHome, ""},
    {"unbalanced quote in the value", {"a=\"b; Secure"}, kLogin, kHome, ""},
    {"secure with a value", {"a=b; secure=yes"}, kLogin, kHome, ""},
    {"secure in capitals", {"a=b; SECURE"}, kLogin, kHome, ""},
    {"httponly and secure", {"a=b; HttpOnly; Secure"}, kLogin, "https://www.example.com/", "a=b"},
    {"httponly with a value", {"a=b; httponly=1"}, kLogin, kHome, "a=b"},
    {"secure word inside the value", {"a=not secure"}, kLogin, kHome, "a=not secure"},
    {"unknown attribute", {"a=b; foo=bar; ; "}, kLogin, kHome, "a=b"},
    // repeated attributes: the last one wins
    {"last path wins (root)", {"a=b; Path=/docs; Path=/"}, kLogin, kHome, "a=b"},
    {"last path wins (docs)", {"a=b; Path=/; Path=/docs"}, kLogin, kHome, ""},
    {"last domain wins (foreign)", {"a=b; Domain=example.com; Domain=other.org"}, kLogin, kHome, ""},
    {"last domain wins (own)", {"a=b; Domain=other.org; Domain=example.com"}, kLogin, "http://x.example.com/", "a=b"},
    {"last max-age wins", {"a=b; Max-Age=0; Max-Age=100"}, kLogin, kHome, "a=b"},
    // default path
    {"default path of /login?next=/ is /", {"a=b"}, kLogin, kHome, "a=b"},
    {"default path is the directory",
     {"a=b"},
     "http://www.example.com/docs/page?x=1",
     "http://www.example.com/docs/other",
     "a=b"},
    {"default path excludes other directories",
     {"a=b"},
     "http://www.example.com/docs/page",
     "http://www.example.com/other",
     ""},
    {"default path of /docs/ is /docs", {"a=b"}, "http://www.example.com/docs/", "http://www.example.com/docs", "a=b"},
    {"default path of a deeper page",
     {"a=b"},
     "http://www.example.com/docs/sub/page",
     "http://www.example.com/docs/page",
     ""},
    {"slash in the query does not count", {"a=b"}, "http://www.example.com/a?x=/b/c", kHome, "a=b"},
    {"relative path takes the default",
     {"a=b; path=docs"},
     "http://www.example.com/x/y",
     "http://www.example.com/x/z",
     "a=b"},
    {"relative path is not the root",
     {"a=b; path=docs"},
     "http://www.example.com/x/y",
     "http://www.example.com/other",
     ""},
    {"empty path takes the default", {"a=b; Path"}, "http://www.example.com/x/y", "http://www.example.com/z", ""},
    // path match
    {"same path", {"a=b; path=/docs"}, kLogin, "http://www.example.com/docs", "a=b"},
    {"path prefix without a slash", {"a=b; path=/docs"}, kLogin, "http://www.example.com/docsx", ""},
    {"trailing slash needs it", {"a=b; path=/docs/"}, kLogin, "http://www.example.com/docs", ""},
    {"deeper request path", {"a=b; path=/docs"}, kLogin, "http://www.example.com/docs/a/b?q", "a=b"},
    {"paths are case-sensitive", {"a=b; path=/Docs"}, kLogin, "http://www.example.com/docs", ""},
    // host-only and domain cookies
    {"host-only at its host", {"a=b"}, kLogin, kHome, "a=b"},
    {"host-only not at a subdomain", {"a=b"}, kLogin, "http://sub.www.example.com/", ""},
    {"host-only not at the parent", {"a=b"}, kLogin, "http://example.com/", ""},
    {"domain cookie at the parent", {"a=b; Domain=example.com"}, kLogin, "http://example.com/", "a=b"},
    {"leading dot ignored", {"a=b; Domain=.example.com"}, kLogin, "http://other.example.com/", "a=b"},
    {"domain equal to the host reaches subdomains",
     {"a=b; Domain=www.example.com"},
     kLogin,
     "http://sub.www.example.com/",
     "a=b"},
    {"domain in capitals", {"a=b; Domain=EXAMPLE.COM"}, kLogin, "http://EXAMPLE.com/", "a=b"},
    {"empty domain is host-only", {"a=b; Domain="}, kLogin, "http://sub.www.example.com/", ""},
    {"public suffix refused", {"a=b; Domain=com"}, kLogin, kHome, ""},
    {"a public suffix naming the host itself is host-only",
     {"a=b; Domain=github.io"},
     "http://github.io/",
     "http://x.github.io/",
     ""},
    {"and still reaches that host", {"a=b; Domain=github.io"}, "http://github.io/", "http://github.io/", "a=b"},
    {"foreign domain refused", {"a=b; Domain=other.org"}, kLogin, kHome, ""},
    {"partial label refused", {"a=b; Domain=ample.com"}, kLogin, kHome, ""},
    {"host-only and domain cookie of one name both live",
     {"a=1", "a=2; Domain=example.com"},
     kLogin,
     kHome,
     "a=1; a=2"},
    {"an address is host-only", {"a=b"}, "http://127.0.0.1/", "http://127.0.0.1/x", "a=b"},
    // lifetime
    {"max-age zero", {"a=b; Max-Age=0"}, kLogin, kHome, ""},
    {"max-age negative", {"a=b; Max-Age=-1"}, kLogin, kHome, ""},
    {"max-age positive", {"a=b; Max-Age=100"}, kLogin, kHome, "a=b"},
    {"max-age not a number", {"a=b; Max-Age=1x"}, kLogin, kHome, "a=b"},
    {"expires in the past", {"a=b; Expires=Thu, 01 Jan 1970 00:00:00 GMT"}, kLogin, kHome, ""},
    {"max-age wins over a past date",
     {"a=b; Expires=Thu, 01 Jan 1970 00:00:00 GMT; Max-Age=100"},
     kLogin,
     kHome,
     "a=b"},
    {"max-age zero wins over a future date",
     {"a=b; Max-Age=0; Expires=Fri, 01 Jan 2100 00:00:00 GMT"},
     kLogin,
     kHome,
     ""},
    {"dashed date in the future", {"a=b; Expires=Wed, 09-Jun-2100 10:18:14 GMT"}, kLogin, kHome, "a=b"},
    {"two-digit year 99 is 1999", {"a=b; Expires=Wed, 09-Jun-99 10:18:14 GMT"}, kLogin, kHome, ""},
    {"two-digit year 69 is 2069", {"a=b; Expires=Sun, 09-Jun-69 10:18:14 GMT"}, kLogin, kHome, "a=b"},
    {"unreadable date leaves a session cookie", {"a=b; Expires=soon"}, kLogin, kHome, "a=b"},
    {"expired cookie deletes the stored one", {"a=1", "a=2; Max-Age=0"}, kLogin, kHome, ""},
    // order
    {"longer path first", {"a=1; path=/", "b=2; path=/docs"}, kLogin, "http://www.example.com/docs/x", "b=2; a=1"},
    {"equal paths in creation order", {"b=1", "a=2"}, kLogin, kHome, "b=1; a=2"},
    {"a replaced cookie keeps its place", {"a=1", "b=2", "a=3"}, kLogin, kHome, "a=3; b=2"},
};

std::string CookieLineFor(TzqCookieManager& manager, const std::string& url) {
  TzqUrlParser parser;
  parser.ParseUrl(url);
  TzqCookieList selected;
  manager.SelectCookies(selected, parser.Host(), parser.Scheme() == "https", parser.Port(), parser.RequestTarget());
  TzqStringList lines{"GET / HTTP/1.1"};
  selected.SetRequestCookies(lines);
  return TzqHeaderFieldList(lines).GetFieldValue("cookie");
}

void StoreFrom(TzqCookieManager& manager, const std::string& url, const std::vector<std::string>& values) {
  TzqUrlParser parser;
  parser.ParseUrl(url);
  TzqStringList lines{"HTTP/1.1 200 OK"};
  for (const std::string& value : values) lines.Add("Set-Cookie: " + value);
  TzqCookieList received;
  received.ParseResponseCookies(lines, parser.Host(), parser.Port(), parser.RequestTarget());
  manager.StoreCookies(received);
}

TEST(CookieRfc6265, EachCaseSendsWhatTheRulesSay) {
  for (const TzqCookieCase& c : kCookieCases) {
    TzqCookieManager manager;
    StoreFrom(manager, c.from, c.setCookies);
    EXPECT_EQ(CookieLineFor(manager, c.to), c.sent) << c.title;
  }
}

TEST(CookieRfc6265, DatesInEveryFormServersUse) {
  const TzqDateTime expected = EncodeDateTime(1994, 11, 6, 8, 49, 37, 0);
  for (const char* text :
       {"Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT", "Sun Nov  6 08:49:37 1994",
        "06-nov-1994 08:49:37", "Sun, 6 Nov 1994 8:49:37 +0000", "1994 Nov 6 08:49:37th"}) {
    TzqDateTime date = 0;
    ASSERT_TRUE(ParseCookieDate(text, date)) << text;
    EXPECT_DOUBLE_EQ(date, expected) << text;
  }
  TzqDateTime date = 0;
  ASSERT_TRUE(ParseCookieDate("Thu, 01-Jan-70 00:00:00 GMT", date));
  EXPECT_DOUBLE_EQ(date, kUnixDateDelta);
  ASSERT_TRUE(ParseCookieDate("Sat, 01-Jan-00 00:00:00 GMT", date));
  EXPECT_DOUBLE_EQ(date, EncodeDate(2000, 1, 1));
  for (const char* text :
       {"", "Sun, 31 Feb 1994 08:49:37 GMT", "Sun, 06 Nov 1994 24:00:00 GMT", "Sun, 06 Nov 1600 08:49:37 GMT",
        "Sun, 06 Nov 1994", "06 Nov 1994 08:49", "Sun, 06 Xyz 1994 08:49:37 GMT", "Sun, 123 Nov 1994 08:49:37 GMT"})
    EXPECT_FALSE(ParseCookieDate(text, date)) << text;
}

TEST(CookieLimits, ManyCookiesInOneResponseKeepTheNewestFiftyAndTheLineStaysShort) {
  TzqStringList lines{"HTTP/1.1 200 OK"};
  for (int i = 0; i < 40000; ++i) lines.Add("Set-Cookie: c" + std::to_string(i) + "=value" + std::to_string(i));
  TzqCookieList received;
  received.ParseResponseCookies(lines, "www.example.com", 80, "/");
  ASSERT_EQ(received.Count(), 40000);
  TzqCookieManager manager;
  manager.StoreCookies(received);
  EXPECT_EQ(manager.Cookies().Count(), 50);
  const std::string line = CookieLineFor(manager, "http://www.example.com/");
  EXPECT_EQ(std::count(line.begin(), line.end(), '='), 50);
  EXPECT_EQ(line.substr(0, line.find(';')), "c39950=value39950");
}

TEST(CookieLimits, OversizedCookiesAreIgnoredAndTheStoreDropsItsOldest) {
  const std::string name = "big=";
  TzqCookieList received;
  Receive(received, {name + std::string(4096 - name.size(), 'x'), name + std::string(4097 - name.size(), 'x')});
  ASSERT_EQ(received.Count(), 1);
  EXPECT_EQ(received.Items(0)->CookieData.size(), 4096u);

  TzqCookieManager manager;
  std::vector<std::string> values;
  for (int i = 0; i < 50; ++i) values.push_back("c" + std::to_string(i) + "=1");
  for (int host = 0; host < 61; ++host) StoreFrom(manager, "http://h" + std::to_string(host) + ".example.com/", values);
  EXPECT_EQ(manager.Cookies().Count(), 3000);
  EXPECT_EQ(CookieLineFor(manager, "http://h0.example.com/"), "");
  EXPECT_NE(CookieLineFor(manager, "http://h1.example.com/"), "");
}

// A list saved before host-only cookies existed: every Domain carries a dot.
TEST(CookieStoredForm, ListsSavedBeforeHostOnlyCookiesStillLoadAndMatchAsBefore) {
  std::ifstream file(test::DataPath("http/cookie-list-v1.bin"), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(bytes.empty());
  TzqMemoryStream stream;
  stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  stream.SetPosition(0);
  TzqCookieManager manager;
  manager.Cookies().LoadFromStream(stream);
  ASSERT_EQ(manager.Cookies().Count(), 3);
  EXPECT_EQ(manager.Cookies().Items(0)->Domain, ".www.example.com");
  EXPECT_EQ(CookieLineFor(manager, "https://sub.www.example.com/login"), "sid=abc; d=1");
  EXPECT_EQ(CookieLineFor(manager, "http://www.example.com/docs/a"), "e=2");

  TzqMemoryStream again;
  manager.Cookies().SaveToStream(again);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(again.Memory()), static_cast<size_t>(again.Size())), bytes);
}

TEST(CookieStoredForm, HostOnlySurvivesSaveAndLoad) {
  TzqCookieManager first;
  StoreFrom(first, kLogin, {"h=1", "d=2; Domain=example.com"});
  TzqMemoryStream stream;
  first.Cookies().SaveToStream(stream);
  stream.SetPosition(0);
  TzqCookieManager second;
  second.Cookies().LoadFromStream(stream);
  EXPECT_EQ(CookieLineFor(second, kHome), "h=1; d=2");
  EXPECT_EQ(CookieLineFor(second, "http://sub.www.example.com/"), "d=2");
}

}  // namespace
}  // namespace zq
