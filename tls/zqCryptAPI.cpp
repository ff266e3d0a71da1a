#include "tls/zqCryptAPI.h"

#include <openssl/crypto.h>
#include <openssl/ssl.h>

#include <mutex>

#include "platform/zqMessageTable.h"

namespace zq {

namespace {

const char* const sCallError = "%s error - %d";

std::mutex& LoadLock() {
  static std::mutex lock;
  return lock;
}

bool librariesLoaded = false;

}  // namespace

void LoadCryptoLibraries() {
  std::lock_guard<std::mutex> guard(LoadLock());
  if (librariesLoaded) return;
  if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) != 1)
    throw EzqError(SystemErrorText(ENOMEM));
  librariesLoaded = true;
}

std::string CryptErrorText(uint32_t code, const std::string& callName) {
  std::string text = SystemMessageShortText(code);
  return text.empty() ? Format(sCallError, callName.c_str(), static_cast<int32_t>(code)) : text;
}

void RaiseCryptError(const std::string& callName) {
  uint32_t code = CryptGetLastError();
  throw EzqCryptError(CryptErrorText(code, callName), static_cast<int32_t>(code));
}

}  // namespace zq
