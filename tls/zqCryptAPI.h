#pragma once
// The binding of CryptoAPI: the certificate and hash services, reached through one entry per
// function after the libraries are loaded (once per process, under a lock), and the
// exception with the platform's error number.

#include <cstdint>
#include <string>
#include <utility>

#include "codec/zqUtils.h"
#include "core/zqApi.h"
#include "core/zqError.h"
#include "platform/zqCrypto.h"

namespace zq {

class ZQ_API EzqCryptError : public EzqError {
public:
  using EzqError::EzqError;
};

// A data blob handed to CryptoAPI calls.
class ZQ_API TzqCryptData : public TzqBinaryData {
public:
  using TzqBinaryData::TzqBinaryData;

protected:
  void ReleaseMemory(uint8_t*& data) override { TzqBinaryData::ReleaseMemory(data); }
  void AllocateMemory(uint8_t*& data, int32_t size) override { TzqBinaryData::AllocateMemory(data, size); }
};

// Loads crypt32 and advapi32 on the first call of the process.
ZQ_API void LoadCryptoLibraries();

// The platform's message for a code, or "<call> error - <code>".
ZQ_API std::string CryptErrorText(uint32_t code, const std::string& callName);
// Raises EzqCryptError for the platform's last error.
[[noreturn]] ZQ_API void RaiseCryptError(const std::string& callName);

namespace cryptapi {

// Every entry loads the libraries first, then calls the platform's function.
template <auto Function, typename... Args>
auto Call(Args&&... args) {
  LoadCryptoLibraries();
  return Function(std::forward<Args>(args)...);
}

// crypt32
inline bool CertFreeCertificateContext(PCCERT_CONTEXT c) { return Call<zq::CertFreeCertificateContext>(c); }
inline PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT c) {
  return Call<zq::CertDuplicateCertificateContext>(c);
}
inline bool CertGetCertificateChain(void* engine, PCCERT_CONTEXT c, const int64_t* time, PCCERT_CONTEXT store,
                                    const CERT_CHAIN_PARA* para, uint32_t flags, void* reserved,
                                    PCCERT_CHAIN_CONTEXT* chain) {
  return Call<zq::CertGetCertificateChain>(engine, c, time, store, para, flags, reserved, chain);
}
inline bool CertVerifyCertificateChainPolicy(uintptr_t policy, PCCERT_CHAIN_CONTEXT chain,
                                             const CERT_CHAIN_POLICY_PARA* para, CERT_CHAIN_POLICY_STATUS* status) {
  return Call<zq::CertVerifyCertificateChainPolicy>(policy, chain, para, status);
}
inline void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT chain) { Call<zq::CertFreeCertificateChain>(chain); }
inline uint32_t CertGetNameStringW(PCCERT_CONTEXT c, uint32_t type, uint32_t flags, void* para, char16_t* name,
                                   uint32_t n) {
  return Call<zq::CertGetNameStringW>(c, type, flags, para, name, n);
}
inline uint32_t CertGetPublicKeyLength(PCCERT_CONTEXT c) { return Call<zq::CertGetPublicKeyLength>(c); }
inline bool CertGetCertificateContextProperty(PCCERT_CONTEXT c, uint32_t id, void* data, uint32_t* size) {
  return Call<zq::CertGetCertificateContextProperty>(c, id, data, size);
}
inline std::string CryptFindOIDName(const std::string& oid) { return Call<zq::CryptFindOIDName>(oid); }
inline bool CertGetEnhancedKeyUsage(PCCERT_CONTEXT c, uint32_t flags, std::vector<std::string>& usages) {
  return Call<zq::CertGetEnhancedKeyUsage>(c, flags, usages);
}

// advapi32
inline bool CryptAcquireContextA(HCRYPTPROV* p, const char* container, const char* name, uint32_t type,
                                 uint32_t flags) {
  return Call<zq::CryptAcquireContextA>(p, container, name, type, flags);
}
inline bool CryptReleaseContext(HCRYPTPROV p, uint32_t flags) { return Call<zq::CryptReleaseContext>(p, flags); }
inline bool CryptCreateHash(HCRYPTPROV p, uint32_t algorithm, uintptr_t key, uint32_t flags, HCRYPTHASH* h) {
  return Call<zq::CryptCreateHash>(p, algorithm, key, flags, h);
}
inline bool CryptHashData(HCRYPTHASH h, const uint8_t* data, uint32_t size, uint32_t flags) {
  return Call<zq::CryptHashData>(h, data, size, flags);
}
inline bool CryptDestroyHash(HCRYPTHASH h) { return Call<zq::CryptDestroyHash>(h); }
inline bool CryptGetHashParam(HCRYPTHASH h, uint32_t param, uint8_t* data, uint32_t* size, uint32_t flags) {
  return Call<zq::CryptGetHashParam>(h, param, data, size, flags);
}

}  // namespace cryptapi

}  // namespace zq
