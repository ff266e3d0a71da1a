// Feeds arbitrary bytes to zq's Netscape cookie-file reader: it reads them or raises
// EzqReadError, and what it read is written and read back to the same cookies.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/zqError.h"
#include "http/zqCookieManager.h"
#include "tools/cli/zqNetscapeCookies.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  zq::TzqCookieList first;
  try {
    zq::cli::ReadNetscapeCookies(input, first);
  } catch (const zq::EzqReadError&) {
    if (first.Count() != 0) std::abort();  // all or nothing
    return 0;
  }
  const std::string written = zq::cli::WriteNetscapeCookies(first);
  zq::TzqCookieList second;
  zq::cli::ReadNetscapeCookies(written, second);
  if (second.Count() != first.Count()) std::abort();
  for (int i = 0; i < first.Count(); ++i) {
    const zq::TzqCookieItem& a = *first.Items(i);
    const zq::TzqCookieItem& b = *second.Items(i);
    if (a.Name != b.Name || a.Value != b.Value || a.Domain != b.Domain || a.Path != b.Path || a.Secure != b.Secure)
      std::abort();
  }
  return 0;
}
