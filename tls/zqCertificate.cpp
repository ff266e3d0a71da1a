#include "tls/zqCertificate.h"

#include <cstring>

#include "codec/zqUtils.h"
#include "core/zqCodePage.h"
#include "core/zqError.h"
#include "tls/zqCryptAPI.h"

namespace zq {

namespace {

const char* const sListIndexError = "List index out of bounds (%d)";
const char* const kEmailOid = "1.2.840.113549.1.9.1";

std::string WideToLocal(std::u16string_view text) { return WideToAnsi(text, LocalCodePage()); }

// A UTF-16 property value up to its terminator.
std::string WidePropertyText(const std::string& bytes) {
  std::u16string text(bytes.size() / 2, u'\0');
  std::memcpy(text.data(), bytes.data(), text.size() * 2);
  text.resize(std::u16string_view(text.c_str()).size());
  return WideToLocal(text);
}

}  // namespace

TzqCertificate::TzqCertificate(PCCERT_CONTEXT context) : context_(cryptapi::CertDuplicateCertificateContext(context)) {
  issuedTo_ = NameString(0);
  issuedBy_ = NameString(CERT_NAME_ISSUER_FLAG);
  ReadEmail();
  TzqByteArray serial = CertGetSerialNumber(context_);
  serialNumber_ = HexOfBytes(TzqByteArray(serial.rbegin(), serial.rend()));
  int64_t notBefore = 0, notAfter = 0;
  if (CertGetValidity(context_, notBefore, notAfter)) {
    validFrom_ = FileTimeToLocalDateTime(notBefore);
    validTo_ = FileTimeToLocalDateTime(notAfter);
  }
  friendlyName_ = WidePropertyText(PropertyBytes(CERT_FRIENDLY_NAME_PROP_ID));
  ReadEnhancedKeyUsage();
  uint32_t version = CertGetVersion(context_);
  if (version <= 2) version_ = static_cast<uint8_t>(version);
  signatureAlgorithm_ = CertGetSignatureAlgorithm(context_);
  signatureAlgorithmName_ = cryptapi::CryptFindOIDName(signatureAlgorithm_);
  if (signatureAlgorithmName_.empty()) signatureAlgorithmName_ = signatureAlgorithm_;
  publicKeyAlgorithm_ = CertGetPublicKeyAlgorithm(context_);
  publicKeyAlgorithmName_ = cryptapi::CryptFindOIDName(publicKeyAlgorithm_);
  if (publicKeyAlgorithmName_.empty()) publicKeyAlgorithmName_ = publicKeyAlgorithm_;
  keyLength_ = static_cast<int32_t>(cryptapi::CertGetPublicKeyLength(context_));
  keyContainerName_ = WidePropertyText(PropertyBytes(CERT_KEY_PROV_INFO_PROP_ID));
  std::string thumbprint = PropertyBytes(CERT_SHA1_HASH_PROP_ID);
  thumbprint_ = HexOfBuffer(thumbprint.data(), static_cast<int64_t>(thumbprint.size()));
  subjectKeyIdentifier_ = HexOfBytes(CertGetSubjectKeyIdentifier(context_));
}

TzqCertificate::~TzqCertificate() { cryptapi::CertFreeCertificateContext(context_); }

std::string TzqCertificate::NameString(uint32_t flags) const {
  uint32_t length = cryptapi::CertGetNameStringW(context_, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, nullptr, 0);
  if (length <= 1) return {};
  std::u16string name(length, u'\0');
  length = cryptapi::CertGetNameStringW(context_, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, name.data(), length);
  name.resize(length > 0 ? length - 1 : 0);
  return WideToLocal(name);
}

std::string TzqCertificate::PropertyBytes(uint32_t propId) const {
  uint32_t size = 0;
  if (!cryptapi::CertGetCertificateContextProperty(context_, propId, nullptr, &size) || size == 0) return {};
  std::string bytes(size, '\0');
  if (!cryptapi::CertGetCertificateContextProperty(context_, propId, bytes.data(), &size)) return {};
  bytes.resize(size);
  return bytes;
}

void TzqCertificate::ReadEmail() {
  std::vector<std::string> values = CertGetSubjectAttribute(context_, kEmailOid);
  if (!values.empty()) email_ = values.front();
  if (!email_.empty()) return;
  std::vector<std::string> names = CertGetAlternativeNames(context_, CERT_ALT_NAME_RFC822_NAME);
  if (!names.empty()) email_ = names.front();
}

void TzqCertificate::ReadEnhancedKeyUsage() {
  std::vector<std::string> usages;
  if (!cryptapi::CertGetEnhancedKeyUsage(context_, 0, usages)) {
    if (CryptGetLastError() != CRYPT_E_NOT_FOUND) RaiseCryptError("CertGetEnhancedKeyUsage");
    return;
  }
  for (const std::string& usage : usages) enhancedKeyUsage_ += (enhancedKeyUsage_.empty() ? "" : ",") + usage;
}

int TzqCertificateList::Add(TzqCertificate* certificate) {
  items_.push_back(certificate);
  return Count() - 1;
}

TzqCertificate* TzqCertificateList::Item(int index) const {
  if (index < 0 || index >= Count()) throw EzqError(Format(sListIndexError, index));
  return items_[static_cast<size_t>(index)];
}

void TzqCertificateList::Clear() {
  if (ownsObjects_)
    for (TzqCertificate* item : items_) delete item;
  items_.clear();
}

}  // namespace zq
