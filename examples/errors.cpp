// errors URL: what each kind of failure raises; exits 4 for an HTTP status, 3 for the network,
// 1 for anything else.
#include <cstdio>
#include <iostream>

#include "http/zqHttp.h"

int main(int argc, char** argv) {
  if (argc != 2) return std::fputs("usage: errors URL\n", stderr), 2;
  zq::TzqHttp http;
  try {
    zq::TzqMemoryStream body;
    http.Get(argv[1], nullptr, nullptr, &body);
    std::cout << body.DataString();
    return 0;
  } catch (const zq::EzqHttpError& e) {
    // ErrorCode() is the status (0 for a response that is no HTTP); ResponseText() its body.
    std::fprintf(stderr, "HTTP %d: %s\n%s", e.ErrorCode(), e.what(), e.ResponseText().c_str());
    return 4;
  } catch (const zq::EzqSocketError& e) {
    // Winsock numbers: 10061 refused, 10060 timed out, 11001 host not found, ...
    std::fprintf(stderr, "network %d: %s\n", e.ErrorCode(), e.what());
    return 3;
  } catch (const zq::EzqError& e) {  // TLS, decoding, files
    std::fprintf(stderr, "error %d: %s\n", e.ErrorCode(), e.what());
    return 1;
  }
}
