// get_file URL FILE: downloads URL into FILE, with its progress on stderr.
#include <cstdio>
#include <exception>

#include "http/zqHttp.h"

int main(int argc, char** argv) {
  if (argc != 3) return std::fputs("usage: get_file URL FILE\n", stderr), 2;
  try {
    zq::TzqHttp http;
    http.OnReceiveProgress = [](zq::TzqObject*, int64_t done, int64_t total) {
      if (total > 0)
        std::fprintf(stderr, "\r%3lld%%", static_cast<long long>(done * 100 / total));
      else
        std::fprintf(stderr, "\r%lld bytes", static_cast<long long>(done));  // chunked: no total
    };
    zq::TzqFileStream file(argv[2], zq::fmCreate);
    http.Get(argv[1], nullptr, nullptr, &file);
    std::fprintf(stderr, "\n%d %s\n", http.StatusCode(), http.StatusText().c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
}
