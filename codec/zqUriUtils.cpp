#include "codec/zqUriUtils.h"

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
    {"ftp", skFtp, 21},   {"gopher", skGopher, 70}, {"http", skHttp, 80},    {"https", skHttps, 443},
    {"file", skFile, 0},  {"news", skNews, 0},      {"mailto", skMailto, 25},
};

const TzqSchemeInfo* FindScheme(std::string_view scheme) {
  for (const TzqSchemeInfo& info : kSchemes)
    if (info.name == scheme) return &info;
  return nullptr;
}

bool IsMailto(std::string_view scheme) { return LowerCase(scheme) == "mailto"; }

// Only plain decimal digits that fit in 32 bits make a port; anything else gives 0.
int32_t PortNumber(std::string_view text) {
  if (text.empty() || text.size() > 10) return 0;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value > INT32_MAX ? 0 : static_cast<int32_t>(value);
}

// Cuts text at the first occurrence of c: returns what follows from c on and keeps the rest.
std::string TakeFrom(std::string& text, char c) {
  const size_t at = text.find(c);
  if (at == std::string::npos) return {};
  std::string tail = text.substr(at);
  text.erase(at);
  return tail;
}

// Where the path begins: at the first '/', moved back over at most two dots before it, so
// that a relative path such as ../a keeps its dots.
size_t PathStart(const std::string& text) {
  size_t at = text.find('/');
  if (at == std::string::npos) return at;
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
}

void TzqUrlParser::SplitUrl(std::string_view url) {
  Clear();
  std::string text(url);
  fragment_ = TakeFrom(text, '#');
  query_ = TakeFrom(text, '?');

  if (const size_t at = text.find(sSchemeSeparator); at != std::string::npos) {
    scheme_ = LowerCase(text.substr(0, at));
    text.erase(0, at + std::string_view(sSchemeSeparator).size());
  } else if (text.size() > 6 && LowerCase(text.substr(0, 7)) == sMailtoPrefix) {
    scheme_ = "mailto";
    text.erase(0, 7);
  }

  if (const size_t at = PathStart(text); at != std::string::npos) {
    path_ = text.substr(at);
    text.erase(at);
  }

  if (const size_t at = text.find('@'); at != std::string::npos) {
    const std::string userInfo = text.substr(0, at);
    text.erase(0, at + 1);
    const size_t colon = userInfo.find(':');
    user_ = userInfo.substr(0, colon);
    if (colon != std::string::npos) password_ = userInfo.substr(colon + 1);
  }

  if (const size_t at = text.find(':'); at != std::string::npos) {
    port_ = PortNumber(std::string_view(text).substr(at + 1));
    text.erase(at);
  }
  host_ = text;
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
  // A network-path reference ("//cdn.example/x", common in redirects) names its own server
  // and takes only the scheme of the base.
  if (reference.substr(0, 2) == "//" && !baseUrl.scheme_.empty())
    SplitUrl(baseUrl.scheme_ + ":" + std::string(reference));
  else
    SplitUrl(reference);
  const bool ownScheme = !scheme_.empty();

  // A relative path such as images/a.png splits into the host "images" and the path "/a.png".
  if (!baseUrl.scheme_.empty() && !ownScheme && !host_.empty()) {
    if (!path_.empty() && path_[0] != '/') path_.insert(0, 1, '/');
    path_.insert(0, host_);
    host_.clear();
  }
  if (!ownScheme && !baseUrl.scheme_.empty()) {
    scheme_ = baseUrl.scheme_;
    host_ = baseUrl.host_;
    user_ = baseUrl.user_;
    password_ = baseUrl.password_;
    if (port_ == 0) port_ = baseUrl.port_;
  }
  if (scheme_.empty() && !host_.empty()) scheme_ = sDefaultScheme;

  const bool absolutePath = !path_.empty() && path_[0] == '/';
  const std::string working =
      ownScheme || absolutePath ? path_.substr(absolutePath ? 1 : 0) : BaseDirectory(baseUrl.path_) + path_;
  path_ = CollapseDotSegments(working, '/');
  if (port_ == 0) port_ = DefaultPort(scheme_);
}

TzqSchemeKind TzqUrlParser::SchemeKind() const {
  const TzqSchemeInfo* info = FindScheme(scheme_);
  return info ? info->kind : skUnknown;
}

int32_t TzqUrlParser::DefaultPort(std::string_view scheme) {
  const TzqSchemeInfo* info = FindScheme(scheme);
  return info ? info->defaultPort : 0;
}

std::string TzqUrlParser::ServerPart() const {
  std::string result;
  if (IsMailto(scheme_))
    result = scheme_ + ":";
  else if (!scheme_.empty())
    result = scheme_ + sSchemeSeparator;
  if (!host_.empty()) {
    if (!user_.empty()) {
      result += user_;
      if (!password_.empty()) result += ":" + password_;
      result += '@';
    }
    result += TzqIdnTranslator::EncodeHost(host_);
  }
  if (port_ != 0 && port_ != DefaultPort(scheme_)) result += ":" + IntToStr(port_);
  return result;
}

std::string TzqUrlParser::PathPart() const {
  std::string text;
  if (!host_.empty() && path_.empty() && !IsMailto(scheme_))
    text = "/";
  else if (!path_.empty() && path_[0] != '/')
    text = "/";
  text += path_;
  if (!query_.empty() && query_[0] != '?') text += '?';
  text += query_;
  std::string result = TzqUrlEncoder::EncodeUrlText(text, charset_);
  if (!fragment_.empty()) {
    const std::string_view fragment = std::string_view(fragment_).substr(fragment_[0] == '#' ? 1 : 0);
    result += '#' + TzqUrlEncoder::EncodeUrlText(fragment, charset_);
  }
  return result;
}

std::string TzqUrlParser::RequestTarget() const { return host_ == sAsteriskTarget ? std::string(sAsteriskTarget) : PathPart(); }

std::string TzqUrlParser::FullUrl() const { return ServerPart() + PathPart(); }

}  // namespace zq
