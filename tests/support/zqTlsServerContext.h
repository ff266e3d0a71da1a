#pragma once
// An OpenSSL server context holding one certificate and its key, for the test servers that
// speak TLS themselves.

#include <openssl/ssl.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace zq::test {

struct TlsContextFree {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
using TlsServerContext = std::unique_ptr<SSL_CTX, TlsContextFree>;

inline TlsServerContext NewTlsServerContext(const std::string& certificateFile, const std::string& keyFile) {
  TlsServerContext context(SSL_CTX_new(TLS_server_method()));
  if (!context || SSL_CTX_use_certificate_file(context.get(), certificateFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_use_PrivateKey_file(context.get(), keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
    throw std::runtime_error("cannot load " + certificateFile);
  return context;
}

}  // namespace zq::test
