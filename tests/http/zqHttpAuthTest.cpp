#include "http/zqHttpAuth.h"

#include <gtest/gtest.h>

#include "codec/zqEncoder.h"
#include "codec/zqUriUtils.h"
#include "core/zqStringList.h"
#include "core/zqText.h"
#include "http/zqHeaderFieldList.h"
#include "http/zqSspiAuth.h"
#include "tls/zqCryptHash.h"

namespace zq {
namespace {

struct TzqAnswer {
  bool produced = false;
  std::string value;
  bool fresh = false;
};

TzqAnswer Ask(std::initializer_list<std::string> challenges, const std::string& user, const std::string& password,
              const void* client = nullptr, const std::string& url = "http://www.nowhere.org/dir/index.html") {
  TzqUrlParser parser;
  parser.ParseUrl(url);
  TzqStringList list;
  for (const std::string& c : challenges) list.Add(c);
  TzqAnswer answer;
  answer.produced = TzqHttpAuthorization::Authorize(parser, "GET", user, password, list, client, answer.value,
                                                    answer.fresh);
  return answer;
}

// "ab" and 30 lower-case hexadecimal digits.
bool IsClientNonce(const std::string& text) {
  return text.size() == 32 && text.compare(0, 2, "ab") == 0 &&
         text.find_first_not_of("0123456789abcdef", 2) == std::string::npos;
}

std::string DigestParameter(const std::string& value, const std::string& name) {
  return TzqHeaderFieldList::GetParameter(value.substr(7), name);
}

TEST(HttpBasic, CredentialsJoinWithAColonOnlyAfterAUserName) {
  TzqAnswer answer = Ask({"Basic realm=\"r\""}, "Aladdin", "open sesame");
  EXPECT_TRUE(answer.produced);
  EXPECT_EQ(answer.value, "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  EXPECT_TRUE(answer.fresh);
  EXPECT_EQ(Ask({"Basic realm=\"r\""}, "", "pw").value, "Basic " + TzqEncoder::QuickEncode("pw", cmBase64));
  EXPECT_EQ(Ask({"Basic realm=\"r\""}, "user", "").value, "Basic " + TzqEncoder::QuickEncode("user:", cmBase64));
  answer = Ask({"Basic realm=\"r\""}, "", "");
  EXPECT_FALSE(answer.produced);
  EXPECT_EQ(answer.value, "");
  EXPECT_FALSE(Ask({"Bearer x"}, "u", "p").produced);
}

TEST(HttpDigest, Rfc2617WorkedExample) {
  const std::string line =
      "Digest realm=\"testrealm@host.com\", qop=\"auth,auth-int\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", "
      "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\", cnonce=\"0a4f113b\", nc=00000000";
  TzqUrlParser parser;
  parser.ParseUrl("http://www.nowhere.org/dir/index.html");
  EXPECT_EQ(TzqHttpDigestAuthorization::DigestValue(parser, "GET", "Mufasa", "Circle Of Life", line),
            "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", qop=\"auth\", uri=\"/dir/index.html\", "
            "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", nc=00000001, cnonce=\"0a4f113b\", "
            "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\", response=\"6629fae49393a05397450978507c4ef1\"");
}

TEST(HttpDigest, FreshClientNoncesAreRandomHexOfTheFixedForm) {
  const std::string first = TzqHttpDigestAuthorization::NewClientNonce();
  const std::string second = TzqHttpDigestAuthorization::NewClientNonce();
  EXPECT_TRUE(IsClientNonce(first)) << first;
  EXPECT_NE(first, second);

  const TzqAnswer answer = Ask({"Digest realm=\"r\", nonce=\"n\", qop=\"auth\", algorithm=MD5"}, "u", "p");
  EXPECT_TRUE(IsClientNonce(DigestParameter(answer.value, "cnonce")));
  EXPECT_EQ(DigestParameter(answer.value, "nc"), "00000001");
  EXPECT_EQ(DigestParameter(answer.value, "algorithm"), "MD5");
  EXPECT_FALSE(answer.fresh);
}

TEST(HttpDigest, QopChoiceAndTheResponseWithoutQop) {
  TzqAnswer answer = Ask({"Digest realm=\"r\", nonce=\"n\", qop=\"auth-int\""}, "u", "p");
  EXPECT_EQ(DigestParameter(answer.value, "qop"), "auth-int");
  const std::string ha1 = Md5Hex("u:r:p");
  const std::string ha2 = Md5Hex("GET:/dir/index.html");
  EXPECT_EQ(DigestParameter(answer.value, "response"),
            Md5Hex(ha1 + ":n:00000001:" + DigestParameter(answer.value, "cnonce") + ":auth-int:" + ha2));

  answer = Ask({"Digest realm=\"r\", nonce=\"n\""}, "u", "p");
  EXPECT_EQ(answer.value, "Digest username=\"u\", realm=\"r\", uri=\"/dir/index.html\", nonce=\"n\", response=\"" +
                              Md5Hex(ha1 + ":n:" + ha2) + "\"");
}

TEST(HttpDigest, Md5SessHashesTheNoncesIntoA1) {
  const TzqAnswer answer = Ask({"Digest realm=\"r\", nonce=\"n\", qop=auth, algorithm=MD5-sess"}, "u", "p");
  const std::string cnonce = DigestParameter(answer.value, "cnonce");
  const std::string ha1 = Md5Hex(Md5Hex("u:r:p") + ":n:" + cnonce);
  EXPECT_EQ(DigestParameter(answer.value, "response"),
            Md5Hex(ha1 + ":n:00000001:" + cnonce + ":auth:" + Md5Hex("GET:/dir/index.html")));
}

TEST(HttpRegistry, PreferenceAndFallBackToBasic) {
  const std::string basic = "Basic realm=\"r\"";
  EXPECT_TRUE(StartsText("Digest ", Ask({basic, "Digest realm=\"r\", nonce=\"n\""}, "u", "p").value));
  // An algorithm Digest cannot do, or no user name, leaves the answer to Basic.
  EXPECT_TRUE(StartsText("Basic ", Ask({"Digest realm=\"r\", nonce=\"n\", algorithm=SHA-256", basic}, "u", "p").value));
  EXPECT_TRUE(StartsText("Basic ", Ask({"Digest realm=\"r\", nonce=\"n\"", basic}, "", "p").value));
  const int client = 0;
  const TzqAnswer ntlm = Ask({basic, "NTLM"}, "u", "p", &client);
  EXPECT_TRUE(StartsText("NTLM TlRMTVNTUAAB", ntlm.value)) << ntlm.value;
  EXPECT_TRUE(ntlm.fresh);
  EXPECT_EQ(TzqHttpAuthorization::FindChallenge(TzqStringList{"Basic realm=\"digest\"", "Digest x"}, "DIGEST"),
            "Basic realm=\"digest\"");
}

TEST(HttpNtlm, EachClientKeepsItsOwnContextUntilTheExchangeEnds) {
  TzqHttpNtlmAuthorization scheme;
  TzqUrlParser parser;
  parser.ParseUrl("http://localhost/ntlm/");
  const int first = 0, second = 0;
  scheme.Authorize(parser, "GET", "DOM\\u", "p", TzqStringList{"NTLM"}, &first);
  const std::string firstToken = scheme.AuthorizationValue;
  scheme.Authorize(parser, "GET", "DOM\\u", "p", TzqStringList{"NTLM"}, &second);
  EXPECT_EQ(scheme.ContextCount(), 2);
  EXPECT_EQ(firstToken, scheme.AuthorizationValue);
  // A malformed server message ends that client's exchange with an error; the other stays.
  EXPECT_THROW(scheme.Authorize(parser, "GET", "DOM\\u", "p", TzqStringList{"NTLM TlRMTVNTUAACAAAA"}, &first),
               EzqSSPIError);
  EXPECT_EQ(scheme.ContextCount(), 1);
  // A line that does not start with the scheme gives nothing and drops the context.
  scheme.Authorize(parser, "GET", "u", "p", TzqStringList{"Basic realm=\"ntlm\""}, &second);
  EXPECT_EQ(scheme.AuthorizationValue, "");
  EXPECT_EQ(scheme.ContextCount(), 0);
}

TEST(AuthIdentity, DomainComesBeforeTheFirstBackslashOrSlash) {
  TzqAuthIdentity backslash("DOM\\user", "pw");
  EXPECT_EQ(backslash.Domain(), "DOM");
  EXPECT_EQ(backslash.UserName(), "user");
  TzqAuthIdentity slash("DOM/us\\er", "pw");
  EXPECT_EQ(slash.Domain(), "DOM/us");
  EXPECT_EQ(slash.UserName(), "er");
  TzqAuthIdentity leading("\\user", "");
  EXPECT_EQ(leading.Domain(), "");
  EXPECT_EQ(leading.UserName(), "user");
  TzqAuthIdentity plain("user@REALM", "pw");
  EXPECT_EQ(plain.Domain(), "");
  EXPECT_EQ(plain.UserName(), "user@REALM");

  SEC_WINNT_AUTH_IDENTITY_A* record = leading.BuildIdentity();
  EXPECT_EQ(record->Domain, nullptr);
  EXPECT_EQ(record->DomainLength, 0u);
  EXPECT_EQ(record->Password, nullptr);
  ASSERT_NE(record->User, nullptr);
  EXPECT_STREQ(reinterpret_cast<const char*>(record->User), "user");
  EXPECT_EQ(record->UserLength, 4u);
  EXPECT_EQ(record->Flags, 1u);
}

}  // namespace
}  // namespace zq
