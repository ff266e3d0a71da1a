// ParseUrl and relative resolution against FullUrl: a composed URL parses to parts that compose
// to the same URL again, with the same scheme and port, whether it came from a plain parse or
// from resolving a reference against a base.
// Input: a flag byte (code page, charset), then base and reference separated by '\n'.

#include <cstdint>
#include <string>
#include <string_view>

#include "codec/zqIdnTranslator.h"
#include "codec/zqUriUtils.h"
#include "core/zqCodePage.h"

using namespace zq;

namespace {

// The URL composed, or "" when the parts cannot be composed (a host IDNA refuses).
std::string Composed(const TzqUrlParser& parser) {
  try {
    return parser.FullUrl();
  } catch (const EzqIdnError&) {
    return std::string();
  }
}

template <typename Parse>
void CheckFixedPoint(const std::string& charset, Parse parse) {
  TzqUrlParser first(charset);
  try {
    parse(first);
  } catch (const EzqUrlError&) {
    return;
  }
  // Parts holding their own delimiters compose ambiguously; the parser keeps them as given. A
  // URL without authority ("g:h") reads back as host and port, as ParseUrl takes "host:port".
  // mailto composes as "mailto:" and the rest, which reads back by the text it holds.
  if (first.Host().empty() || first.SchemeKind() == skMailto ||
      first.Host().find_first_of("@/?#") != std::string::npos ||
      (first.User() + first.Password()).find_first_of("@:/?#") != std::string::npos)
    return;
  const std::string url = Composed(first);
  if (url.empty()) return;
  TzqUrlParser second(charset);
  try {
    second.ParseUrl(url);
  } catch (const EzqUrlError&) {
    __builtin_trap();  // what the parser composed, it must take back
  }
  if (second.SchemeKind() != first.SchemeKind() || second.Port() != first.Port()) __builtin_trap();
  if (Composed(second) != url) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  SetLocalCodePage((data[0] & 1) ? CP_WINDOWS1252 : CP_UTF8);
  const std::string charset = data[0] & 2 ? "utf-8" : "";
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t newline = input.find('\n');
  const std::string_view base = input.substr(0, newline);
  const std::string_view reference = newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);
  CheckFixedPoint(charset, [&](TzqUrlParser& parser) { parser.ParseUrl(base); });
  CheckFixedPoint(charset, [&](TzqUrlParser& parser) { parser.ParseRelativeUrl(base, reference); });
  return 0;
}
