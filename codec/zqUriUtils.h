#pragma once
// URLs split into their parts, relative references resolved against a base, and URLs composed
// back into text with path, query and fragment percent-encoded and the host in ASCII form.
// Parsing is purely textual and never fails: text that is no URL gives empty or odd parts.

#include <cstdint>
#include <string>
#include <string_view>

#include "codec/zqPercentEncoder.h"
#include "core/zqComponent.h"

namespace zq {

// The encoder of URL paths, queries and fragments: escapes the blank, controls, bytes above
// 126 and  <>"#%{}|\^~[]` , and keeps escapes already present.
class TzqUrlEncoder : public TzqPercentEncoder {
public:
  TzqUrlEncoder();
  std::string ClassName() const override { return "TzqUrlEncoder"; }

  // When the charset conversion gives no bytes for a non-empty text, the text trimmed, with
  // every space as "%20".
  std::string Encode(std::string_view text, std::string_view charset) override;

  static std::string EncodeUrlText(std::string_view text, std::string_view charset);
};

enum TzqSchemeKind { skUnknown, skFtp, skGopher, skHttp, skHttps, skFile, skNews, skMailto };

class TzqUrlParser : public TzqObject {
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
  // As written (no IPv6 brackets are recognised).
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

  // The raw split: no scheme or port is filled in. A port that is not a decimal number that
  // fits in 32 bits gives 0.
  void SplitUrl(std::string_view url);
  // SplitUrl, then "http" for a host without a scheme and the scheme's default port.
  void ParseUrl(std::string_view url);
  // The reference resolved against base. The base's query and fragment are never inherited.
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
  // "*" for the host "*", otherwise PathPart.
  std::string RequestTarget() const;
  std::string FullUrl() const;

private:
  std::string scheme_;
  std::string path_;
  std::string user_;
  std::string query_;
  std::string host_;
  std::string password_;
  int32_t port_ = 0;
  std::string charset_;
  std::string fragment_;
};

}  // namespace zq
