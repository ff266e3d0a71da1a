#pragma once
// Helpers shared by the test programs.

#include <string>

#include "core/zqStream.h"

namespace zq::test {

// The path of a file under tests/data.
std::string DataPath(const std::string& relative);
// A fresh empty directory under the system's temporary directory, removed by the destructor.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

// Selects a local code page for the lifetime of the object, then restores the previous one.
class CodePageScope {
public:
  explicit CodePageScope(int codePage);
  ~CodePageScope();

private:
  int previous_;
};

// Sets TZ for the lifetime of the object, then restores it.
class TimeZoneScope {
public:
  explicit TimeZoneScope(const char* zone);
  ~TimeZoneScope();

private:
  std::string previous_;
  bool hadPrevious_;
};

std::string Bytes(const zq::TzqByteArray& bytes);
zq::TzqByteArray ToBytes(const std::string& text);

}  // namespace zq::test
