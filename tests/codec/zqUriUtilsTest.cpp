#include "codec/zqUriUtils.h"

#include <gtest/gtest.h>

#include "codec/zqIdnTranslator.h"
#include "core/zqCodePage.h"
#include "tests/support/zqTestSupport.h"

namespace zq {
namespace {

using test::CodePageScope;

TzqUrlParser Parsed(std::string_view url) {
  TzqUrlParser parser;
  parser.ParseUrl(url);
  return parser;
}

std::string Resolved(std::string_view base, std::string_view reference) {
  TzqUrlParser parser;
  parser.ParseRelativeUrl(base, reference);
  return parser.FullUrl();
}

TEST(UrlEncoder, EscapesUnsafeBytesAndKeepsExistingEscapes) {
  TzqUrlEncoder encoder;
  EXPECT_EQ(encoder.Encode("a b", ""), "a%20b");
  EXPECT_EQ(encoder.Encode("100%", ""), "100%25");
  EXPECT_EQ(encoder.Encode("\xE9", ""), "%E9");
  EXPECT_EQ(encoder.Encode("a%2fb%41", ""), "a%2fb%41");
  // An escape needs two hex digits inside the text.
  EXPECT_EQ(encoder.Encode("%4", ""), "%254");
  EXPECT_EQ(encoder.Encode("%4G", ""), "%254G");
  EXPECT_EQ(encoder.Encode(" <>\"#%{}|\\^~[]`", ""), "%20%3C%3E%22%23%25%7B%7D%7C%5C%5E%7E%5B%5D%60");
  EXPECT_EQ(encoder.Encode(std::string("\x01\x1F\x7F", 3), ""), "%01%1F%7F");
  EXPECT_EQ(encoder.Encode("/a-b_c.d?e=f&g;h:i@j!k*l'm(n)o+p,q$r", ""), "/a-b_c.d?e=f&g;h:i@j!k*l'm(n)o+p,q$r");
}

TEST(UrlEncoder, ConvertsToTheCharsetBeforeEscaping) {
  CodePageScope codePage(CP_WINDOWS1252);
  EXPECT_EQ(TzqUrlEncoder::EncodeUrlText("caf\xE9 au lait", "utf-8"), "caf%C3%A9%20au%20lait");
  EXPECT_EQ(TzqUrlEncoder::EncodeUrlText("caf\xE9", ""), "caf%E9");
  EXPECT_EQ(TzqUrlEncoder::EncodeUrlText("", "utf-8"), "");
}

TEST(UrlEncoder, TableCharsetsEncodeUtf8Text) {
  EXPECT_EQ(TzqUrlEncoder::EncodeUrlText("café", "iso-8859-1"), "caf%E9");
  EXPECT_EQ(TzqUrlEncoder::EncodeUrlText("пример", "koi8-r"), "%D0%D2%C9%CD%C5%D2");
  TzqUrlParser parser("windows-1251");
  parser.ParseUrl("http://h/п?q=я");
  EXPECT_EQ(parser.RequestTarget(), "/%EF?q=%FF");
  EXPECT_EQ(TzqFormFieldEncoder().Decode("%EF+%FF", "windows-1251"), "п я");
}

TEST(UrlParser, ParseUrlFillsEveryPartAndComposesTheSameText) {
  const std::string url = "https://user:pw@h:8443/a/b?x=1#top";
  const TzqUrlParser parser = Parsed(url);
  EXPECT_EQ(parser.Scheme(), "https");
  EXPECT_EQ(parser.User(), "user");
  EXPECT_EQ(parser.Password(), "pw");
  EXPECT_EQ(parser.Host(), "h");
  EXPECT_EQ(parser.Port(), 8443);
  EXPECT_EQ(parser.Path(), "/a/b");
  EXPECT_EQ(parser.Query(), "?x=1");
  EXPECT_EQ(parser.Fragment(), "#top");
  EXPECT_EQ(parser.SchemeKind(), skHttps);
  EXPECT_EQ(parser.FullUrl(), url);
  // The fragment stays with the client: the request line carries path and query only.
  EXPECT_EQ(parser.RequestTarget(), "/a/b?x=1");
  EXPECT_EQ(Parsed("http://h/a#top").RequestTarget(), "/a");
  EXPECT_EQ(Parsed("http://h#top").RequestTarget(), "/");
}

TEST(UrlParser, DefaultsApplyOnlyToParseUrl) {
  TzqUrlParser parser;
  parser.SplitUrl("Example.com/index.html");
  EXPECT_EQ(parser.Scheme(), "");
  EXPECT_EQ(parser.Port(), 0);
  EXPECT_EQ(parser.Host(), "Example.com");
  parser.ParseUrl("Example.com/index.html");
  EXPECT_EQ(parser.Scheme(), "http");
  EXPECT_EQ(parser.Port(), 80);
  EXPECT_EQ(parser.FullUrl(), "http://Example.com/index.html");
  EXPECT_EQ(Parsed("FTP://files").Port(), 21);
  EXPECT_EQ(Parsed("file://c/x").Port(), 0);
}

TEST(UrlParser, PortIsWrittenOnlyWhenNotTheDefault) {
  EXPECT_EQ(Parsed("http://h:80/").FullUrl(), "http://h/");
  EXPECT_EQ(Parsed("http://h:81/").FullUrl(), "http://h:81/");
  EXPECT_EQ(Parsed("https://h:80").FullUrl(), "https://h:80/");
  EXPECT_EQ(Parsed("gopher://h:70/").FullUrl(), "gopher://h/");
  EXPECT_EQ(Parsed("news://h:119/").FullUrl(), "news://h:119/");
}

TEST(UrlParser, PortsOutsideOneTo65535AreRefused) {
  TzqUrlParser parser;
  for (const char* url : {"http://h:0/", "http://h:65536/", "http://h:99999999999/", "http://h:4294967376/",
                          "http://h:-1/", "http://h:8o/", "http://h: 80/", "http://h:+80/", "http://[::1]:x/"}) {
    try {
      parser.ParseUrl(url);
      ADD_FAILURE() << url << " gave port " << parser.Port();
    } catch (const EzqUrlError& e) {
      EXPECT_STREQ(e.what(), "The port in a URL must be a number from 1 to 65535") << url;
    }
  }
  parser.SplitUrl("http://h:65535/");
  EXPECT_EQ(parser.Port(), 65535);
  parser.SplitUrl("http://h:1/");
  EXPECT_EQ(parser.Port(), 1);
  // An empty port is no port (RFC 3986 allows it).
  parser.ParseUrl("http://h:/");
  EXPECT_EQ(parser.Host(), "h");
  EXPECT_EQ(parser.Port(), 80);
}

TEST(UrlParser, FragmentIsCutFirstThenQuery) {
  TzqUrlParser parser = Parsed("http://h/p#frag?x");
  EXPECT_EQ(parser.Query(), "");
  EXPECT_EQ(parser.Fragment(), "#frag?x");
  parser = Parsed("http://h/p?a=b#c?d#e");
  EXPECT_EQ(parser.Path(), "/p");
  EXPECT_EQ(parser.Query(), "?a=b");
  EXPECT_EQ(parser.Fragment(), "#c?d#e");
  // The fragment's own '#' characters are escaped when composed.
  EXPECT_EQ(parser.PathPart(), "/p?a=b#c?d%23e");
}

TEST(UrlParser, UserInfoSplitsAtTheFirstColon) {
  TzqUrlParser parser = Parsed("ftp://u:p:q@h/");
  EXPECT_EQ(parser.User(), "u");
  EXPECT_EQ(parser.Password(), "p:q");
  parser = Parsed("ftp://anonymous@h");
  EXPECT_EQ(parser.User(), "anonymous");
  EXPECT_EQ(parser.Password(), "");
  EXPECT_EQ(parser.FullUrl(), "ftp://anonymous@h/");
}

TEST(UrlParser, Ipv6LiteralsLoseTheirBracketsAndGetThemBackWhenComposed) {
  TzqUrlParser parser = Parsed("http://[::1]:8080/p");
  EXPECT_EQ(parser.Host(), "::1");
  EXPECT_EQ(parser.Port(), 8080);
  EXPECT_EQ(parser.Path(), "/p");
  EXPECT_EQ(parser.FullUrl(), "http://[::1]:8080/p");
  parser = Parsed("https://u:p@[2001:DB8::1]/");
  EXPECT_EQ(parser.Host(), "2001:DB8::1");
  EXPECT_EQ(parser.Port(), 443);
  EXPECT_EQ(parser.User(), "u");
  EXPECT_EQ(parser.FullUrl(), "https://u:p@[2001:DB8::1]/");
  parser = Parsed("http://[::ffff:127.0.0.1]");
  EXPECT_EQ(parser.Host(), "::ffff:127.0.0.1");
  EXPECT_EQ(parser.FullUrl(), "http://[::ffff:127.0.0.1]/");
}

TEST(UrlParser, Ipv6ZoneIdIsKeptInTheFormTheResolverTakes) {
  TzqUrlParser parser = Parsed("http://[fe80::1%25eth0]:81/");
  EXPECT_EQ(parser.Host(), "fe80::1%eth0");
  EXPECT_EQ(parser.FullUrl(), "http://[fe80::1%25eth0]:81/");
  EXPECT_EQ(TzqUrlParser::HostText("fe80::1%eth0"), "[fe80::1%25eth0]");
  EXPECT_EQ(TzqUrlParser::HostText("::1"), "[::1]");
  EXPECT_EQ(TzqUrlParser::HostText("[::1]"), "[::1]");
  EXPECT_EQ(TzqUrlParser::HostText("example.com"), "example.com");
  EXPECT_EQ(TzqUrlParser::HostText(""), "");
}

TEST(UrlParser, MalformedBracketsAreRefused) {
  TzqUrlParser parser;
  for (const char* url :
       {"http://[::1/p", "http://[::1", "http://[]/", "http://[::1]x/", "http://[::1]]/", "http://[example.com]/",
        "http://[::g]/", "http://a[::1]/", "http://[fe80::1%25]/", "http://[fe80::1%]/", "http://[::%\300A]/",
        "http://[fe80::1%25e%20th]/", "http://[fe80::1%eth/0]/"}) {
    try {
      parser.ParseUrl(url);
      ADD_FAILURE() << url << " gave host " << parser.Host();
    } catch (const EzqUrlError& e) {
      EXPECT_STREQ(e.what(), "Malformed IPv6 address in brackets in a URL") << url;
    }
  }
}

TEST(UrlParser, MailtoHasNoSlashes) {
  const TzqUrlParser parser = Parsed("MAILTO:joe@example.com");
  EXPECT_EQ(parser.Scheme(), "mailto");
  EXPECT_EQ(parser.User(), "joe");
  EXPECT_EQ(parser.Host(), "example.com");
  EXPECT_EQ(parser.Port(), 25);
  EXPECT_EQ(parser.SchemeKind(), skMailto);
  EXPECT_EQ(parser.FullUrl(), "mailto:joe@example.com");
}

TEST(UrlParser, LeadingDotsStayWithARelativePath) {
  TzqUrlParser parser;
  parser.SplitUrl("../a/b");
  EXPECT_EQ(parser.Host(), "");
  EXPECT_EQ(parser.Path(), "../a/b");
  parser.SplitUrl("./a");
  EXPECT_EQ(parser.Path(), "./a");
  parser.SplitUrl("images/a.png");
  EXPECT_EQ(parser.Host(), "images");
  EXPECT_EQ(parser.Path(), "/a.png");
}

TEST(UrlParser, SchemeKindAndDefaultPortCompareExactly) {
  TzqUrlParser parser;
  parser.SetScheme("gopher");
  EXPECT_EQ(parser.SchemeKind(), skGopher);
  parser.SetScheme("HTTP");
  EXPECT_EQ(parser.SchemeKind(), skUnknown);
  EXPECT_EQ(TzqUrlParser::DefaultPort("HTTP"), 0);
  EXPECT_EQ(TzqUrlParser::DefaultPort("mailto"), 25);
}

TEST(UrlParser, ClearAndAssignLeaveTheCharset) {
  TzqUrlParser source("utf-8");
  source.ParseUrl("http://u:p@h:1/a?b#c");
  TzqUrlParser copy("iso-8859-1");
  copy.Assign(source);
  EXPECT_EQ(copy.Charset(), "iso-8859-1");
  EXPECT_EQ(copy.FullUrl(), "http://u:p@h:1/a?b#c");
  copy.Clear();
  EXPECT_EQ(copy.Charset(), "iso-8859-1");
  EXPECT_EQ(copy.FullUrl(), "");
  EXPECT_EQ(copy.Port(), 0);
}

TEST(UrlParser, PathPartEncodesPathQueryAndFragment) {
  CodePageScope codePage(CP_WINDOWS1252);
  TzqUrlParser parser;
  parser.ParseUrl("http://h/a b/caf\xE9/%41?q=x y#f g");
  EXPECT_EQ(parser.PathPart(), "/a%20b/caf%E9/%41?q=x%20y#f%20g");
  TzqUrlParser utf8("utf-8");
  utf8.ParseUrl("http://h/caf\xE9");
  EXPECT_EQ(utf8.PathPart(), "/caf%C3%A9");
}

TEST(UrlParser, PathPartAddsMissingSeparators) {
  TzqUrlParser parser;
  parser.SetHost("h");
  EXPECT_EQ(parser.PathPart(), "/");
  parser.SetPath("a");
  parser.SetQuery("x=1");
  EXPECT_EQ(parser.PathPart(), "/a?x=1");
  parser.SetScheme("mailto");
  parser.SetPath("");
  parser.SetQuery("");
  EXPECT_EQ(parser.PathPart(), "");
}

TEST(UrlParser, RequestTargetOfTheAsteriskHost) {
  TzqUrlParser parser = Parsed("http://*");
  EXPECT_EQ(parser.RequestTarget(), "*");
  parser.ParseUrl("http://h");
  EXPECT_EQ(parser.RequestTarget(), "/");
}

TEST(UrlParser, HostIsComposedInItsAsciiForm) {
  EXPECT_EQ(Parsed("http://bücher.example/ü").FullUrl(), "http://xn--bcher-kva.example/%C3%BC");
  // Upper case is folded before Punycode; a trailing dot stays with the host.
  EXPECT_EQ(Parsed("http://BÜCHER.de./").FullUrl(), "http://xn--bcher-kva.de./");
  EXPECT_EQ(Parsed("http://BÜCHER.de./").Host(), "BÜCHER.de.");
  // Parsing never fails; only composing a host that cannot be translated does.
  TzqUrlParser parser;
  EXPECT_NO_THROW(parser.ParseUrl("http://b\xC3(cher.example/"));
  EXPECT_THROW(parser.FullUrl(), EzqIdnError);
  EXPECT_EQ(parser.PathPart(), "/");
}

TEST(UrlParser, ResolvesAgainstABaseDirectory) {
  const char* base = "http://h:8080/a/b/x";
  EXPECT_EQ(Resolved(base, "../c"), "http://h:8080/a/c");
  EXPECT_EQ(Resolved(base, "/d"), "http://h:8080/d");
  EXPECT_EQ(Resolved(base, "c?q=1"), "http://h:8080/a/b/c?q=1");
  EXPECT_EQ(Resolved(base, ""), "http://h:8080/a/b/x");
  EXPECT_EQ(Resolved(base, "images/a.png"), "http://h:8080/a/b/images/a.png");
  TzqUrlParser parser;
  parser.ParseRelativeUrl(base, "c?q=1");
  EXPECT_EQ(parser.Port(), 8080);
  EXPECT_EQ(parser.Path(), "/a/b/c");
  EXPECT_EQ(parser.Query(), "?q=1");
}

TEST(UrlParser, ReferenceWithItsOwnSchemeKeepsItsOwnParts) {
  TzqUrlParser parser;
  parser.ParseRelativeUrl("http://u:p@h:8080/a/b/x?q#f", "https://other");
  EXPECT_EQ(parser.FullUrl(), "https://other/");
  EXPECT_EQ(parser.Port(), 443);
  EXPECT_EQ(parser.User(), "");
  parser.ParseRelativeUrl("http://h/a/b/x", "ftp://o/./p/../q");
  EXPECT_EQ(parser.FullUrl(), "ftp://o/q");
}

TEST(UrlParser, ResolutionKeepsTheBaseUserAndPort) {
  TzqUrlParser parser;
  parser.ParseRelativeUrl("https://u:p@h:8443/a/b", "c");
  EXPECT_EQ(parser.FullUrl(), "https://u:p@h:8443/a/c");
  parser.ParseRelativeUrl("", "");
  EXPECT_EQ(parser.FullUrl(), "");
  // Without a scheme in the base, the reference's host stays a host and gets http.
  parser.ParseRelativeUrl("/a/b", "h/c");
  EXPECT_EQ(parser.FullUrl(), "http://h/c");
}

TEST(UrlParser, ResolvesTheRfc3986Examples) {
  // RFC 3986 section 5.4, normal and abnormal examples (strict parser). A result with an
  // authority and an empty path is composed with "/": "//g" gives http://g/.
  const char* base = "http://a/b/c/d;p?q";
  const std::pair<const char*, const char*> examples[] = {
      {"g:h", "g:h"},
      {"?y", "http://a/b/c/d;p?y"},
      {"#s", "http://a/b/c/d;p?q#s"},
      {"", "http://a/b/c/d;p?q"},
      {"http:g", "http:g"},
      {"g", "http://a/b/c/g"},
      {"./g", "http://a/b/c/g"},
      {"g/", "http://a/b/c/g/"},
      {"/g", "http://a/g"},
      {"//g", "http://g/"},
      {"g?y", "http://a/b/c/g?y"},
      {"g#s", "http://a/b/c/g#s"},
      {"g?y#s", "http://a/b/c/g?y#s"},
      {";x", "http://a/b/c/;x"},
      {"g;x", "http://a/b/c/g;x"},
      {"g;x?y#s", "http://a/b/c/g;x?y#s"},
      {".", "http://a/b/c/"},
      {"./", "http://a/b/c/"},
      {"..", "http://a/b/"},
      {"../", "http://a/b/"},
      {"../g", "http://a/b/g"},
      {"../..", "http://a/"},
      {"../../", "http://a/"},
      {"../../g", "http://a/g"},
      {"../../../g", "http://a/g"},
      {"../../../../g", "http://a/g"},
      {"/./g", "http://a/g"},
      {"/../g", "http://a/g"},
      {"g.", "http://a/b/c/g."},
      {".g", "http://a/b/c/.g"},
      {"g..", "http://a/b/c/g.."},
      {"..g", "http://a/b/c/..g"},
      {"./../g", "http://a/b/g"},
      {"./g/.", "http://a/b/c/g/"},
      {"g/./h", "http://a/b/c/g/h"},
      {"g/../h", "http://a/b/c/h"},
      {"g;x=1/./y", "http://a/b/c/g;x=1/y"},
      {"g;x=1/../y", "http://a/b/c/y"},
      {"g?y/./x", "http://a/b/c/g?y/./x"},
      {"g?y/../x", "http://a/b/c/g?y/../x"},
      {"g#s/./x", "http://a/b/c/g#s/./x"},
      {"g#s/../x", "http://a/b/c/g#s/../x"},
  };
  for (const auto& [reference, expected] : examples) EXPECT_EQ(Resolved(base, reference), expected) << reference;
}

TEST(UrlParser, ReferenceWithoutPathKeepsTheBasePathAndQuery) {
  TzqUrlParser parser;
  parser.ParseRelativeUrl("https://h:8443/list?page=1", "?page=2");
  EXPECT_EQ(parser.Path(), "/list");
  EXPECT_EQ(parser.Query(), "?page=2");
  EXPECT_EQ(parser.Port(), 8443);
  parser.ParseRelativeUrl("https://h:8443/list?page=1#top", "#end");
  EXPECT_EQ(parser.FullUrl(), "https://h:8443/list?page=1#end");
  EXPECT_EQ(parser.RequestTarget(), "/list?page=1");
  // A scheme of letters, digits, '+', '-' and '.' before the first ':' makes a URL of its own.
  parser.ParseRelativeUrl("http://a/b", "mailto:joe@example.com");
  EXPECT_EQ(parser.FullUrl(), "mailto:joe@example.com");
  parser.ParseRelativeUrl("http://a/b", "urn:isbn:0451450523");
  EXPECT_EQ(parser.Scheme(), "urn");
  EXPECT_EQ(parser.Host(), "");
  EXPECT_EQ(parser.FullUrl(), "urn:isbn:0451450523");
  EXPECT_EQ(Resolved("http://a/b", "./g:h"), "http://a/g:h");
  EXPECT_EQ(Resolved("http://a/b", "1g:h"), "http://a/1g:h");
}

TEST(UrlParser, ResolutionCarriesIpv6HostsAndChecksPorts) {
  EXPECT_EQ(Resolved("http://[::1]:8080/a/b", "../c?x"), "http://[::1]:8080/c?x");
  EXPECT_EQ(Resolved("http://h/a", "//[2001:db8::2]:81/z"), "http://[2001:db8::2]:81/z");
  TzqUrlParser parser;
  EXPECT_THROW(parser.ParseRelativeUrl("http://h/a", "//h:0/z"), EzqUrlError);
  EXPECT_THROW(parser.ParseRelativeUrl("http://h/a", "http://h:70000/z"), EzqUrlError);
}

TEST(UrlParser, NetworkPathReferencesNameTheirOwnServer) {
  EXPECT_EQ(Resolved("https://a:8443/b/c", "//cdn.example/x/../y?q"), "https://cdn.example/y?q");
  EXPECT_EQ(Resolved("http://a/b", "//u:p@g:81/z"), "http://u:p@g:81/z");
  // Without a base scheme there is nothing to take: the reference splits as it stands.
  EXPECT_EQ(Resolved("/a/b", "//g"), "/g");
}

}  // namespace
}  // namespace zq
