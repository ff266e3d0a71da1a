#pragma once
// The root of every exception the library raises.

#include <exception>
#include <string>

#include "core/zqApi.h"

namespace zq {

class ZQ_API EzqError : public std::exception {
public:
  explicit EzqError(std::string message, int errorCode = 0) : message_(std::move(message)), errorCode_(errorCode) {}

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }
  // The platform's error number, or a negative code for conditions the library detects.
  int ErrorCode() const noexcept { return errorCode_; }

private:
  std::string message_;
  int errorCode_;
};

// A text that does not convert to the value asked for (numbers, dates, assignments).
class ZQ_API EzqConvertError : public EzqError {
public:
  using EzqError::EzqError;
};

// Stream failures: short reads and writes, files that cannot be opened or created.
class ZQ_API EzqStreamIoError : public EzqError {
public:
  using EzqError::EzqError;
};

// A stored form that does not hold what its reader expects.
class ZQ_API EzqReadError : public EzqError {
public:
  using EzqError::EzqError;
};

// Formats like printf into a std::string (the project's string tables carry printf-style texts).
ZQ_API std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace zq
