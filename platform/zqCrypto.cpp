#include "platform/zqCrypto.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "core/zqCodePage.h"
#include "platform/zqCryptoHandles.h"

namespace zq {

const char* const MS_DEF_PROV_A = "Microsoft Base Cryptographic Provider v1.0";

namespace {

thread_local uint32_t lastError = 0;

bool Fail(uint32_t code) {
  CryptSetLastError(code);
  return false;
}

constexpr int64_t kFileTimeUnixDelta = 116444736000000000LL;  // 1601 to 1970 in 100 ns

int64_t UnixToFileTime(time_t t) { return static_cast<int64_t>(t) * 10000000LL + kFileTimeUnixDelta; }

bool Asn1TimeToFileTime(const ASN1_TIME* time, int64_t& fileTime) {
  tm parts{};
  if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) return false;
  fileTime = UnixToFileTime(timegm(&parts));
  return true;
}

std::string Asn1ToUtf8(const ASN1_STRING* value) {
  unsigned char* out = nullptr;
  int n = ASN1_STRING_to_UTF8(&out, value);
  if (n < 0) return {};
  TzqOpenSslBytesPtr owned(out);
  return std::string(reinterpret_cast<char*>(out), static_cast<size_t>(n));
}

std::string ObjectText(const ASN1_OBJECT* object) {
  char buffer[128];
  int n = OBJ_obj2txt(buffer, sizeof buffer, object, 1);
  return n > 0 && n < static_cast<int>(sizeof buffer) ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::vector<std::string> NameAttribute(const X509_NAME* name, int nid) {
  std::vector<std::string> values;
  for (int i = X509_NAME_get_index_by_NID(name, nid, -1); i >= 0; i = X509_NAME_get_index_by_NID(name, nid, i))
    values.push_back(Asn1ToUtf8(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i))));
  return values;
}

std::string FirstOf(const std::vector<std::string>& values) { return values.empty() ? std::string() : values.front(); }

}  // namespace

uint32_t CryptGetLastError() { return lastError; }
void CryptSetLastError(uint32_t code) { lastError = code; }

// ---- certificate contexts ----------------------------------------------------------------------

struct TzqCertContext {
  mutable std::atomic<int> references{1};
  TzqX509Ptr certificate;
  TzqEvpPkeyPtr key;
  TzqX509StackPtr store;
  mutable std::mutex propertyLock;
  mutable std::map<uint32_t, TzqByteArray> properties;
};

namespace {

// Takes the certificate; null (with the error set) when memory runs out.
std::unique_ptr<TzqCertContext> NewContext(TzqX509Ptr certificate, TzqX509StackPtr store) {
  if (store == nullptr) store.reset(sk_X509_new_null());
  if (store == nullptr) {
    Fail(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto context = std::make_unique<TzqCertContext>();
  context->certificate = std::move(certificate);
  context->store = std::move(store);
  return context;
}

X509* ReadPemCertificates(BIO* bio, STACK_OF(X509) * store) {
  X509* leaf = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  if (leaf == nullptr) return nullptr;
  while (X509* more = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) sk_X509_push(store, more);
  ERR_clear_error();  // the end of the file reads as an error
  return leaf;
}

TzqEvpPkeyPtr ReadPemKey(const std::string& fileName) {
  TzqBioPtr bio(BIO_new_file(fileName.c_str(), "r"));
  TzqEvpPkeyPtr key(bio != nullptr ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  ERR_clear_error();
  return key;
}

}  // namespace

PCCERT_CONTEXT CertCreateCertificateContext(uint32_t encoding, const uint8_t* der, uint32_t size) {
  if ((encoding & X509_ASN_ENCODING) == 0 || der == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const unsigned char* p = der;
  TzqX509Ptr certificate(d2i_X509(nullptr, &p, size));
  ERR_clear_error();
  if (certificate == nullptr || p != der + size) {
    Fail(CRYPT_E_ASN1_BADTAG);
    return nullptr;
  }
  return NewContext(std::move(certificate), nullptr).release();
}

PCCERT_CONTEXT CertLoadPemFiles(const std::string& certFile, const std::string& keyFile) {
  TzqBioPtr bio(BIO_new_file(certFile.c_str(), "r"));
  if (bio == nullptr) {
    ERR_clear_error();
    Fail(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  TzqX509StackPtr extra(sk_X509_new_null());
  if (extra == nullptr) {
    Fail(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  TzqX509Ptr leaf(ReadPemCertificates(bio.get(), extra.get()));
  if (leaf == nullptr) {
    ERR_clear_error();
    Fail(CRYPT_E_ASN1_BADTAG);
    return nullptr;
  }
  std::unique_ptr<TzqCertContext> context = NewContext(std::move(leaf), std::move(extra));
  if (context == nullptr) return nullptr;
  context->key = ReadPemKey(keyFile.empty() ? certFile : keyFile);
  if (!keyFile.empty() &&
      (context->key == nullptr || X509_check_private_key(context->certificate.get(), context->key.get()) != 1)) {
    ERR_clear_error();
    Fail(context->key == nullptr ? ERROR_FILE_NOT_FOUND : NTE_BAD_KEYSET);
    return nullptr;
  }
  return context.release();
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context) {
  if (context != nullptr) context->references.fetch_add(1);
  return context;
}

bool CertFreeCertificateContext(PCCERT_CONTEXT context) {
  if (context != nullptr && context->references.fetch_sub(1) == 1) delete context;
  return true;
}

TzqByteArray CertEncoded(PCCERT_CONTEXT context) {
  unsigned char* out = nullptr;
  int n = context != nullptr ? i2d_X509(context->certificate.get(), &out) : -1;
  if (n <= 0) return {};
  TzqOpenSslBytesPtr owned(out);
  return TzqByteArray(out, out + n);
}

bool CertHasPrivateKey(PCCERT_CONTEXT context) { return context != nullptr && context->key != nullptr; }

bool CertSetCertificateContextProperty(PCCERT_CONTEXT context, uint32_t propId, const void* data, uint32_t size) {
  if (context == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> guard(context->propertyLock);
  if (data == nullptr) {
    context->properties.erase(propId);
  } else {
    auto* bytes = static_cast<const uint8_t*>(data);
    context->properties[propId] = TzqByteArray(bytes, bytes + size);
  }
  return true;
}

x509_st* CertX509(PCCERT_CONTEXT context) { return context != nullptr ? context->certificate.get() : nullptr; }
evp_pkey_st* CertPrivateKey(PCCERT_CONTEXT context) { return context != nullptr ? context->key.get() : nullptr; }
stack_st_X509* CertStore(PCCERT_CONTEXT context) { return context != nullptr ? context->store.get() : nullptr; }

PCCERT_CONTEXT CertContextFromX509(x509_st* certificate, stack_st_X509* chain) {
  if (certificate == nullptr) return nullptr;
  X509_up_ref(certificate);
  std::unique_ptr<TzqCertContext> context = NewContext(TzqX509Ptr(certificate), nullptr);
  if (context == nullptr) return nullptr;
  for (int i = 0; chain != nullptr && i < sk_X509_num(chain); ++i) {
    X509* item = sk_X509_value(chain, i);
    if (sk_X509_push(context->store.get(), item) > 0) X509_up_ref(item);
  }
  return context.release();
}

// ---- certificate fields ----------------------------------------------------------------------

namespace {

std::string SimpleDisplayName(const X509_NAME* name) {
  for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress}) {
    std::string value = FirstOf(NameAttribute(name, nid));
    if (!value.empty()) return value;
  }
  return {};
}

std::string OnelineName(const X509_NAME* name) {
  TzqBioPtr bio(BIO_new(BIO_s_mem()));
  if (bio == nullptr) throw std::bad_alloc();
  X509_NAME_print_ex(bio.get(), name, 0, (XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) | XN_FLAG_DN_REV);
  char* data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(n > 0 ? n : 0));
}

std::string NameOfType(PCCERT_CONTEXT context, uint32_t type, uint32_t flags, void* typePara) {
  const X509_NAME* name = (flags & CERT_NAME_ISSUER_FLAG) != 0 ? X509_get_issuer_name(context->certificate.get())
                                                               : X509_get_subject_name(context->certificate.get());
  switch (type) {
    case CERT_NAME_EMAIL_TYPE: {
      std::string email = FirstOf(NameAttribute(name, NID_pkcs9_emailAddress));
      if (email.empty() && (flags & CERT_NAME_ISSUER_FLAG) == 0)
        email = FirstOf(CertGetAlternativeNames(context, CERT_ALT_NAME_RFC822_NAME));
      return email;
    }
    case CERT_NAME_RDN_TYPE:
      return OnelineName(name);
    case CERT_NAME_ATTR_TYPE: {
      int nid = typePara != nullptr ? OBJ_txt2nid(static_cast<const char*>(typePara)) : NID_undef;
      return nid != NID_undef ? FirstOf(NameAttribute(name, nid)) : std::string();
    }
    case CERT_NAME_SIMPLE_DISPLAY_TYPE:
    case CERT_NAME_FRIENDLY_DISPLAY_TYPE:
      return SimpleDisplayName(name);
    default:
      return {};
  }
}

}  // namespace

uint32_t CertGetNameStringW(PCCERT_CONTEXT context, uint32_t type, uint32_t flags, void* typePara, char16_t* name,
                            uint32_t cchName) {
  std::u16string text = context != nullptr ? Utf8ToUtf16(NameOfType(context, type, flags, typePara)) : u"";
  auto needed = static_cast<uint32_t>(text.size() + 1);
  if (name == nullptr || cchName == 0) return needed;
  uint32_t n = std::min<uint32_t>(needed - 1, cchName - 1);
  std::memcpy(name, text.data(), n * sizeof(char16_t));
  name[n] = 0;
  return n + 1;
}

std::vector<std::string> CertGetSubjectAttribute(PCCERT_CONTEXT context, const std::string& oid) {
  int nid = OBJ_txt2nid(oid.c_str());
  if (context == nullptr || nid == NID_undef) return {};
  return NameAttribute(X509_get_subject_name(context->certificate.get()), nid);
}

std::vector<std::string> CertGetAlternativeNames(PCCERT_CONTEXT context, uint32_t choice) {
  std::vector<std::string> result;
  if (context == nullptr) return result;
  TzqGeneralNamesPtr names(static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(context->certificate.get(), NID_subject_alt_name, nullptr, nullptr)));
  int wanted = choice == CERT_ALT_NAME_RFC822_NAME ? GEN_EMAIL : choice == CERT_ALT_NAME_DNS_NAME ? GEN_DNS : -1;
  for (int i = 0; names != nullptr && i < sk_GENERAL_NAME_num(names.get()); ++i) {
    const GENERAL_NAME* item = sk_GENERAL_NAME_value(names.get(), i);
    if (item->type == wanted) result.push_back(Asn1ToUtf8(item->d.ia5));
  }
  return result;
}

TzqByteArray CertGetSerialNumber(PCCERT_CONTEXT context) {
  if (context == nullptr) return {};
  const ASN1_INTEGER* serial = X509_get0_serialNumber(context->certificate.get());
  const unsigned char* data = ASN1_STRING_get0_data(serial);
  TzqByteArray bytes(data, data + ASN1_STRING_length(serial));
  return TzqByteArray(bytes.rbegin(), bytes.rend());
}

bool CertGetValidity(PCCERT_CONTEXT context, int64_t& notBefore, int64_t& notAfter) {
  if (context == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return Asn1TimeToFileTime(X509_get0_notBefore(context->certificate.get()), notBefore) &&
         Asn1TimeToFileTime(X509_get0_notAfter(context->certificate.get()), notAfter);
}

uint32_t CertGetVersion(PCCERT_CONTEXT context) {
  return context != nullptr ? static_cast<uint32_t>(X509_get_version(context->certificate.get())) : 0;
}

std::string CertGetSignatureAlgorithm(PCCERT_CONTEXT context) {
  if (context == nullptr) return {};
  const X509_ALGOR* algorithm = nullptr;
  X509_get0_signature(nullptr, &algorithm, context->certificate.get());
  const ASN1_OBJECT* object = nullptr;
  X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
  return ObjectText(object);
}

std::string CertGetPublicKeyAlgorithm(PCCERT_CONTEXT context) {
  if (context == nullptr) return {};
  ASN1_OBJECT* object = nullptr;
  X509_PUBKEY_get0_param(&object, nullptr, nullptr, nullptr, X509_get_X509_PUBKEY(context->certificate.get()));
  return ObjectText(object);
}

uint32_t CertGetPublicKeyLength(PCCERT_CONTEXT context) {
  EVP_PKEY* key = context != nullptr ? X509_get0_pubkey(context->certificate.get()) : nullptr;
  return key != nullptr ? static_cast<uint32_t>(EVP_PKEY_get_bits(key)) : 0;
}

TzqByteArray CertGetSubjectKeyIdentifier(PCCERT_CONTEXT context) {
  const ASN1_OCTET_STRING* id = context != nullptr ? X509_get0_subject_key_id(context->certificate.get()) : nullptr;
  ERR_clear_error();
  if (id == nullptr) return {};
  const unsigned char* data = ASN1_STRING_get0_data(id);
  return TzqByteArray(data, data + ASN1_STRING_length(id));
}

bool CertGetEnhancedKeyUsage(PCCERT_CONTEXT context, uint32_t, std::vector<std::string>& usages) {
  usages.clear();
  if (context == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  int critical = 0;
  TzqKeyUsagePtr list(static_cast<EXTENDED_KEY_USAGE*>(
      X509_get_ext_d2i(context->certificate.get(), NID_ext_key_usage, &critical, nullptr)));
  if (list == nullptr) {
    // critical is -1 when the extension is absent, -2 when it occurs twice
    CryptSetLastError(critical == -1 ? CRYPT_E_NOT_FOUND : CRYPT_E_ASN1_BADTAG);
    return critical == -1;
  }
  for (int i = 0; i < sk_ASN1_OBJECT_num(list.get()); ++i)
    usages.push_back(ObjectText(sk_ASN1_OBJECT_value(list.get(), i)));
  return true;
}

bool CertGetCertificateContextProperty(PCCERT_CONTEXT context, uint32_t propId, void* data, uint32_t* size) {
  if (context == nullptr || size == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  TzqByteArray value;
  if (propId == CERT_SHA1_HASH_PROP_ID) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (X509_digest(context->certificate.get(), EVP_sha1(), digest, &n) != 1) return Fail(NTE_FAIL);
    value.assign(digest, digest + n);
  } else {
    std::lock_guard<std::mutex> guard(context->propertyLock);
    auto it = context->properties.find(propId);
    if (it == context->properties.end()) return Fail(CRYPT_E_NOT_FOUND);
    value = it->second;
  }
  uint32_t available = *size;
  *size = static_cast<uint32_t>(value.size());
  if (data == nullptr) return true;
  if (available < value.size()) return Fail(ERROR_MORE_DATA);
  std::memcpy(data, value.data(), value.size());
  return true;
}

std::string CryptFindOIDName(const std::string& oid) {
  // The platform's display names for the usual algorithms; OpenSSL's long names otherwise.
  static const std::map<std::string, std::string> kNames = {
      {"1.2.840.113549.1.1.1", "RSA"},
      {"1.2.840.113549.1.1.4", "md5RSA"},
      {"1.2.840.113549.1.1.5", "sha1RSA"},
      {"1.2.840.113549.1.1.10", "RSASSA-PSS"},
      {"1.2.840.113549.1.1.11", "sha256RSA"},
      {"1.2.840.113549.1.1.12", "sha384RSA"},
      {"1.2.840.113549.1.1.13", "sha512RSA"},
      {"1.2.840.10045.2.1", "ECC"},
      {"1.2.840.10045.4.1", "sha1ECDSA"},
      {"1.2.840.10045.4.3.2", "sha256ECDSA"},
      {"1.2.840.10045.4.3.3", "sha384ECDSA"},
      {"1.2.840.10045.4.3.4", "sha512ECDSA"},
      {"1.2.840.10040.4.1", "DSA"},
      {"1.3.101.112", "Ed25519"},
      {"1.3.6.1.5.5.7.3.1", "Server Authentication"},
      {"1.3.6.1.5.5.7.3.2", "Client Authentication"},
  };
  auto it = kNames.find(oid);
  if (it != kNames.end()) return it->second;
  int nid = OBJ_txt2nid(oid.c_str());
  ERR_clear_error();
  const char* name = nid != NID_undef ? OBJ_nid2ln(nid) : nullptr;
  return name != nullptr ? name : "";
}

// ---- chains and policies ---------------------------------------------------------------------

// The problems found while building a chain, one flag per verdict of the SSL policy.
struct TzqCertChainContext {
  TzqX509Ptr leaf;
  bool badSignature = false;
  bool revoked = false;
  bool untrustedRoot = false;
  bool partialChain = false;
  bool timeInvalid = false;
  bool wrongUsage = false;
  bool revocationUnknown = false;
  bool weakKey = false;
  bool otherProblem = false;

  void Record(int error) {
    switch (error) {
      case X509_V_ERR_CERT_SIGNATURE_FAILURE:
      case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
      case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
        badSignature = true;
        break;
      case X509_V_ERR_CERT_REVOKED:
        revoked = true;
        break;
      case X509_V_ERR_EE_KEY_TOO_SMALL:
      case X509_V_ERR_CA_KEY_TOO_SMALL:
      case X509_V_ERR_CA_MD_TOO_WEAK:
        weakKey = true;
        break;
      case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
      case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      case X509_V_ERR_CERT_UNTRUSTED:
        untrustedRoot = true;
        break;
      case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
      case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
      case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        partialChain = true;
        break;
      case X509_V_ERR_CERT_NOT_YET_VALID:
      case X509_V_ERR_CERT_HAS_EXPIRED:
        timeInvalid = true;
        break;
      case X509_V_ERR_INVALID_PURPOSE:
        wrongUsage = true;
        break;
      case X509_V_ERR_UNABLE_TO_GET_CRL:
      case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
      case X509_V_ERR_CRL_HAS_EXPIRED:
      case X509_V_ERR_CRL_NOT_YET_VALID:
      case X509_V_ERR_CRL_SIGNATURE_FAILURE:
      case X509_V_ERR_DIFFERENT_CRL_SCOPE:
        revocationUnknown = true;
        break;
      default:
        otherProblem = true;
    }
  }
};

namespace {

int ChainIndex() {
  static const int index = X509_STORE_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

// Collects every problem instead of stopping at the first, as the chain engine does.
int CollectProblem(int ok, X509_STORE_CTX* store) {
  if (ok == 0) {
    auto* chain = static_cast<TzqCertChainContext*>(X509_STORE_CTX_get_ex_data(store, ChainIndex()));
    chain->Record(X509_STORE_CTX_get_error(store));
  }
  return 1;
}

unsigned long RevocationFlags(uint32_t flags) {
  if ((flags & CERT_CHAIN_REVOCATION_CHECK_END_CERT) != 0) return X509_V_FLAG_CRL_CHECK;
  if ((flags & (CERT_CHAIN_REVOCATION_CHECK_CHAIN | CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT)) != 0)
    return X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL;
  return 0;
}

// Security level 2: RSA, DSA and DH keys of 2048 bits or more, EC keys of 224, no SHA-1 or MD5.
constexpr int kChainSecurityLevel = 2;

bool LoadTrustAnchors(X509_STORE* trust, const CERT_CHAIN_ENGINE_CONFIG* config) {
  if (config == nullptr || (config->caFile.empty() && config->caPath.empty()))
    return X509_STORE_set_default_paths(trust) == 1;
  return (config->caFile.empty() || X509_STORE_load_file(trust, config->caFile.c_str()) == 1) &&
         (config->caPath.empty() || X509_STORE_load_path(trust, config->caPath.c_str()) == 1);
}

bool IsIpLiteral(const std::string& host) {
  unsigned char address[16];
  return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

bool NameMatches(X509* leaf, const char16_t* serverName) {
  if (serverName == nullptr || *serverName == 0) return true;
  std::string host = Utf16ToUtf8(serverName);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  int result = IsIpLiteral(host) ? X509_check_ip_asc(leaf, host.c_str(), 0)
                                 : X509_check_host(leaf, host.data(), host.size(), 0, nullptr);
  ERR_clear_error();
  return result == 1;
}

}  // namespace

bool CertGetCertificateChain(void* engine, PCCERT_CONTEXT certificate, const int64_t* time,
                             PCCERT_CONTEXT additionalStore, const CERT_CHAIN_PARA* para, uint32_t flags, void*,
                             PCCERT_CHAIN_CONTEXT* chain) {
  if (certificate == nullptr || chain == nullptr || para == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *chain = nullptr;
  TzqX509StorePtr trust(X509_STORE_new());
  TzqX509StoreCtxPtr owned(X509_STORE_CTX_new());
  X509_STORE_CTX* store = owned.get();
  auto result = std::make_unique<TzqCertChainContext>();
  if (trust == nullptr || store == nullptr) {
    ERR_clear_error();
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  if (!LoadTrustAnchors(trust.get(), static_cast<const CERT_CHAIN_ENGINE_CONFIG*>(engine))) {
    ERR_clear_error();
    return Fail(ERROR_FILE_NOT_FOUND);
  }
  bool ok = X509_STORE_CTX_init(store, trust.get(), certificate->certificate.get(), CertStore(additionalStore)) == 1;
  if (ok) {
    X509_VERIFY_PARAM_set_auth_level(X509_STORE_CTX_get0_param(store), kChainSecurityLevel);
    X509_STORE_CTX_set_ex_data(store, ChainIndex(), result.get());
    X509_STORE_CTX_set_verify_cb(store, CollectProblem);
    X509_STORE_CTX_set_purpose(store, X509_PURPOSE_SSL_SERVER);
    if (unsigned long revocation = RevocationFlags(flags)) X509_STORE_CTX_set_flags(store, revocation);
    if (time != nullptr)
      X509_STORE_CTX_set_time(store, 0, static_cast<time_t>((*time - kFileTimeUnixDelta) / 10000000LL));
    ok = X509_verify_cert(store) >= 0;
  }
  ERR_clear_error();
  if (!ok) return Fail(NTE_FAIL);
  X509_up_ref(certificate->certificate.get());
  result->leaf.reset(certificate->certificate.get());
  *chain = result.release();
  return true;
}

void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT chain) { delete chain; }

bool CertVerifyCertificateChainPolicy(uintptr_t policy, PCCERT_CHAIN_CONTEXT chain, const CERT_CHAIN_POLICY_PARA* para,
                                      CERT_CHAIN_POLICY_STATUS* status) {
  if (policy != CERT_CHAIN_POLICY_SSL || chain == nullptr || status == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  uint32_t policyFlags = para != nullptr ? para->dwFlags : 0;
  const auto* ssl =
      para != nullptr ? static_cast<const SSL_EXTRA_CERT_CHAIN_POLICY_PARA*>(para->pvExtraPolicyPara) : nullptr;
  uint32_t checks = ssl != nullptr ? ssl->fdwChecks : 0;
  bool ignoreUnknownCa = (checks & SECURITY_FLAG_IGNORE_UNKNOWN_CA) != 0 || (policyFlags & 0x10) != 0;
  bool ignoreTime = (checks & SECURITY_FLAG_IGNORE_CERT_DATE_INVALID) != 0 || (policyFlags & 0x7) != 0;
  bool ignoreUsage = (checks & SECURITY_FLAG_IGNORE_WRONG_USAGE) != 0 || (policyFlags & 0x20) != 0;
  bool ignoreRevocation = (checks & SECURITY_FLAG_IGNORE_REVOCATION) != 0 || (policyFlags & 0xF00) != 0;
  bool checkName =
      ssl != nullptr && ssl->dwAuthType == AUTHTYPE_SERVER && (checks & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) == 0;

  const struct {
    bool present;
    uint32_t error;
  } verdicts[] = {
      {chain->badSignature, TRUST_E_CERT_SIGNATURE},
      // no ignore flag opens a weak key
      {chain->weakKey, NTE_BAD_KEY},
      {chain->otherProblem, TRUST_E_FAIL},
      {chain->revoked, CRYPT_E_REVOKED},
      {chain->untrustedRoot && !ignoreUnknownCa, CERT_E_UNTRUSTEDROOT},
      {chain->partialChain && !ignoreUnknownCa, CERT_E_CHAINING},
      {chain->timeInvalid && !ignoreTime, CERT_E_EXPIRED},
      {chain->wrongUsage && !ignoreUsage, CERT_E_WRONG_USAGE},
      {checkName && !NameMatches(chain->leaf.get(), ssl->pwszServerName), CERT_E_CN_NO_MATCH},
      {chain->revocationUnknown && !ignoreRevocation, CRYPT_E_REVOCATION_OFFLINE},
  };
  status->dwError = 0;
  status->lChainIndex = -1;
  status->lElementIndex = -1;
  for (const auto& verdict : verdicts) {
    if (verdict.present) {
      status->dwError = verdict.error;
      status->lChainIndex = 0;
      status->lElementIndex = 0;
      break;
    }
  }
  return true;
}

// ---- hashing ---------------------------------------------------------------------------------

namespace {

struct TzqHashObject {
  TzqEvpMdCtxPtr context;
  TzqByteArray value;  // set once the value was read; the hash takes no more data then
  bool finished = false;
};

constexpr uintptr_t kProviderHandle = 0x5A51;

}  // namespace

bool CryptAcquireContextA(HCRYPTPROV* provider, const char*, const char* providerName, uint32_t providerType,
                          uint32_t) {
  if (provider == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *provider = 0;
  if (providerType != PROV_RSA_FULL) return Fail(NTE_KEYSET_NOT_DEF);
  if (providerName != nullptr && std::strcmp(providerName, MS_DEF_PROV_A) != 0 &&
      std::strcmp(providerName, "Microsoft Enhanced Cryptographic Provider v1.0") != 0)
    return Fail(NTE_KEYSET_NOT_DEF);
  *provider = kProviderHandle;
  return true;
}

bool CryptReleaseContext(HCRYPTPROV provider, uint32_t) {
  return provider == kProviderHandle || Fail(ERROR_INVALID_PARAMETER);
}

bool CryptCreateHash(HCRYPTPROV provider, uint32_t algorithm, uintptr_t, uint32_t, HCRYPTHASH* hash) {
  if (provider != kProviderHandle || hash == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const EVP_MD* md = algorithm == CALG_MD5 ? EVP_md5() : algorithm == CALG_SHA1 ? EVP_sha1() : nullptr;
  if (md == nullptr) return Fail(0x80090008);  // NTE_BAD_ALGID
  auto object = std::make_unique<TzqHashObject>();
  object->context.reset(EVP_MD_CTX_new());
  if (object->context == nullptr || EVP_DigestInit_ex(object->context.get(), md, nullptr) != 1) {
    ERR_clear_error();
    return Fail(NTE_FAIL);
  }
  *hash = reinterpret_cast<HCRYPTHASH>(object.release());
  return true;
}

bool CryptHashData(HCRYPTHASH hash, const uint8_t* data, uint32_t size, uint32_t) {
  auto* object = reinterpret_cast<TzqHashObject*>(hash);
  if (object == nullptr || (data == nullptr && size > 0)) return Fail(ERROR_INVALID_PARAMETER);
  if (object->finished) return Fail(0x8009000C);  // NTE_BAD_HASH_STATE
  return EVP_DigestUpdate(object->context.get(), data, size) == 1 || Fail(NTE_FAIL);
}

bool CryptGetHashParam(HCRYPTHASH hash, uint32_t param, uint8_t* data, uint32_t* size, uint32_t) {
  auto* object = reinterpret_cast<TzqHashObject*>(hash);
  if (object == nullptr || size == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  TzqByteArray value;
  if (param == HP_HASHSIZE) {
    auto n = static_cast<uint32_t>(EVP_MD_CTX_get_size(object->context.get()));
    value.assign(reinterpret_cast<uint8_t*>(&n), reinterpret_cast<uint8_t*>(&n) + sizeof n);
  } else if (param == HP_HASHVAL) {
    if (!object->finished) {
      unsigned char digest[EVP_MAX_MD_SIZE];
      unsigned int n = 0;
      if (EVP_DigestFinal_ex(object->context.get(), digest, &n) != 1) return Fail(NTE_FAIL);
      object->value.assign(digest, digest + n);
      object->finished = true;
    }
    value = object->value;
  } else {
    return Fail(0x80090009);  // NTE_BAD_FLAGS
  }
  uint32_t available = *size;
  *size = static_cast<uint32_t>(value.size());
  if (data == nullptr) return true;
  if (available < value.size()) return Fail(ERROR_MORE_DATA);
  std::memcpy(data, value.data(), value.size());
  return true;
}

bool CryptDestroyHash(HCRYPTHASH hash) {
  if (hash == 0) return Fail(ERROR_INVALID_PARAMETER);
  delete reinterpret_cast<TzqHashObject*>(hash);
  return true;
}

}  // namespace zq
