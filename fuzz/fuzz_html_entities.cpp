// Feeds arbitrary text to the character-reference decoder under both local code pages.
// Input: a flag byte (bit 0 selects Windows-1252), then the text.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/zqCodePage.h"
#include "html/zqHtmlEntities.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  zq::SetLocalCodePage((data[0] & 1) ? zq::CP_WINDOWS1252 : zq::CP_UTF8);
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string decoded = zq::DecodeCharacterReferences(text);
  // A reference is never longer in its decoded form than as written (at most 4 bytes for 3).
  if (decoded.size() > text.size() + text.size() / 3 + 1) std::abort();
  if (text.find('&') == std::string_view::npos && decoded != text) std::abort();
  return 0;
}
