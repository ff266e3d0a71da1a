// put_file URL FILE: sends FILE with PUT, streamed from the disk, then PATCHes a line onto it
// where the server takes PATCH; prints each status.
#include <cstdio>
#include <exception>

#include "http/zqHttp.h"

int main(int argc, char** argv) {
  if (argc != 3) return std::fputs("usage: put_file URL FILE\n", stderr), 2;
  try {
    zq::TzqHttp http;
    zq::TzqFileStream file(argv[2], zq::fmOpenRead);
    http.Put(argv[1], "text/plain", &file, nullptr, nullptr);
    std::printf("PUT %d\n", http.StatusCode());

    // Any other method goes through Custom, with a body stream or a request's items.
    http.SetSilentHTTP(true);  // a 405 is an answer here, not an error
    zq::TzqMemoryStream line;
    line.WriteString("one more line\n");
    line.SetPosition(0);
    http.Custom("PATCH", argv[1], nullptr, &line, nullptr, nullptr);
    std::printf("PATCH %d\n", http.StatusCode());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
}
