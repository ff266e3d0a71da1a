#pragma once
// OpenSSL objects owned by std::unique_ptr: the one place that pairs each type with its free
// function.

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

#include "core/zqApi.h"

namespace zq {

template <auto Free>
struct TzqOpenSslFree {
  template <typename T>
  void operator()(T* object) const noexcept {
    Free(object);
  }
};

struct ZQ_API TzqX509StackFree {
  void operator()(STACK_OF(X509) * stack) const noexcept { sk_X509_pop_free(stack, X509_free); }
};

struct ZQ_API TzqBytesFree {
  void operator()(unsigned char* bytes) const noexcept { OPENSSL_free(bytes); }
};

using TzqSslCtxPtr = std::unique_ptr<SSL_CTX, TzqOpenSslFree<SSL_CTX_free>>;
using TzqSslPtr = std::unique_ptr<SSL, TzqOpenSslFree<SSL_free>>;
using TzqBioPtr = std::unique_ptr<BIO, TzqOpenSslFree<BIO_free>>;
using TzqBioMethodPtr = std::unique_ptr<BIO_METHOD, TzqOpenSslFree<BIO_meth_free>>;
using TzqX509Ptr = std::unique_ptr<X509, TzqOpenSslFree<X509_free>>;
using TzqX509StorePtr = std::unique_ptr<X509_STORE, TzqOpenSslFree<X509_STORE_free>>;
using TzqX509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, TzqOpenSslFree<X509_STORE_CTX_free>>;
using TzqX509StackPtr = std::unique_ptr<STACK_OF(X509), TzqX509StackFree>;
using TzqEvpPkeyPtr = std::unique_ptr<EVP_PKEY, TzqOpenSslFree<EVP_PKEY_free>>;
using TzqEvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, TzqOpenSslFree<EVP_MD_CTX_free>>;
using TzqGeneralNamesPtr = std::unique_ptr<GENERAL_NAMES, TzqOpenSslFree<GENERAL_NAMES_free>>;
using TzqKeyUsagePtr = std::unique_ptr<EXTENDED_KEY_USAGE, TzqOpenSslFree<EXTENDED_KEY_USAGE_free>>;
using TzqOpenSslBytesPtr = std::unique_ptr<unsigned char, TzqBytesFree>;

}  // namespace zq
