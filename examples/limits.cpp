// limits URL: a GET bounded in time and size.
#include <cstdio>
#include <exception>

#include "http/zqHttp.h"

int main(int argc, char** argv) {
  if (argc != 2) return std::fputs("usage: limits URL\n", stderr), 2;
  try {
    zq::TzqHttp http;
    http.SetConnectTimeOut(3000);      // ms to connect
    http.SetTimeOut(5000);             // ms without progress
    http.SetTotalTimeOut(10000);       // ms for the whole call, redirects included
    http.SetMaxResponseSize(1 << 20);  // bytes of body, after decoding
    zq::TzqMemoryStream body;
    http.Get(argv[1], nullptr, nullptr, &body);
    std::printf("%lld bytes\n", static_cast<long long>(body.Size()));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
}
