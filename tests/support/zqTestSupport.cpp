#include "tests/support/zqTestSupport.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "core/zqCodePage.h"

namespace zq::test {

std::string DataPath(const std::string& relative) { return std::string(ZQ_TEST_DATA_DIR) + "/" + relative; }

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zqtest-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

CodePageScope::CodePageScope(int codePage) : previous_(LocalCodePage()) { SetLocalCodePage(codePage); }
CodePageScope::~CodePageScope() { SetLocalCodePage(previous_); }

TimeZoneScope::TimeZoneScope(const char* zone) {
  const char* old = std::getenv("TZ");
  hadPrevious_ = old != nullptr;
  if (old) previous_ = old;
  setenv("TZ", zone, 1);
  tzset();
}

TimeZoneScope::~TimeZoneScope() {
  if (hadPrevious_)
    setenv("TZ", previous_.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

std::string Bytes(const zq::TzqByteArray& bytes) { return std::string(bytes.begin(), bytes.end()); }
zq::TzqByteArray ToBytes(const std::string& text) { return zq::TzqByteArray(text.begin(), text.end()); }

}  // namespace zq::test
