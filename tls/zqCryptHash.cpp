#include "tls/zqCryptHash.h"

#include <memory>

#include "codec/zqUtils.h"
#include "core/zqText.h"
#include "tls/zqCryptAPI.h"

namespace zq {

TzqCryptApiHash::~TzqCryptApiHash() { Release(); }

void TzqCryptApiHash::Release() {
  if (hash_ != 0) cryptapi::CryptDestroyHash(hash_);
  if (provider_ != 0) cryptapi::CryptReleaseContext(provider_, 0);
  hash_ = 0;
  provider_ = 0;
  providerNameCopy_.clear();
}

void TzqCryptApiHash::Init() {
  Release();
  providerNameCopy_ = ProviderName();
  const char* name = Trim(providerNameCopy_).empty() ? nullptr : providerNameCopy_.c_str();
  if (!cryptapi::CryptAcquireContextA(&provider_, nullptr, name, ProviderType(), CRYPT_VERIFYCONTEXT))
    RaiseCryptError("CryptAcquireContext");
  if (!cryptapi::CryptCreateHash(provider_, AlgorithmId(), 0, 0, &hash_)) RaiseCryptError("CryptCreateHash");
  uint32_t size = sizeof(uint32_t);
  uint32_t value = 0;
  if (!cryptapi::CryptGetHashParam(hash_, HP_HASHSIZE, reinterpret_cast<uint8_t*>(&value), &size, 0))
    RaiseCryptError("CryptGetHashParam");
  hashSize_ = static_cast<int32_t>(value);
}

void TzqCryptApiHash::Update(const TzqByteArray& bytes, int64_t start, int64_t count) {
  if (start < 0 || count < 0 || start + count > static_cast<int64_t>(bytes.size()))
    throw EzqCryptError(Format("CryptHashData error - %d", static_cast<int32_t>(ERROR_INVALID_PARAMETER)),
                        static_cast<int32_t>(ERROR_INVALID_PARAMETER));
  // The platform call takes 32-bit counts: larger ranges go in pieces.
  for (int64_t done = 0; done < count;) {
    auto piece = static_cast<uint32_t>(std::min<int64_t>(count - done, INT32_MAX));
    if (!cryptapi::CryptHashData(hash_, bytes.data() + start + done, piece, 0)) RaiseCryptError("CryptHashData");
    done += piece;
  }
}

void TzqCryptApiHash::Done(TzqByteArray& digest) {
  TzqCryptData value(hashSize_);
  auto size = static_cast<uint32_t>(hashSize_);
  if (!cryptapi::CryptGetHashParam(hash_, HP_HASHVAL, value.Data(), &size, 0)) RaiseCryptError("CryptGetHashParam");
  digest.assign(value.Data(), value.Data() + size);
  Init();
}

std::string Md5Hex(const std::string& text) {
  if (text.empty()) return {};
  auto md5 = std::make_unique<TzqMd5>();
  md5->Init();
  TzqByteArray bytes(text.begin(), text.end());  // texts are already in the local code page
  md5->Update(bytes, 0, static_cast<int64_t>(bytes.size()));
  TzqByteArray digest;
  md5->Done(digest);
  return LowerCase(HexOfBytes(digest));
}

}  // namespace zq
