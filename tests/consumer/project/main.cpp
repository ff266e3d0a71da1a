// zq_consumer URL EXPECTED: GETs URL and succeeds when the body is exactly EXPECTED.
#include <exception>
#include <iostream>
#include <string>

#include "http/zqHttp.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: zq_consumer URL EXPECTED\n";
    return 2;
  }
  try {
    zq::TzqHttp http;
    http.SetTimeOut(10000);
    zq::TzqMemoryStream body;
    http.Get(argv[1], nullptr, nullptr, &body);
    if (body.DataString() != argv[2]) {
      std::cerr << "unexpected body: \"" << body.DataString() << "\"\n";
      return 1;
    }
  } catch (const std::exception& e) {
    std::cerr << e.what() << "\n";
    return 1;
  }
  return 0;
}
