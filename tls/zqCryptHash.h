#pragma once
// Hashes: the abstract hash, the hash over CryptoAPI and its MD5, and Md5Hex.

#include <cstdint>
#include <string>

#include "core/zqApi.h"
#include "core/zqComponent.h"
#include "core/zqStream.h"
#include "platform/zqCrypto.h"

namespace zq {

// An object created through a class reference (its constructor is its first virtual slot).
class ZQ_API TzqConfigObject : public TzqObject {
public:
  TzqConfigObject() = default;
  std::string ClassName() const override { return "TzqConfigObject"; }
};

class ZQ_API TzqHash : public TzqConfigObject {
public:
  std::string ClassName() const override { return "TzqHash"; }
  virtual void Init() = 0;
  virtual int32_t GetHashSize() = 0;
  virtual void Update(const TzqByteArray& bytes, int64_t start, int64_t count) = 0;
  // The digest; the object is then ready for a new hash.
  virtual void Done(TzqByteArray& digest) = 0;
};

class ZQ_API TzqCryptApiHash : public TzqHash {
public:
  TzqCryptApiHash() = default;
  ~TzqCryptApiHash() override;
  TzqCryptApiHash(const TzqCryptApiHash&) = delete;
  TzqCryptApiHash& operator=(const TzqCryptApiHash&) = delete;

  std::string ClassName() const override { return "TzqCryptApiHash"; }
  void Init() override;
  int32_t GetHashSize() override { return hashSize_; }
  void Update(const TzqByteArray& bytes, int64_t start, int64_t count) override;
  void Done(TzqByteArray& digest) override;

  virtual uint32_t AlgorithmId() const = 0;
  virtual std::string ProviderName() const = 0;
  virtual uint32_t ProviderType() const = 0;

private:
  void Release();

  HCRYPTPROV provider_ = 0;
  HCRYPTHASH hash_ = 0;
  int32_t hashSize_ = 0;
  std::string providerNameCopy_;
};

class ZQ_API TzqMd5 : public TzqCryptApiHash {
public:
  std::string ClassName() const override { return "TzqMd5"; }
  uint32_t AlgorithmId() const override { return CALG_MD5; }
  std::string ProviderName() const override { return MS_DEF_PROV_A; }
  uint32_t ProviderType() const override { return PROV_RSA_FULL; }
};

// The MD5 of the text's bytes as 32 lower-case hex digits; an empty text gives an empty text.
ZQ_API std::string Md5Hex(const std::string& text);

}  // namespace zq
