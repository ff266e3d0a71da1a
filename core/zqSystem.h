#pragma once
// Small system services: error texts and the monotonic clock.

#include <cstdint>
#include <string>

#include "core/zqApi.h"

namespace zq {

// The system's text for an errno value.
ZQ_API std::string ErrnoText(int error);
// Milliseconds of a monotonic clock (never goes back, not related to the calendar).
ZQ_API uint64_t GetTickCount64();
ZQ_API uint32_t GetTickCount();

}  // namespace zq
