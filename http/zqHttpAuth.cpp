#include "http/zqHttpAuth.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "codec/zqEncoder.h"
#include "codec/zqUriUtils.h"
#include "core/zqError.h"
#include "core/zqStream.h"
#include "core/zqStringList.h"
#include "core/zqText.h"
#include "http/zqSspiAuth.h"
#include "tls/zqSspi.h"

namespace zq {

namespace {

const char* const sNoRandomNonce = "No random bytes for the client nonce";
const char* const sHashFailed = "The digest hash could not be computed";

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
    int digit = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
    if (digit < 0) return 0;
    value = value * 16 + static_cast<uint32_t>(digit);
  }
  return value;
}

bool IsTokenChar(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte <= 32 || byte >= 127) return false;
  return std::string_view("\"(),/:;<=>?@[\\]{}").find(c) == std::string_view::npos;
}

bool IsOws(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimOws(std::string_view text) {
  while (!text.empty() && IsOws(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsOws(text.back())) text.remove_suffix(1);
  return text;
}

// The comma-separated elements of a field value; commas inside quoted strings do not count.
std::vector<std::string_view> SplitElements(std::string_view text) {
  std::vector<std::string_view> elements;
  size_t start = 0;
  bool quoted = false;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size()) {
      const char c = text[i];
      if (quoted && c == '\\') {
        ++i;
        continue;
      }
      if (c == '"') quoted = !quoted;
      if (quoted || c != ',') continue;
    }
    const std::string_view element = TrimOws(text.substr(start, i - start));
    if (!element.empty()) elements.push_back(element);
    start = i + 1;
  }
  return elements;
}

// The length of the scheme token that opens a new challenge in this element, or 0 when the
// element is a parameter of the challenge before it.
size_t SchemeLength(std::string_view element) {
  size_t length = 0;
  while (length < element.size() && IsTokenChar(element[length])) ++length;
  if (length == 0) return 0;
  if (length == element.size()) return length;
  if (!IsOws(element[length])) return 0;
  const std::string_view rest = TrimOws(element.substr(length));
  return !rest.empty() && rest[0] == '=' ? 0 : length;
}

// A quoted string without its quotes and escapes, or a token as it is.
std::string Unquote(std::string_view value) {
  if (value.empty() || value[0] != '"') return std::string(value);
  std::string result;
  for (size_t i = 1; i < value.size() && value[i] != '"'; ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) ++i;
    result += value[i];
  }
  return result;
}

// A quoted string of the text, with quotes and backslashes escaped.
std::string Quote(std::string_view text) {
  std::string result = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') result += '\\';
    result += c;
  }
  return result + "\"";
}

// ---- Digest hashes ---------------------------------------------------------------------------

// The hash of an algorithm name ("MD5", "SHA-256-sess", ...); sess tells whether A1 is hashed
// again with the nonces. None for an algorithm this client does not know.
const EVP_MD* DigestHashOf(const std::string& algorithm, bool& sess) {
  std::string name = LowerCase(algorithm);
  sess = EndsText("-sess", name);
  if (sess) name.resize(name.size() - 5);
  if (name.empty() || name == "md5") return EVP_md5();
  if (name == "sha-256") return EVP_sha256();
  if (name == "sha-512-256") return EVP_sha512_256();
  // Not in RFC 7616's list, but offered by servers such as httpbin.
  if (name == "sha-512") return EVP_sha512();
  return nullptr;
}

// Stronger algorithms rank higher; 0 for one this client cannot answer.
int DigestStrength(const std::string& algorithm) {
  bool sess = false;
  const EVP_MD* hash = DigestHashOf(algorithm, sess);
  if (hash == nullptr) return 0;
  if (hash == EVP_md5()) return 1;
  return hash == EVP_sha256() ? 2 : 3;
}

class TzqHexHash {
public:
  explicit TzqHexHash(const EVP_MD* hash) : context_(EVP_MD_CTX_new()) {
    if (context_ == nullptr || EVP_DigestInit_ex(context_.get(), hash, nullptr) != 1) throw EzqError(sHashFailed);
  }
  void Update(const void* data, size_t size) {
    if (EVP_DigestUpdate(context_.get(), data, size) != 1) throw EzqError(sHashFailed);
  }
  std::string Hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context_.get(), digest, &size) != 1) throw EzqError(sHashFailed);
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) hex += Format("%.2x", digest[i]);
    return hex;
  }

private:
  struct TzqFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
  };
  std::unique_ptr<EVP_MD_CTX, TzqFree> context_;
};

std::string HashHex(const EVP_MD* hash, const std::string& text) {
  TzqHexHash hasher(hash);
  hasher.Update(text.data(), text.size());
  return hasher.Hex();
}

// The hash of the body from its position to its end; the position is restored.
std::string BodyHashHex(const EVP_MD* hash, TzqStream* body) {
  TzqHexHash hasher(hash);
  if (body == nullptr) return hasher.Hex();
  const int64_t start = body->Position();
  std::array<char, 65536> buffer;
  try {
    for (int64_t got; (got = body->Read(buffer.data(), static_cast<int64_t>(buffer.size()))) > 0;)
      hasher.Update(buffer.data(), static_cast<size_t>(got));
  } catch (...) {
    body->SetPosition(start);
    throw;
  }
  body->SetPosition(start);
  return hasher.Hex();
}

// "auth" when offered, else "auth-int"; the list may have blanks after its commas. Empty when
// there is no list, "?" when it offers neither.
std::string ChooseQop(const std::string& options) {
  if (Trim(options).empty()) return std::string();
  bool authInt = false;
  for (std::string_view rest = options;;) {
    const size_t comma = rest.find(',');
    const std::string option = LowerCase(Trim(rest.substr(0, comma)));
    if (option == "auth") return option;
    authInt = authInt || option == "auth-int";
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return authInt ? "auth-int" : "?";
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
                                     std::string& value, bool& startNewConnection, TzqStream* entityBody) {
  TzqRegistry& registry = Registry();
  std::lock_guard<std::recursive_mutex> guard(registry.lock);
  for (auto it = registry.schemes.rbegin(); it != registry.schemes.rend(); ++it) {
    TzqHttpAuthorization& scheme = **it;
    scheme.EntityBody = entityBody;
    try {
      scheme.Authorize(parser, method, userName, password, challenges, client);
    } catch (...) {
      scheme.EntityBody = nullptr;
      throw;
    }
    scheme.EntityBody = nullptr;
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

TzqStringList TzqHttpAuthorization::SplitChallenges(const TzqStringList& values) {
  TzqStringList result;
  for (int i = 0; i < values.Count(); ++i) {
    std::string current;
    for (std::string_view element : SplitElements(values[i])) {
      const size_t scheme = SchemeLength(element);
      if (scheme > 0) {
        if (!current.empty()) result.Add(current);
        current = std::string(element.substr(0, scheme));
        element = TrimOws(element.substr(scheme));
        if (element.empty()) continue;
        current += ' ';
      } else if (current.empty()) {
        continue;  // parameters before any scheme belong to nothing
      } else if (current.find(' ') != std::string::npos) {
        current += ", ";
      } else {
        current += ' ';
      }
      current += element;
    }
    if (!current.empty()) result.Add(current);
  }
  return result;
}

std::string TzqHttpAuthorization::FindChallenge(const TzqStringList& challenges, const std::string& name) {
  const TzqStringList split = SplitChallenges(challenges);
  for (int i = 0; i < split.Count(); ++i)
    if (SameText(split[i].substr(0, split[i].find(' ')), name)) return split[i];
  return std::string();
}

std::vector<std::pair<std::string, std::string>> TzqHttpAuthorization::ParseAuthParams(const std::string& line) {
  std::string_view text = TrimOws(line);
  const size_t firstComma = text.find(',');
  text.remove_prefix(SchemeLength(text.substr(0, firstComma)));
  std::vector<std::pair<std::string, std::string>> parameters;
  std::unordered_set<std::string> seen;
  for (std::string_view element : SplitElements(text)) {
    const size_t equals = element.find('=');
    if (equals == std::string_view::npos) continue;
    std::string name = LowerCase(TrimOws(element.substr(0, equals)));
    if (seen.insert(name).second)
      parameters.emplace_back(std::move(name), Unquote(TrimOws(element.substr(equals + 1))));
  }
  return parameters;
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
  const auto parameters = TzqHttpAuthorization::ParseAuthParams(line);
  auto parameter = [&parameters](std::string_view name) {
    for (const auto& [key, value] : parameters)
      if (key == name) return value;
    return std::string();
  };
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
  UserHash = SameText(parameter("userhash"), "true");
}

void TzqHttpDigestAuthorization::Authorize(const TzqUrlParser& parser, const std::string& method,
                                           const std::string& userName, const std::string& password,
                                           const TzqStringList& challenges, const void*) {
  AuthorizationValue.clear();
  const std::string line = StrongestChallenge(challenges);
  if (line.empty()) return;
  AuthorizationValue = DigestValue(parser, method, userName, password, line, EntityBody);
}

std::string TzqHttpDigestAuthorization::StrongestChallenge(const TzqStringList& challenges) {
  const TzqStringList split = SplitChallenges(challenges);
  std::string best;
  int bestStrength = 0;
  for (int i = 0; i < split.Count(); ++i) {
    if (!SameText(split[i].substr(0, split[i].find(' ')), "digest")) continue;
    TzqDigestChallenge challenge;
    challenge.Parse(split[i]);
    const int strength = DigestStrength(challenge.Algorithm);
    if (strength > bestStrength) {
      best = split[i];
      bestStrength = strength;
    }
  }
  return best;
}

std::string TzqHttpDigestAuthorization::DigestValue(const TzqUrlParser& parser, const std::string& method,
                                                    const std::string& userName, const std::string& password,
                                                    const std::string& line, TzqStream* entityBody) {
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
  // A tunnel's request target is its authority.
  challenge.Uri = SameText(method, "CONNECT") ? parser.Host() + ":" + IntToStr(parser.Port() > 0 ? parser.Port() : 80)
                                              : parser.RequestTarget();
  challenge.EntityBody = entityBody;
  challenge.Response = DigestResponse(challenge, userName, password);
  if (challenge.Response.empty()) return std::string();
  if (challenge.UserHash) {
    bool sess = false;
    challenge.UserName = HashHex(DigestHashOf(challenge.Algorithm, sess), userName + ":" + challenge.Realm);
  }
  return ComposeDigest(challenge);
}

std::string TzqHttpDigestAuthorization::DigestResponse(TzqDigestChallenge& challenge, const std::string& userName,
                                                       const std::string& password) {
  bool sess = false;
  const EVP_MD* hash = DigestHashOf(challenge.Algorithm, sess);
  const std::string qop = ChooseQop(challenge.QopOptions);
  if (hash == nullptr || qop == "?") return std::string();
  challenge.QopOptions = qop;
  std::string ha1 = HashHex(hash, userName + ":" + challenge.Realm + ":" + password);
  if (sess) ha1 = HashHex(hash, ha1 + ":" + challenge.Nonce + ":" + challenge.ClientNonce);
  std::string a2 = challenge.Method + ":" + challenge.Uri;
  if (qop == "auth-int") a2 += ":" + BodyHashHex(hash, challenge.EntityBody);
  std::string s = challenge.Nonce + ":";
  if (!qop.empty()) s += Hex8(challenge.NonceCount) + ":" + challenge.ClientNonce + ":" + qop + ":";
  return HashHex(hash, ha1 + ":" + s + HashHex(hash, a2));
}

std::string TzqHttpDigestAuthorization::ComposeDigest(const TzqDigestChallenge& challenge) {
  std::vector<std::string> parameters;
  auto add = [&parameters](const char* name, const std::string& value, bool quoted) {
    if (!Trim(value).empty()) parameters.push_back(std::string(name) + "=" + (quoted ? Quote(value) : value));
  };
  const bool qop = !challenge.QopOptions.empty();
  add("username", challenge.UserName, true);
  add("realm", challenge.Realm, true);
  if (qop) add("qop", challenge.QopOptions, false);
  add("algorithm", challenge.Algorithm, false);
  add("uri", challenge.Uri, true);
  add("nonce", challenge.Nonce, true);
  if (qop) {
    add("nc", Hex8(challenge.NonceCount), false);
    add("cnonce", challenge.ClientNonce, true);
  }
  add("opaque", challenge.Opaque, true);
  add("response", challenge.Response, true);
  if (challenge.UserHash) add("userhash", "true", false);
  std::string value = "Digest";
  for (size_t i = 0; i < parameters.size(); ++i) value += (i == 0 ? " " : ", ") + parameters[i];
  return value;
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
  } catch (const EzqSSPIError&) {
    done = true;
    finish();
    // Without a user name and without system credentials (no Kerberos ticket) there is
    // nothing to offer: leave the answer to the next scheme, or the 401 to the caller.
    if (userName.empty() && StartNewConnection) return;
    throw;
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
