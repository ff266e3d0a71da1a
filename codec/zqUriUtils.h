#pragma once
// URLs split into their parts, relative references resolved against a base, and URLs composed
// back into text with path, query and fragment percent-encoded and the host in ASCII form.
// Parsing is textual: text that is no URL gives empty or odd parts. Only a port that is no
// number from 1 to 65535 and malformed IPv6 brackets raise EzqUrlError, since either would
// send a request somewhere the caller never named.

#include <cstdint>
#include <string>
#include <string_view>

#include "codec/zqPercentEncoder.h"
#include "core/zqApi.h"
#include "core/zqComponent.h"
#include "core/zqError.h"

namespace zq {

class ZQ_API EzqUrlError : public EzqError {
public:
  using EzqError::EzqError;
};

// The encoder of URL paths, queries and fragments: escapes the blank, controls, bytes above
// 126 and  <>"#%{}|\^~[]` , and keeps escapes already present.
class ZQ_API TzqUrlEncoder : public TzqPercentEncoder {
public:
  TzqUrlEncoder();
  std::string ClassName() const override { return "TzqUrlEncoder"; }

  // When the charset conversion gives no bytes for a non-empty text, the text trimmed, with
  // every space as "%20".
  std::string Encode(std::string_view text, std::string_view charset) override;

  static std::string EncodeUrlText(std::string_view text, std::string_view charset);
};

enum TzqSchemeKind { skUnknown, skFtp, skGopher, skHttp, skHttps, skFile, skNews, skMailto };

class ZQ_API TzqUrlParser : public TzqObject {
public:
  TzqUrlParser() = default;
  // The charset path, query and fragment are encoded in when composed; empty means the
  // local code page.
  explicit TzqUrlParser(std::string charset) : charset_(std::move(charset)) {}
  std::string ClassName() const override { return "TzqUrlParser"; }

  // Lower case, without "://".
  const std::string& Scheme() const { return scheme_; }
  void SetScheme(const std::string& value) { scheme_ = value; }
  // With its leading '/' when the URL has one; may be relative.
  const std::string& Path() const { return path_; }
  void SetPath(const std::string& value) { path_ = value; }
  const std::string& User() const { return user_; }
  void SetUser(const std::string& value) { user_ = value; }
  // With its leading '?'.
  const std::string& Query() const { return query_; }
  void SetQuery(const std::string& value) { query_ = value; }
  // As written; an IPv6 literal without its brackets (and a zone id after a plain '%'), so
  // that it can be resolved as it stands.
  const std::string& Host() const { return host_; }
  void SetHost(const std::string& value) { host_ = value; }
  const std::string& Password() const { return password_; }
  void SetPassword(const std::string& value) { password_ = value; }
  // 0 means none given.
  int32_t Port() const { return port_; }
  void SetPort(int32_t value) { port_ = value; }
  const std::string& Charset() const { return charset_; }
  void SetCharset(const std::string& value) { charset_ = value; }
  // With its leading '#'.
  const std::string& Fragment() const { return fragment_; }
  void SetFragment(const std::string& value) { fragment_ = value; }

  // Every part empty and the port 0; the charset stays.
  void Clear();
  // Every part except the charset.
  void Assign(const TzqUrlParser& source);

  // The raw split: no scheme or port is filled in. An empty port gives 0.
  void SplitUrl(std::string_view url);
  // SplitUrl, then "http" for a host without a scheme and the scheme's default port.
  void ParseUrl(std::string_view url);
  // The reference resolved against base as RFC 3986 section 5.2 does (a base without a scheme
  // is no base: the reference is then parsed on its own). A reference such as "g:h" gives a
  // URL without authority, composed as "g:h".
  void ParseRelativeUrl(std::string_view base, std::string_view reference);

  // The scheme compared exactly.
  TzqSchemeKind SchemeKind() const;
  // ftp 21, gopher 70, http 80, https 443, mailto 25; any other scheme 0.
  static int32_t DefaultPort(std::string_view scheme);

  // Scheme and authority, the host in ASCII form (raises EzqIdnError when it cannot be
  // translated); the port only when it is not the scheme's default.
  std::string ServerPart() const;
  // Path, query and fragment, percent-encoded in the charset.
  std::string PathPart() const;
  // "*" for the host "*", otherwise PathPart without the fragment, which is never sent.
  std::string RequestTarget() const;
  std::string FullUrl() const;

  // A host as URL and header text: an IPv6 literal in brackets with its zone id escaped,
  // anything else unchanged.
  static std::string HostText(std::string_view host);

private:
  void SplitAuthority(std::string text);
  void SplitHostAndPort(std::string_view text);
  void ResolveWithoutBase(const TzqUrlParser& base, std::string_view reference);
  void FinishResolution();
  std::string EncodedPathAndQuery() const;

  std::string scheme_;
  std::string path_;
  std::string user_;
  std::string query_;
  std::string host_;
  std::string password_;
  int32_t port_ = 0;
  std::string charset_;
  std::string fragment_;
  // "scheme:path" without "//" and authority, as "g:h" resolves.
  bool opaque_ = false;
};

}  // namespace zq
