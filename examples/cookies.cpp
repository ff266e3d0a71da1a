// cookies URL JAR: sends the cookies kept in JAR (when it exists), prints the answer and keeps
// what the server set in JAR for the next run.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>

#include "http/zqHttp.h"

int main(int argc, char** argv) {
  if (argc != 3) return std::fputs("usage: cookies URL JAR\n", stderr), 2;
  try {
    zq::TzqCookieManager cookies;  // outlives the client that uses it
    if (std::filesystem::exists(argv[2])) {
      zq::TzqFileStream jar(argv[2], zq::fmOpenRead);
      cookies.Cookies().LoadFromStream(jar);
    }
    zq::TzqHttp http;
    http.SetCookieManager(&cookies);
    zq::TzqMemoryStream body;
    http.Get(argv[1], nullptr, nullptr, &body);
    std::cout << body.DataString();
    zq::TzqFileStream jar(argv[2], zq::fmCreate);
    cookies.Cookies().SaveToStream(jar);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
}
