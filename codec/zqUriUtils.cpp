#include "codec/zqUriUtils.h"

#include <algorithm>

#include "codec/zqIdnTranslator.h"
#include "codec/zqPercentEncoder.h"
#include "codec/zqUtils.h"
#include "core/zqText.h"

namespace zq {

namespace {

const char* const sUrlUnsafeCharacters = " <>\"#%{}|\\^~[]`";

const char* const sSchemeSeparator = "://";
const char* const sMailtoPrefix = "mailto:";
const char* const sDefaultScheme = "http";
const char* const sAsteriskTarget = "*";

struct TzqSchemeInfo {
  std::string_view name;
  TzqSchemeKind kind;
  int32_t defaultPort;
};

constexpr TzqSchemeInfo kSchemes[] = {
    {"ftp", skFtp, 21},  {"gopher", skGopher, 70}, {"http", skHttp, 80},     {"https", skHttps, 443},
    {"file", skFile, 0}, {"news", skNews, 0},      {"mailto", skMailto, 25},
};

const TzqSchemeInfo* FindScheme(std::string_view scheme) {
  for (const TzqSchemeInfo& info : kSchemes)
    if (info.name == scheme) return &info;
  return nullptr;
}

bool IsMailto(std::string_view scheme) { return LowerCase(scheme) == "mailto"; }

const char* const sBadPort = "The port in a URL must be a number from 1 to 65535";
const char* const sBadIpv6Literal = "Malformed IPv6 address in brackets in a URL";
constexpr int32_t kMaxPort = 65535;

// An empty port means none; anything but a number from 1 to 65535 is refused, never wrapped.
int32_t PortNumber(std::string_view text) {
  if (text.empty()) return 0;
  int32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') throw EzqUrlError(sBadPort);
    value = value * 10 + (c - '0');
    if (value > kMaxPort) throw EzqUrlError(sBadPort);
  }
  if (value == 0) throw EzqUrlError(sBadPort);
  return value;
}

bool IsHexDigitOrSeparator(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' || c == '.';
}

bool IsUnreservedCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

// The inside of "[...]": an address of hex digits, ':' and '.', and an optional zone id after
// "%25" (RFC 6874) or a bare '%', kept after a plain '%' as the resolver expects it.
std::string Ipv6Literal(std::string_view inside) {
  const size_t percent = inside.find('%');
  const std::string_view address = inside.substr(0, percent);
  if (address.find(':') == std::string_view::npos ||
      !std::all_of(address.begin(), address.end(), IsHexDigitOrSeparator))
    throw EzqUrlError(sBadIpv6Literal);
  if (percent == std::string_view::npos) return std::string(address);
  std::string_view zone = inside.substr(percent + 1);
  if (zone.substr(0, 2) == "25") zone.remove_prefix(2);
  // An interface name or number: unreserved characters only, so the literal composes back as taken.
  if (zone.empty() || !std::all_of(zone.begin(), zone.end(), IsUnreservedCharacter)) throw EzqUrlError(sBadIpv6Literal);
  return std::string(address) + '%' + std::string(zone);
}

// A reference split as RFC 3986 appendix B does; query and fragment keep their '?' and '#'.
struct TzqReference {
  std::string scheme;
  bool hasScheme = false;
  std::string authority;
  bool hasAuthority = false;
  std::string path;
  std::string query;
  std::string fragment;
};

bool IsSchemeCharacter(char c, bool first) {
  const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  return letter || (!first && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
}

size_t SchemeLength(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsSchemeCharacter(text[i], i == 0)) ++i;
  return i > 0 && i < text.size() && text[i] == ':' ? i : 0;
}

TzqReference SplitReference(std::string_view text) {
  TzqReference reference;
  if (const size_t hash = text.find('#'); hash != std::string_view::npos) {
    reference.fragment = std::string(text.substr(hash));
    text = text.substr(0, hash);
  }
  if (const size_t question = text.find('?'); question != std::string_view::npos) {
    reference.query = std::string(text.substr(question));
    text = text.substr(0, question);
  }
  if (const size_t length = SchemeLength(text)) {
    reference.scheme = LowerCase(text.substr(0, length));
    reference.hasScheme = true;
    text.remove_prefix(length + 1);
  }
  if (text.substr(0, 2) == "//") {
    text.remove_prefix(2);
    const size_t slash = text.find('/');
    reference.authority = std::string(text.substr(0, slash));
    reference.hasAuthority = true;
    text = slash == std::string_view::npos ? std::string_view() : text.substr(slash);
  }
  reference.path = std::string(text);
  return reference;
}

// Cuts text at the first occurrence of c: returns what follows from c on and keeps the rest.
std::string TakeFrom(std::string& text, char c) {
  const size_t at = text.find(c);
  if (at == std::string::npos) return {};
  std::string tail = text.substr(at);
  text.erase(at);
  return tail;
}

// Where the path begins: at the first '/'. Without an authority it moves back over at most two
// dots before it, so that a relative path such as ../a keeps its dots; after "://" the dot
// ends the host ("example.com./", a fully qualified name).
size_t PathStart(const std::string& text, bool authority) {
  size_t at = text.find('/');
  if (at == std::string::npos || authority) return at;
  for (int dots = 0; dots < 2 && at > 0 && text[at - 1] == '.'; ++dots) --at;
  return at;
}

// The directory of a base path without its leading character: "/a/b/x" gives "a/b/".
std::string BaseDirectory(const std::string& path) {
  const size_t lastSlash = path.rfind('/');
  if (lastSlash == std::string::npos || lastSlash == 0) return {};
  return path.substr(1, lastSlash);
}

}  // namespace

TzqUrlEncoder::TzqUrlEncoder() {
  SetUnsafeCharacters(sUrlUnsafeCharacters);
  SetPreserveEscapes(true);
}

std::string TzqUrlEncoder::Encode(std::string_view text, std::string_view charset) {
  std::string result = TzqPercentEncoder::Encode(text, charset);
  if (text.empty() || !result.empty()) return result;
  for (char c : Trim(text)) {
    if (c == ' ')
      result += "%20";
    else
      result += c;
  }
  return result;
}

std::string TzqUrlEncoder::EncodeUrlText(std::string_view text, std::string_view charset) {
  TzqUrlEncoder encoder;
  return encoder.Encode(text, charset);
}

void TzqUrlParser::Clear() {
  scheme_.clear();
  path_.clear();
  user_.clear();
  query_.clear();
  host_.clear();
  password_.clear();
  port_ = 0;
  fragment_.clear();
  opaque_ = false;
}

void TzqUrlParser::Assign(const TzqUrlParser& source) {
  scheme_ = source.scheme_;
  path_ = source.path_;
  user_ = source.user_;
  query_ = source.query_;
  host_ = source.host_;
  password_ = source.password_;
  port_ = source.port_;
  fragment_ = source.fragment_;
  opaque_ = source.opaque_;
}

void TzqUrlParser::SplitUrl(std::string_view url) {
  Clear();
  std::string text(url);
  fragment_ = TakeFrom(text, '#');
  query_ = TakeFrom(text, '?');

  const size_t separator = text.find(sSchemeSeparator);
  if (separator != std::string::npos) {
    scheme_ = LowerCase(text.substr(0, separator));
    text.erase(0, separator + std::string_view(sSchemeSeparator).size());
  } else if (text.size() > 6 && LowerCase(text.substr(0, 7)) == sMailtoPrefix) {
    scheme_ = "mailto";
    text.erase(0, 7);
  }

  if (const size_t at = PathStart(text, separator != std::string::npos); at != std::string::npos) {
    path_ = text.substr(at);
    text.erase(at);
  }

  SplitAuthority(std::move(text));
}

void TzqUrlParser::SplitAuthority(std::string text) {
  if (const size_t at = text.find('@'); at != std::string::npos) {
    const std::string userInfo = text.substr(0, at);
    text.erase(0, at + 1);
    const size_t colon = userInfo.find(':');
    user_ = userInfo.substr(0, colon);
    if (colon != std::string::npos) password_ = userInfo.substr(colon + 1);
  }
  SplitHostAndPort(text);
}

void TzqUrlParser::SplitHostAndPort(std::string_view text) {
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) throw EzqUrlError(sBadIpv6Literal);
    host_ = Ipv6Literal(text.substr(1, close - 1));
    text.remove_prefix(close + 1);
    if (!text.empty() && text.front() != ':') throw EzqUrlError(sBadIpv6Literal);
  } else {
    const size_t colon = text.find(':');
    host_ = std::string(text.substr(0, colon));
    if (host_.find_first_of("[]") != std::string::npos) throw EzqUrlError(sBadIpv6Literal);
    text = colon == std::string_view::npos ? std::string_view() : text.substr(colon);
  }
  if (!text.empty()) port_ = PortNumber(text.substr(1));
}

void TzqUrlParser::ParseUrl(std::string_view url) {
  SplitUrl(url);
  if (scheme_.empty() && !host_.empty()) scheme_ = sDefaultScheme;
  if (port_ == 0) port_ = DefaultPort(scheme_);
}

void TzqUrlParser::ParseRelativeUrl(std::string_view base, std::string_view reference) {
  if (base.empty() && reference.empty()) {
    Clear();
    return;
  }
  TzqUrlParser baseUrl(charset_);
  baseUrl.ParseUrl(base);
  if (baseUrl.scheme_.empty()) return ResolveWithoutBase(baseUrl, reference);

  const TzqReference ref = SplitReference(reference);
  if (ref.hasScheme && (ref.hasAuthority || IsMailto(ref.scheme))) {
    SplitUrl(reference);
    return FinishResolution();
  }
  Clear();
  query_ = ref.query;
  fragment_ = ref.fragment;
  if (ref.hasScheme) {
    scheme_ = ref.scheme;
    path_ = ref.path;
    opaque_ = true;
    return;
  }
  scheme_ = baseUrl.scheme_;
  if (ref.hasAuthority) {
    SplitAuthority(ref.authority);
    path_ = ref.path;
    return FinishResolution();
  }
  user_ = baseUrl.user_;
  password_ = baseUrl.password_;
  host_ = baseUrl.host_;
  port_ = baseUrl.port_;
  if (ref.path.empty()) {
    path_ = baseUrl.path_;
    if (ref.query.empty()) query_ = baseUrl.query_;
  } else {
    path_ = ref.path[0] == '/' ? ref.path : BaseDirectory(baseUrl.path_) + ref.path;
  }
  FinishResolution();
}

// Dot segments removed from the path (a mailto address has none), and the scheme's port when
// none was given.
void TzqUrlParser::FinishResolution() {
  if (!IsMailto(scheme_)) path_ = CollapseDotSegments(path_, '/');
  if (port_ == 0) port_ = DefaultPort(scheme_);
}

// A base without a scheme names no server: the reference stands on its own, a relative path
// such as "images/a.png" splitting into a host and a path as it does for ParseUrl.
void TzqUrlParser::ResolveWithoutBase(const TzqUrlParser& base, std::string_view reference) {
  SplitUrl(reference);
  const bool ownScheme = !scheme_.empty();
  if (!ownScheme && !host_.empty()) scheme_ = sDefaultScheme;
  const bool absolutePath = !path_.empty() && path_[0] == '/';
  if (absolutePath)
    path_.erase(0, 1);
  else if (!ownScheme)
    path_ = BaseDirectory(base.path_) + path_;
  FinishResolution();
}

TzqSchemeKind TzqUrlParser::SchemeKind() const {
  const TzqSchemeInfo* info = FindScheme(scheme_);
  return info ? info->kind : skUnknown;
}

int32_t TzqUrlParser::DefaultPort(std::string_view scheme) {
  const TzqSchemeInfo* info = FindScheme(scheme);
  return info ? info->defaultPort : 0;
}

std::string TzqUrlParser::HostText(std::string_view host) {
  const size_t colon = host.find(':');
  if (colon == std::string_view::npos || host.front() == '[') return std::string(host);
  const size_t percent = host.find('%');
  if (percent == std::string_view::npos) return "[" + std::string(host) + "]";
  return "[" + std::string(host.substr(0, percent)) + "%25" + std::string(host.substr(percent + 1)) + "]";
}

std::string TzqUrlParser::ServerPart() const {
  std::string result;
  if (IsMailto(scheme_) || opaque_)
    result = scheme_ + ":";
  else if (!scheme_.empty())
    result = scheme_ + sSchemeSeparator;
  if (!host_.empty()) {
    if (!user_.empty()) {
      result += user_;
      if (!password_.empty()) result += ":" + password_;
      result += '@';
    }
    result += HostText(TzqIdnTranslator::EncodeHost(host_));
  }
  if (port_ != 0 && port_ != DefaultPort(scheme_)) result += ":" + IntToStr(port_);
  return result;
}

std::string TzqUrlParser::EncodedPathAndQuery() const {
  std::string text;
  if (!opaque_ && ((!host_.empty() && path_.empty() && !IsMailto(scheme_)) || (!path_.empty() && path_[0] != '/')))
    text = "/";
  text += path_;
  if (!query_.empty() && query_[0] != '?') text += '?';
  text += query_;
  return TzqUrlEncoder::EncodeUrlText(text, charset_);
}

std::string TzqUrlParser::PathPart() const {
  std::string result = EncodedPathAndQuery();
  if (!fragment_.empty()) {
    const std::string_view fragment = std::string_view(fragment_).substr(fragment_[0] == '#' ? 1 : 0);
    result += '#' + TzqUrlEncoder::EncodeUrlText(fragment, charset_);
  }
  return result;
}

std::string TzqUrlParser::RequestTarget() const {
  return host_ == sAsteriskTarget ? std::string(sAsteriskTarget) : EncodedPathAndQuery();
}

std::string TzqUrlParser::FullUrl() const { return ServerPart() + PathPart(); }

}  // namespace zq
