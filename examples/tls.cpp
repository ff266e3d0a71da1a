// tls URL [insecure | CA-FILE]: an https GET verified against the system trust store, or against
// the CAs of CA-FILE alone; "insecure" accepts an unknown issuer and a name that does not match.
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

#include "http/zqHttp.h"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) return std::fputs("usage: tls URL [insecure | CA-FILE]\n", stderr), 2;
  try {
    zq::TzqHttp http;
    http.SetTLSFlags({zq::tfUseTLS12, zq::tfUseTLS13});
    http.SetUseSystemTLSFlags(false);
    if (argc == 3 && std::string(argv[2]) == "insecure")
      http.SetCertificateFlags({zq::cfIgnoreUnknownAuthority, zq::cfIgnoreCommonNameInvalid});
    else if (argc == 3)
      http.SetCAFile(argv[2]);  // a private CA, for this client only
    http.OnVerifyServer = [](zq::TzqObject*, zq::TzqCertificate* certificate, const std::string& text, int32_t code,
                             bool& verified) {
      std::fprintf(stderr, "server %s: %s (0x%08X)\n", certificate ? certificate->IssuedTo().c_str() : "?",
                   verified ? "trusted" : text.c_str(), static_cast<unsigned>(code));
    };
    zq::TzqMemoryStream body;
    http.Get(argv[1], nullptr, nullptr, &body);
    std::cout << body.DataString();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
}
