#pragma once
// A certificate with its fields read once from a certificate context, and a list of them.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/zqApi.h"
#include "core/zqComponent.h"
#include "core/zqDateTime.h"
#include "platform/zqCrypto.h"

namespace zq {

class ZQ_API TzqCertificate : public TzqObject {
public:
  // Takes a duplicate of the context; the caller keeps and releases its own.
  explicit TzqCertificate(PCCERT_CONTEXT context);
  ~TzqCertificate() override;
  TzqCertificate(const TzqCertificate&) = delete;
  TzqCertificate& operator=(const TzqCertificate&) = delete;

  std::string ClassName() const override { return "TzqCertificate"; }

  PCCERT_CONTEXT Context() const { return context_; }
  const std::string& IssuedTo() const { return issuedTo_; }
  const std::string& Email() const { return email_; }
  const std::string& IssuedBy() const { return issuedBy_; }
  TzqDateTime ValidTo() const { return validTo_; }
  TzqDateTime ValidFrom() const { return validFrom_; }
  const std::string& SerialNumber() const { return serialNumber_; }
  const std::string& FriendlyName() const { return friendlyName_; }
  uint8_t Version() const { return version_; }
  const std::string& KeyContainerName() const { return keyContainerName_; }
  const std::string& PublicKeyAlgorithm() const { return publicKeyAlgorithm_; }
  const std::string& PublicKeyAlgorithmName() const { return publicKeyAlgorithmName_; }
  const std::string& SignatureAlgorithm() const { return signatureAlgorithm_; }
  const std::string& SignatureAlgorithmName() const { return signatureAlgorithmName_; }
  const std::string& EnhancedKeyUsage() const { return enhancedKeyUsage_; }
  const std::string& Thumbprint() const { return thumbprint_; }
  const std::string& SubjectKeyIdentifier() const { return subjectKeyIdentifier_; }
  int32_t KeyLength() const { return keyLength_; }

private:
  std::string NameString(uint32_t flags) const;
  std::string PropertyBytes(uint32_t propId) const;
  void ReadEmail();
  void ReadEnhancedKeyUsage();

  PCCERT_CONTEXT context_;
  std::string issuedTo_, email_, issuedBy_;
  TzqDateTime validTo_ = 0, validFrom_ = 0;
  std::string serialNumber_, friendlyName_;
  uint8_t version_ = 0;
  std::string keyContainerName_;
  std::string publicKeyAlgorithm_, publicKeyAlgorithmName_;
  std::string signatureAlgorithm_, signatureAlgorithmName_;
  std::string enhancedKeyUsage_, thumbprint_, subjectKeyIdentifier_;
  int32_t keyLength_ = 0;
};

class ZQ_API TzqCertificateList : public TzqObject {
public:
  explicit TzqCertificateList(bool ownsObjects) : ownsObjects_(ownsObjects) {}
  ~TzqCertificateList() override { Clear(); }
  TzqCertificateList(const TzqCertificateList&) = delete;
  TzqCertificateList& operator=(const TzqCertificateList&) = delete;

  std::string ClassName() const override { return "TzqCertificateList"; }

  int Add(TzqCertificate* certificate);
  int Count() const { return static_cast<int>(items_.size()); }
  // Raises EzqError for an index out of range.
  TzqCertificate* Item(int index) const;
  void Clear();
  bool OwnsObjects() const { return ownsObjects_; }

private:
  bool ownsObjects_;
  std::vector<TzqCertificate*> items_;
};

}  // namespace zq
