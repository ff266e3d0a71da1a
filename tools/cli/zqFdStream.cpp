#include "tools/cli/zqFdStream.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "core/zqError.h"

namespace zq::cli {

int64_t TzqFdStream::Read(void*, int64_t) { return 0; }

int64_t TzqFdStream::Write(const void* buffer, int64_t count) {
  const auto* bytes = static_cast<const char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd_, bytes + done, static_cast<size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw EzqStreamIoError(std::string("cannot write the output: ") + std::strerror(errno), errno);
    done += n;
  }
  written_ += done;
  return done;
}

int64_t TzqFdStream::Seek(int64_t offset, TzqSeekOrigin origin) {
  const int64_t target = origin == soBeginning ? offset : written_ + offset;
  if (target != written_) throw EzqStreamIoError("the output cannot seek");
  return written_;
}

}  // namespace zq::cli
