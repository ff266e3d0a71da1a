#pragma once
// Character references of HTML text: "&amp;", "&#8212;", "&#x2014;" and the named references
// of HTML 4 (with "&apos;"), as a browser reads them.

#include <string>
#include <string_view>

#include "core/zqApi.h"

namespace zq {

// The text with each reference replaced by its character in the local code page. Named
// references need their ';' (numeric ones do not). A reference that names nothing, or whose
// character the local code page cannot hold, stays as written. Numeric references to 0,
// surrogates and beyond U+10FFFF give U+FFFD; 0x80..0x9F give their Windows-1252 characters.
ZQ_API std::string DecodeCharacterReferences(std::string_view text);

}  // namespace zq
