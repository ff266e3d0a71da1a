// Feeds arbitrary texts to the URL parser, the percent encoders and the IDN translator.
// Input: a flag byte (bit 0 selects Windows-1252), then base and reference separated by '\n'.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "codec/zqIdnTranslator.h"
#include "codec/zqPercentEncoder.h"
#include "codec/zqUriUtils.h"
#include "core/zqCodePage.h"

namespace {

void Compose(const zq::TzqUrlParser& parser) {
  try {
    (void)parser.FullUrl();
    (void)parser.RequestTarget();
  } catch (const zq::EzqIdnError&) {
  }
}

// Only a bad port or bracket is refused; a parse that succeeds leaves a host without brackets.
template <typename Parse>
bool Parsed(zq::TzqUrlParser& parser, Parse parse) {
  try {
    parse();
  } catch (const zq::EzqUrlError&) {
    return false;
  }
  if (parser.Host().find_first_of("[]") != std::string::npos) std::abort();
  if (parser.Port() < 0 || parser.Port() > 65535) std::abort();
  return true;
}

void CheckFormRoundTrip(std::string_view text) {
  zq::TzqFormFieldEncoder encoder;
  const zq::TzqByteArray bytes(text.begin(), text.end());
  if (encoder.DecodeToBytes(encoder.EncodeBytes(bytes)) != bytes) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  zq::SetLocalCodePage((data[0] & 1) ? zq::CP_WINDOWS1252 : zq::CP_UTF8);
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t newline = input.find('\n');
  const std::string_view base = input.substr(0, newline);
  const std::string_view reference = newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);

  zq::TzqUrlParser parser(data[0] & 2 ? "utf-8" : "");
  if (Parsed(parser, [&] { parser.SplitUrl(input); })) Compose(parser);
  if (Parsed(parser, [&] { parser.ParseUrl(base); })) Compose(parser);
  if (Parsed(parser, [&] { parser.ParseRelativeUrl(base, reference); })) {
    const bool mailto = parser.SchemeKind() == zq::skMailto;
    if (!parser.Host().empty() && !mailto && (parser.Path().empty() || parser.Path()[0] != '/')) std::abort();
    Compose(parser);
  }

  CheckFormRoundTrip(input);
  zq::TzqUrlEncoder urlEncoder;
  (void)urlEncoder.Decode(urlEncoder.Encode(input, "utf-8"), "utf-8");
  try {
    (void)zq::TzqIdnTranslator::EncodeHost(input);
  } catch (const zq::EzqIdnError&) {
  }
  return 0;
}
