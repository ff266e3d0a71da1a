// Thousands of exchanges, half of them failing, leave file descriptors and the heap as they
// found them.

#include <dirent.h>
#include <malloc.h>

#include <gtest/gtest.h>

#include <string>

#include "core/zqText.h"
#include "http/zqHttp.h"
#include "tests/http/integration/zqScriptedHttp.h"

namespace zq {
namespace {

int OpenDescriptors() {
  int count = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  while (::readdir(dir) != nullptr) ++count;
  ::closedir(dir);
  return count;
}

size_t HeapInUse() { return mallinfo2().uordblks; }

// Each connection carries one exchange: a good response, or (every other one) no status line.
void Exchanges(TzqHttp& client, int count, int& failures) {
  int served = 0;
  test::ScriptedServer server(
      [&](int fd) {
        test::ReadRequest(fd);
        test::WriteAll(fd, served++ % 2 == 0 ? "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok"
                                             : "garbage\r\n\r\n");
      },
      false, count);
  const std::string url = Format("http://127.0.0.1:%d/", server.Port());
  for (int i = 0; i < count; ++i) {
    TzqMemoryStream body;
    try {
      client.Get(url, nullptr, nullptr, &body);
    } catch (const EzqHttpError&) {
      ++failures;
    }
  }
  EXPECT_EQ(server.Errors(), "");
}

TEST(HttpResources, FiveThousandExchangesHalfFailingLeaveDescriptorsAndHeapFlat) {
  TzqHttp client;
  client.SetTimeOut(5000);
  int failures = 0;
  Exchanges(client, 200, failures);  // warm-up: caches, the resolver, the first allocations
  const int descriptors = OpenDescriptors();
  const size_t heap = HeapInUse();
  failures = 0;
  for (int round = 0; round < 5; ++round) Exchanges(client, 1000, failures);
  EXPECT_EQ(failures, 2500);
  EXPECT_EQ(OpenDescriptors(), descriptors);
  // A leak of one small block per exchange would be 5,000 blocks at least.
  EXPECT_LT(HeapInUse(), heap + 64 * 1024) << "heap grew from " << heap;
}

}  // namespace
}  // namespace zq
