#include "http/zqHttpAuth.h"

#include <openssl/rand.h>

#include <mutex>

#include "codec/zqEncoder.h"
#include "codec/zqUriUtils.h"
#include "core/zqError.h"
#include "core/zqStream.h"
#include "core/zqStringList.h"
#include "core/zqText.h"
#include "http/zqHeaderFieldList.h"
#include "http/zqSspiAuth.h"
#include "tls/zqCryptHash.h"

namespace zq {

namespace {

const char* const sNoRandomNonce = "No random bytes for the client nonce";

struct TzqRegistry {
  std::recursive_mutex lock;
  std::vector<std::unique_ptr<TzqHttpAuthorization>> schemes;
};

TzqRegistry& Registry() {
  // Built on first use with the three schemes in order of increasing preference; it lives to
  // the end of the process.
  static TzqRegistry* registry = [] {
    auto* r = new TzqRegistry;
    r->schemes.push_back(std::make_unique<TzqHttpBasicAuthorization>());
    r->schemes.push_back(std::make_unique<TzqHttpDigestAuthorization>());
    r->schemes.push_back(std::make_unique<TzqHttpNtlmAuthorization>());
    return r;
  }();
  return *registry;
}

std::string Base64(const std::string& bytes) { return TzqEncoder::QuickEncode(bytes, cmBase64); }

std::string Hex8(uint32_t value) { return Format("%.8X", value); }

// "nc" values: up to eight hex digits, 0 for anything else.
uint32_t ParseHexCount(const std::string& text) {
  if (text.empty() || text.size() > 8) return 0;
  uint32_t value = 0;
  for (char c : text) {
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (digit < 0) return 0;
    value = value * 16 + static_cast<uint32_t>(digit);
  }
  return value;
}

std::string BytesOf(TzqStream& stream) {
  std::string bytes(static_cast<size_t>(stream.Size() - stream.Position()), '\0');
  if (!bytes.empty()) stream.ReadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  return bytes;
}

}  // namespace

// ---- registry ----------------------------------------------------------------------------------

bool TzqHttpAuthorization::Authorize(const TzqUrlParser& parser, const std::string& method, const std::string& userName,
                                     const std::string& password, const TzqStringList& challenges, const void* client,
                                     std::string& value, bool& startNewConnection) {
  TzqRegistry& registry = Registry();
  std::lock_guard<std::recursive_mutex> guard(registry.lock);
  for (auto it = registry.schemes.rbegin(); it != registry.schemes.rend(); ++it) {
    TzqHttpAuthorization& scheme = **it;
    scheme.Authorize(parser, method, userName, password, challenges, client);
    if (!scheme.AuthorizationValue.empty()) {
      value = scheme.AuthorizationValue;
      startNewConnection = scheme.StartNewConnection;
      return true;
    }
  }
  value.clear();
  startNewConnection = false;
  return false;
}

void TzqHttpAuthorization::RegisterAuthorization(std::unique_ptr<TzqHttpAuthorization> scheme) {
  TzqRegistry& registry = Registry();
  std::lock_guard<std::recursive_mutex> guard(registry.lock);
  registry.schemes.push_back(std::move(scheme));
}

std::string TzqHttpAuthorization::FindChallenge(const TzqStringList& challenges, const std::string& name) {
  const std::string lowerName = LowerCase(name);
  for (int i = 0; i < challenges.Count(); ++i)
    if (LowerCase(challenges[i]).find(lowerName) != std::string::npos) return challenges[i];
  return std::string();
}

// ---- Basic -------------------------------------------------------------------------------------

void TzqHttpBasicAuthorization::Authorize(const TzqUrlParser&, const std::string&, const std::string& userName,
                                          const std::string& password, const TzqStringList& challenges, const void*) {
  AuthorizationValue.clear();
  if (FindChallenge(challenges, "basic").empty()) return;
  StartNewConnection = true;
  if (userName.empty() && password.empty()) return;
  const std::string credentials = userName + (userName.empty() ? "" : ":") + password;
  AuthorizationValue = "Basic " + Base64(credentials);
}

// ---- Digest ------------------------------------------------------------------------------------

void TzqDigestChallenge::Parse(const std::string& line) {
  auto parameter = [&line](const char* name) { return TzqHeaderFieldList::GetParameter(line, name); };
  CharSet = parameter("charset");
  Realm = parameter("realm");
  Domain = parameter("domain");
  Nonce = parameter("nonce");
  Opaque = parameter("opaque");
  Stale = SameText(parameter("stale"), "true");
  Algorithm = parameter("algorithm");
  QopOptions = parameter("qop");
  UserName = parameter("username");
  Uri = parameter("uri");
  ClientNonce = parameter("cnonce");
  NonceCount = ParseHexCount(parameter("nc"));
  Response = parameter("response");
}

void TzqHttpDigestAuthorization::Authorize(const TzqUrlParser& parser, const std::string& method,
                                           const std::string& userName, const std::string& password,
                                           const TzqStringList& challenges, const void*) {
  AuthorizationValue.clear();
  const std::string line = FindChallenge(challenges, "digest");
  if (line.empty()) return;
  AuthorizationValue = DigestValue(parser, method, userName, password, line);
}

std::string TzqHttpDigestAuthorization::DigestValue(const TzqUrlParser& parser, const std::string& method,
                                                    const std::string& userName, const std::string& password,
                                                    const std::string& line) {
  if (userName.empty()) return std::string();
  TzqDigestChallenge challenge;
  challenge.Parse(line);
  if (!challenge.QopOptions.empty()) {
    if (challenge.ClientNonce.empty() || challenge.Stale) {
      challenge.ClientNonce = NewClientNonce();
      challenge.NonceCount = 1;
    } else {
      ++challenge.NonceCount;
    }
  }
  challenge.Method = method;
  challenge.UserName = userName;
  challenge.Uri = parser.RequestTarget();
  challenge.Response = DigestResponse(challenge, userName, password);
  return challenge.Response.empty() ? std::string() : ComposeDigest(challenge);
}

std::string TzqHttpDigestAuthorization::DigestResponse(TzqDigestChallenge& challenge, const std::string& userName,
                                                       const std::string& password) {
  std::string a1;
  if (challenge.Algorithm.empty() || SameText(challenge.Algorithm, "md5"))
    a1 = userName + ":" + challenge.Realm + ":" + password;
  else if (SameText(challenge.Algorithm, "md5-sess"))
    a1 = Md5Hex(userName + ":" + challenge.Realm + ":" + password) + ":" + challenge.Nonce + ":" +
         challenge.ClientNonce;
  const std::string a2 = challenge.Method + ":" + challenge.Uri;
  TzqStringList offers;
  offers.SetDelimitedText(LowerCase(challenge.QopOptions), ',', '\0');
  if (offers.IndexOf("auth") >= 0) challenge.QopOptions = "auth";
  if (a1.empty()) return std::string();

  std::string s = challenge.Nonce + ":";
  if (!challenge.QopOptions.empty())
    s += Hex8(challenge.NonceCount) + ":" + challenge.ClientNonce + ":" + challenge.QopOptions + ":";
  s += Md5Hex(a2);
  return Md5Hex(Md5Hex(a1) + ":" + s);
}

std::string TzqHttpDigestAuthorization::ComposeDigest(const TzqDigestChallenge& challenge) {
  TzqStringList lines;
  TzqHeaderFieldList fields(lines);
  fields.SetItemDelimiter(',');
  fields.AddEmptyField("authfield");
  const bool qop = !challenge.QopOptions.empty();
  fields.AddQuotedParameter("authfield", "username", challenge.UserName);
  fields.AddQuotedParameter("authfield", "realm", challenge.Realm);
  if (qop) {
    fields.AddQuotedParameter("authfield", "qop", challenge.QopOptions);
    fields.AddQuotedParameter("authfield", "algorithm", challenge.Algorithm);
  }
  fields.AddQuotedParameter("authfield", "uri", challenge.Uri);
  fields.AddQuotedParameter("authfield", "nonce", challenge.Nonce);
  if (qop) {
    fields.AddParameter("authfield", "nc", Hex8(challenge.NonceCount));
    fields.AddQuotedParameter("authfield", "cnonce", challenge.ClientNonce);
  }
  fields.AddQuotedParameter("authfield", "opaque", challenge.Opaque);
  fields.AddQuotedParameter("authfield", "response", challenge.Response);
  return "Digest " + fields.GetFieldValue("authfield");
}

std::string TzqHttpDigestAuthorization::NewClientNonce() {
  unsigned char random[15];
  if (RAND_bytes(random, sizeof random) != 1) throw EzqError(sNoRandomNonce);
  std::string nonce = "ab";
  for (unsigned char byte : random) nonce += Format("%.2x", byte);
  return nonce;
}

// ---- NTLM and Negotiate ------------------------------------------------------------------------

TzqHttpNtlmAuthorization::TzqHttpNtlmAuthorization() = default;

TzqHttpNtlmAuthorization::~TzqHttpNtlmAuthorization() = default;

void TzqHttpNtlmAuthorization::Authorize(const TzqUrlParser& parser, const std::string&, const std::string& userName,
                                         const std::string& password, const TzqStringList& challenges,
                                         const void* client) {
  AuthorizationValue.clear();
  std::string scheme = "Negotiate";
  std::string line = FindChallenge(challenges, scheme);
  if (line.empty()) {
    scheme = "NTLM";
    line = FindChallenge(challenges, scheme);
  }
  if (line.empty()) return;

  const std::string key = std::to_string(reinterpret_cast<uintptr_t>(client));
  size_t index = 0;
  while (index < contexts_.size() && contexts_[index].first != key) ++index;
  if (index == contexts_.size()) contexts_.emplace_back(key, std::make_unique<TzqNtAuthClientSspi>());

  bool done = false;
  std::string value;
  auto finish = [&] {
    if (!done) return;
    for (auto it = contexts_.begin(); it != contexts_.end(); ++it) {
      if (it->first == key) {
        contexts_.erase(it);
        break;
      }
    }
  };
  try {
    value = NtlmStep(*contexts_[index].second, parser, userName, password, line, scheme, done);
  } catch (...) {
    finish();
    throw;
  }
  finish();
  AuthorizationValue = value;
}

std::string TzqHttpNtlmAuthorization::NtlmStep(TzqNtAuthClientSspi& context, const TzqUrlParser& parser,
                                               const std::string& userName, const std::string& password,
                                               const std::string& line, const std::string& scheme, bool& done) {
  done = true;
  const std::string text = Trim(line);
  if (!StartsText(scheme, text)) return std::string();
  const std::string token = Trim(std::string_view(text).substr(scheme.size()));
  StartNewConnection = token.empty();

  TzqMemoryStream stream;
  TzqEncoder encoder;
  encoder.SetSuppressCrlf(true);
  if (!token.empty()) encoder.DecodeString(token, stream);
  stream.SetPosition(0);
  std::unique_ptr<TzqAuthIdentity> identity;
  if (!userName.empty()) identity = std::make_unique<TzqAuthIdentity>(userName, password);
  done = context.AuthenticateStep(scheme, stream, identity.get(), "HTTP/" + parser.Host());
  stream.SetPosition(0);
  return scheme + " " + Base64(BytesOf(stream));
}

}  // namespace zq
