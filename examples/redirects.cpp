// redirects URL: follows at most 3 redirects, showing each; more is an error.
#include <cstdio>
#include <exception>
#include <iostream>

#include "http/zqHttp.h"

int main(int argc, char** argv) {
  if (argc != 2) return std::fputs("usage: redirects URL\n", stderr), 2;
  zq::TzqHttp http;
  http.SetMaxRedirects(3);  // 0: no limit; SetAllowRedirects(false): none followed
  http.OnRedirect = [](zq::TzqObject*, zq::TzqStringList&, int32_t status, zq::TzqHttpResponseHeader& header,
                       zq::TzqStringList&, std::string& method, bool&, bool&) {
    std::fprintf(stderr, "%d -> %s (%s)\n", status, header.Location().c_str(), method.c_str());
  };
  try {
    zq::TzqMemoryStream body;
    http.Get(argv[1], nullptr, nullptr, &body);
    std::cout << http.Url().FullUrl() << "\n" << body.DataString();
  } catch (const zq::EzqHttpError& e) {
    std::fprintf(stderr, "stopped: %s\n", e.what());  // the last status line, e.g. a 4th 302
    return 1;
  }
}
