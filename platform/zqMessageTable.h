#pragma once
// The message texts of the security and certificate status codes, standing in for the
// system message table that the security provider and CryptoAPI texts come from.

#include <cstdint>
#include <string>

#include "core/zqApi.h"

namespace zq {

// The system's text for a status code, as the platform writes it (ending in ".\r\n"), or an
// empty text when the platform has none for that code.
ZQ_API std::string SystemMessageText(uint32_t code);
// The same text as messages show it: closing control characters, blanks and periods dropped,
// then blanks and control characters trimmed from both ends.
ZQ_API std::string SystemMessageShortText(uint32_t code);

}  // namespace zq
