#pragma once
// Small system services: error texts and the monotonic clock.

#include <cstdint>
#include <string>

namespace zq {

// The system's text for an errno value.
std::string ErrnoText(int error);
// Milliseconds of a monotonic clock (never goes back, not related to the calendar).
uint64_t GetTickCount64();
uint32_t GetTickCount();

}  // namespace zq
