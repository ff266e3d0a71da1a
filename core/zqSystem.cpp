#include "core/zqSystem.h"

#include <cstring>
#include <ctime>

namespace zq {

namespace {

// strerror_r comes in two shapes; both are handled.
[[maybe_unused]] const char* PickErrorText(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* PickErrorText(const char* result, const char*) { return result; }

}  // namespace

std::string ErrnoText(int error) {
  char buffer[256] = {};
  return PickErrorText(strerror_r(error, buffer, sizeof buffer), buffer);
}

uint64_t GetTickCount64() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint32_t GetTickCount() { return static_cast<uint32_t>(GetTickCount64()); }

}  // namespace zq
