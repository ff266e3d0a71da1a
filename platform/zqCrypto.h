#pragma once
// The certificate and hashing services of the platform (CryptoAPI's shape), built on OpenSSL:
// certificate contexts, chain building with the SSL policy check against the system trust
// store (OpenSSL's default paths, so SSL_CERT_FILE / SSL_CERT_DIR apply), certificate fields,
// and MD5 hashing. Calls that fail return false (or null) and leave the reason in
// CryptGetLastError(), as the platform's last-error value does.

#include <cstdint>
#include <string>
#include <vector>

#include "core/zqApi.h"
#include "core/zqStream.h"

struct x509_st;
struct evp_pkey_st;
struct stack_st_X509;

namespace zq {

// Status codes (HRESULT values of the platform).
constexpr uint32_t CRYPT_E_NOT_FOUND = 0x80092004;
constexpr uint32_t CRYPT_E_REVOKED = 0x80092010;
constexpr uint32_t CRYPT_E_REVOCATION_OFFLINE = 0x80092013;
constexpr uint32_t CRYPT_E_ASN1_BADTAG = 0x8009310B;
constexpr uint32_t TRUST_E_CERT_SIGNATURE = 0x80096004;
constexpr uint32_t CERT_E_EXPIRED = 0x800B0101;
constexpr uint32_t CERT_E_UNTRUSTEDROOT = 0x800B0109;
constexpr uint32_t CERT_E_CHAINING = 0x800B010A;
constexpr uint32_t TRUST_E_FAIL = 0x800B010B;
constexpr uint32_t CERT_E_CN_NO_MATCH = 0x800B010F;
constexpr uint32_t CERT_E_WRONG_USAGE = 0x800B0110;
constexpr uint32_t NTE_BAD_KEY = 0x80090003;
constexpr uint32_t NTE_BAD_KEYSET = 0x80090016;
constexpr uint32_t NTE_KEYSET_NOT_DEF = 0x80090019;
constexpr uint32_t NTE_FAIL = 0x80090020;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t ERROR_MORE_DATA = 234;

constexpr uint32_t X509_ASN_ENCODING = 0x1;
constexpr uint32_t PKCS_7_ASN_ENCODING = 0x10000;

ZQ_API uint32_t CryptGetLastError();
ZQ_API void CryptSetLastError(uint32_t code);

// A certificate context: one X.509 certificate, the certificates that came with it (its store),
// its private key when it has one, and its properties. Reference-counted.
struct TzqCertContext;
using PCCERT_CONTEXT = const TzqCertContext*;

ZQ_API PCCERT_CONTEXT CertCreateCertificateContext(uint32_t encoding, const uint8_t* der, uint32_t size);
// Reads the first certificate of a PEM file, the further ones into its store, and the private
// key from keyFile (or from certFile when keyFile is empty; none is fine when neither has one).
ZQ_API PCCERT_CONTEXT CertLoadPemFiles(const std::string& certFile, const std::string& keyFile);
ZQ_API PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context);
ZQ_API bool CertFreeCertificateContext(PCCERT_CONTEXT context);
// The DER encoding of the certificate.
ZQ_API TzqByteArray CertEncoded(PCCERT_CONTEXT context);
ZQ_API bool CertHasPrivateKey(PCCERT_CONTEXT context);
// Sets a property (CERT_FRIENDLY_NAME_PROP_ID takes UTF-16 with its terminator).
ZQ_API bool CertSetCertificateContextProperty(PCCERT_CONTEXT context, uint32_t propId, const void* data, uint32_t size);

// For the security provider: the OpenSSL objects behind a context, and a context for a peer's
// certificate and the chain it sent (the chain becomes the context's store).
ZQ_API x509_st* CertX509(PCCERT_CONTEXT context);
ZQ_API evp_pkey_st* CertPrivateKey(PCCERT_CONTEXT context);
ZQ_API stack_st_X509* CertStore(PCCERT_CONTEXT context);
ZQ_API PCCERT_CONTEXT CertContextFromX509(x509_st* certificate, stack_st_X509* chain);

// ---- certificate fields ----------------------------------------------------------------------
constexpr uint32_t CERT_NAME_EMAIL_TYPE = 1;
constexpr uint32_t CERT_NAME_RDN_TYPE = 2;
constexpr uint32_t CERT_NAME_ATTR_TYPE = 3;
constexpr uint32_t CERT_NAME_SIMPLE_DISPLAY_TYPE = 4;
constexpr uint32_t CERT_NAME_FRIENDLY_DISPLAY_TYPE = 5;
constexpr uint32_t CERT_NAME_ISSUER_FLAG = 0x1;

constexpr uint32_t CERT_KEY_PROV_INFO_PROP_ID = 2;
constexpr uint32_t CERT_SHA1_HASH_PROP_ID = 3;
constexpr uint32_t CERT_FRIENDLY_NAME_PROP_ID = 11;

constexpr uint32_t CERT_ALT_NAME_RFC822_NAME = 2;
constexpr uint32_t CERT_ALT_NAME_DNS_NAME = 3;

// The name as UTF-16 into name (cchName units, terminator included); returns the units the
// whole name needs with its terminator (1 for no name). A null name asks for the length only.
ZQ_API uint32_t CertGetNameStringW(PCCERT_CONTEXT context, uint32_t type, uint32_t flags, void* typePara,
                                   char16_t* name, uint32_t cchName);
// The values of an attribute (by OID text) of the subject's distinguished name, in order.
ZQ_API std::vector<std::string> CertGetSubjectAttribute(PCCERT_CONTEXT context, const std::string& oid);
// The subject alternative names of one choice, in order.
ZQ_API std::vector<std::string> CertGetAlternativeNames(PCCERT_CONTEXT context, uint32_t choice);
// The serial number, least significant byte first.
ZQ_API TzqByteArray CertGetSerialNumber(PCCERT_CONTEXT context);
// Not-before and not-after as UTC file times (100 ns since 1601).
ZQ_API bool CertGetValidity(PCCERT_CONTEXT context, int64_t& notBefore, int64_t& notAfter);
// 0, 1 or 2 for versions 1 to 3.
ZQ_API uint32_t CertGetVersion(PCCERT_CONTEXT context);
ZQ_API std::string CertGetSignatureAlgorithm(PCCERT_CONTEXT context);
ZQ_API std::string CertGetPublicKeyAlgorithm(PCCERT_CONTEXT context);
ZQ_API uint32_t CertGetPublicKeyLength(PCCERT_CONTEXT context);
// The subject key identifier extension's bytes; empty when absent.
ZQ_API TzqByteArray CertGetSubjectKeyIdentifier(PCCERT_CONTEXT context);
// The enhanced key usage OIDs; true with none when the certificate has no such extension.
ZQ_API bool CertGetEnhancedKeyUsage(PCCERT_CONTEXT context, uint32_t flags, std::vector<std::string>& usages);
// A property: with a null data asks for its size. False with CRYPT_E_NOT_FOUND when absent.
ZQ_API bool CertGetCertificateContextProperty(PCCERT_CONTEXT context, uint32_t propId, void* data, uint32_t* size);
// The display name of an OID ("sha256RSA", "RSA"); empty when the platform knows none.
ZQ_API std::string CryptFindOIDName(const std::string& oid);

// ---- chains and policies ---------------------------------------------------------------------
constexpr uint32_t CERT_CHAIN_CACHE_END_CERT = 0x1;
constexpr uint32_t CERT_CHAIN_REVOCATION_CHECK_END_CERT = 0x10000000;
constexpr uint32_t CERT_CHAIN_REVOCATION_CHECK_CHAIN = 0x20000000;
constexpr uint32_t CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT = 0x40000000;

struct ZQ_API CERT_CHAIN_PARA {
  uint32_t cbSize = sizeof(CERT_CHAIN_PARA);
  uint32_t dwUrlRetrievalTimeout = 0;
};

struct TzqCertChainContext;
using PCCERT_CHAIN_CONTEXT = const TzqCertChainContext*;

// The trust anchors of a chain engine: when a file or directory is named, its certificates
// replace the system store (as an exclusive root store does).
struct ZQ_API CERT_CHAIN_ENGINE_CONFIG {
  std::string caFile;
  std::string caPath;
};

// Builds and checks the chain of a certificate against the trust store at the given UTC file
// time (null: now); the certificates of additionalStore's store serve as intermediates. engine
// is a CERT_CHAIN_ENGINE_CONFIG, or null for the system store. Keys and signatures weaker than
// OpenSSL's security level 2 mark the chain weak.
ZQ_API bool CertGetCertificateChain(void* engine, PCCERT_CONTEXT certificate, const int64_t* time,
                                    PCCERT_CONTEXT additionalStore, const CERT_CHAIN_PARA* para, uint32_t flags,
                                    void* reserved, PCCERT_CHAIN_CONTEXT* chain);
ZQ_API void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT chain);

constexpr uintptr_t CERT_CHAIN_POLICY_SSL = 4;
constexpr uint32_t AUTHTYPE_CLIENT = 1;
constexpr uint32_t AUTHTYPE_SERVER = 2;
constexpr uint32_t SECURITY_FLAG_IGNORE_REVOCATION = 0x80;
constexpr uint32_t SECURITY_FLAG_IGNORE_UNKNOWN_CA = 0x100;
constexpr uint32_t SECURITY_FLAG_IGNORE_WRONG_USAGE = 0x200;
constexpr uint32_t SECURITY_FLAG_IGNORE_CERT_CN_INVALID = 0x1000;
constexpr uint32_t SECURITY_FLAG_IGNORE_CERT_DATE_INVALID = 0x2000;
constexpr uint32_t CERT_CHAIN_POLICY_IGNORE_ALL_FLAGS = 0xFFFF;

struct ZQ_API SSL_EXTRA_CERT_CHAIN_POLICY_PARA {
  uint32_t cbSize = sizeof(SSL_EXTRA_CERT_CHAIN_POLICY_PARA);
  uint32_t dwAuthType = AUTHTYPE_SERVER;
  uint32_t fdwChecks = 0;
  const char16_t* pwszServerName = nullptr;
};

struct ZQ_API CERT_CHAIN_POLICY_PARA {
  uint32_t cbSize = sizeof(CERT_CHAIN_POLICY_PARA);
  uint32_t dwFlags = 0;
  void* pvExtraPolicyPara = nullptr;
};

struct ZQ_API CERT_CHAIN_POLICY_STATUS {
  uint32_t cbSize = sizeof(CERT_CHAIN_POLICY_STATUS);
  uint32_t dwError = 0;
  int32_t lChainIndex = -1;
  int32_t lElementIndex = -1;
};

// The SSL policy: the first problem of the chain that the flags do not ignore lands in
// status->dwError (0 when none).
ZQ_API bool CertVerifyCertificateChainPolicy(uintptr_t policy, PCCERT_CHAIN_CONTEXT chain,
                                             const CERT_CHAIN_POLICY_PARA* para, CERT_CHAIN_POLICY_STATUS* status);

// ---- hashing ---------------------------------------------------------------------------------
using HCRYPTPROV = uintptr_t;
using HCRYPTHASH = uintptr_t;
constexpr uint32_t PROV_RSA_FULL = 1;
constexpr uint32_t CRYPT_VERIFYCONTEXT = 0xF0000000;
constexpr uint32_t CALG_MD5 = 32771;
constexpr uint32_t CALG_SHA1 = 32772;
constexpr uint32_t HP_HASHVAL = 2;
constexpr uint32_t HP_HASHSIZE = 4;
extern ZQ_API const char* const MS_DEF_PROV_A;

ZQ_API bool CryptAcquireContextA(HCRYPTPROV* provider, const char* container, const char* providerName,
                                 uint32_t providerType, uint32_t flags);
ZQ_API bool CryptReleaseContext(HCRYPTPROV provider, uint32_t flags);
ZQ_API bool CryptCreateHash(HCRYPTPROV provider, uint32_t algorithm, uintptr_t key, uint32_t flags, HCRYPTHASH* hash);
ZQ_API bool CryptHashData(HCRYPTHASH hash, const uint8_t* data, uint32_t size, uint32_t flags);
ZQ_API bool CryptGetHashParam(HCRYPTHASH hash, uint32_t param, uint8_t* data, uint32_t* size, uint32_t flags);
ZQ_API bool CryptDestroyHash(HCRYPTHASH hash);

}  // namespace zq
