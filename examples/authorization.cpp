// authorization URL USER PASSWORD [basic]: answers the server's challenge (Negotiate, NTLM,
// Digest or Basic, the strongest offered), or sends Basic at once with "basic".
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

#include "http/zqHttp.h"

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) return std::fputs("usage: authorization URL USER PASSWORD [basic]\n", stderr), 2;
  try {
    zq::TzqHttp http;
    http.SetUserName(argv[2]);
    http.SetPassword(argv[3]);
    if (argc == 5 && std::string(argv[4]) == "basic") http.SetAuthorizationType(zq::atBasic);
    zq::TzqMemoryStream body;
    http.Get(argv[1], nullptr, nullptr, &body);
    std::cout << body.DataString();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
}
