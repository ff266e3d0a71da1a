#include "platform/zqNtlm.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <array>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include "core/zqCodePage.h"
#include "core/zqError.h"
#include "core/zqText.h"

namespace zq {

namespace {

const char* const sNoRandomBytes = "No random bytes for the NTLM client";

const uint8_t kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
constexpr uint16_t kMsvAvEol = 0;
constexpr uint16_t kMsvAvTimestamp = 7;
// Windows 7 / Server 2008 R2, NTLM revision 15.
const uint8_t kVersion[8] = {6, 1, 0xB0, 0x1D, 0, 0, 0, 15};

constexpr uint32_t kClientFlags = NTLMSSP_NEGOTIATE_UNICODE | NTLMSSP_NEGOTIATE_OEM | NTLMSSP_REQUEST_TARGET |
                                  NTLMSSP_NEGOTIATE_SIGN | NTLMSSP_NEGOTIATE_NTLM | NTLMSSP_NEGOTIATE_ALWAYS_SIGN |
                                  NTLMSSP_NEGOTIATE_EXTENDED_SESSIONSECURITY | NTLMSSP_NEGOTIATE_TARGET_INFO |
                                  NTLMSSP_NEGOTIATE_VERSION | NTLMSSP_NEGOTIATE_128 | NTLMSSP_NEGOTIATE_KEY_EXCH |
                                  NTLMSSP_NEGOTIATE_56;
// Target information is the server's to offer; a client asking for it makes some servers (squid's
// helpers among them) claim a block they do not send.
constexpr uint32_t kNegotiateFlags = kClientFlags & ~NTLMSSP_NEGOTIATE_TARGET_INFO;

uint32_t Rotl(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) { return Get16(p) | (static_cast<uint32_t>(Get16(p + 2)) << 16); }

void Put16(TzqByteArray& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(TzqByteArray& out, uint32_t v) {
  Put16(out, static_cast<uint16_t>(v));
  Put16(out, static_cast<uint16_t>(v >> 16));
}
void Put64(TzqByteArray& out, uint64_t v) {
  Put32(out, static_cast<uint32_t>(v));
  Put32(out, static_cast<uint32_t>(v >> 32));
}
void Append(TzqByteArray& out, const TzqByteArray& bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }
void Append(TzqByteArray& out, const uint8_t* bytes, size_t count) { out.insert(out.end(), bytes, bytes + count); }

TzqByteArray RandomBytes(size_t count) {
  TzqByteArray bytes(count);
  if (RAND_bytes(bytes.data(), static_cast<int>(count)) != 1) throw EzqError(sNoRandomBytes);
  return bytes;
}

// A field of a message within its bounds: length, maximum length, offset.
bool ReadField(const uint8_t* data, size_t size, size_t at, TzqByteArray& value) {
  const uint16_t length = Get16(data + at);
  const uint32_t offset = Get32(data + at + 4);
  if (offset > size || length > size - offset) return false;
  value.assign(data + offset, data + offset + length);
  return true;
}

// Walks the AV pairs: every pair lies inside the block and the list ends with MsvAvEOL.
bool ParseTargetInfo(const TzqByteArray& info, TzqNtlmChallenge& challenge) {
  size_t at = 0;
  while (at + 4 <= info.size()) {
    const uint16_t id = Get16(&info[at]);
    const uint16_t length = Get16(&info[at + 2]);
    at += 4;
    if (length > info.size() - at) return false;
    if (id == kMsvAvEol) return true;
    if (id == kMsvAvTimestamp) {
      if (length != 8) return false;
      challenge.hasTimestamp = true;
      challenge.timestamp =
          static_cast<int64_t>(Get32(&info[at]) | (static_cast<uint64_t>(Get32(&info[at + 4])) << 32));
    }
    at += length;
  }
  return false;
}

int64_t FileTimeNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<int64_t>(now.tv_sec) + 11644473600LL) * 10000000LL + now.tv_nsec / 100;
}

// Encodes a text of the AUTHENTICATE message as the negotiated character set asks.
TzqByteArray MessageText(const std::string& text, bool unicode) {
  if (unicode) return Utf16Le(text);
  return TzqByteArray(text.begin(), text.end());
}

std::mutex& FixedInputsLock() {
  static std::mutex lock;
  return lock;
}

std::unique_ptr<TzqNtlmClientInputs>& FixedInputs() {
  static std::unique_ptr<TzqNtlmClientInputs> inputs;
  return inputs;
}

}  // namespace

TzqNtlmClientInputs NtlmClientInputs() {
  std::lock_guard<std::mutex> guard(FixedInputsLock());
  return FixedInputs() ? *FixedInputs() : NewNtlmClientInputs();
}

void SetNtlmClientInputsForTesting(const TzqNtlmClientInputs* inputs) {
  std::lock_guard<std::mutex> guard(FixedInputsLock());
  FixedInputs() = inputs != nullptr ? std::make_unique<TzqNtlmClientInputs>(*inputs) : nullptr;
}

// ---- primitives --------------------------------------------------------------------------------

TzqByteArray Md4(const TzqByteArray& data) {
  uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  TzqByteArray message(data);
  const uint64_t bits = static_cast<uint64_t>(data.size()) * 8;
  message.push_back(0x80);
  while (message.size() % 64 != 56) message.push_back(0);
  Put64(message, bits);
  for (size_t block = 0; block < message.size(); block += 64) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = Get32(&message[block + static_cast<size_t>(i) * 4]);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
    auto f = [](uint32_t x1, uint32_t y, uint32_t z) { return (x1 & y) | (~x1 & z); };
    auto g = [](uint32_t x1, uint32_t y, uint32_t z) { return (x1 & y) | (x1 & z) | (y & z); };
    auto hh = [](uint32_t x1, uint32_t y, uint32_t z) { return x1 ^ y ^ z; };
    static const int r1[4] = {3, 7, 11, 19}, r2[4] = {3, 5, 9, 13}, r3[4] = {3, 9, 11, 15};
    static const int order3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    for (int i = 0; i < 16; ++i) {
      const uint32_t t = Rotl(a + f(b, c, d) + x[i], r1[i % 4]);
      a = d, d = c, c = b, b = t;
    }
    for (int i = 0; i < 16; ++i) {
      const int k = (i % 4) * 4 + i / 4;
      const uint32_t t = Rotl(a + g(b, c, d) + x[k] + 0x5a827999, r2[i % 4]);
      a = d, d = c, c = b, b = t;
    }
    for (int i = 0; i < 16; ++i) {
      const uint32_t t = Rotl(a + hh(b, c, d) + x[order3[i]] + 0x6ed9eba1, r3[i % 4]);
      a = d, d = c, c = b, b = t;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d;
  }
  TzqByteArray digest;
  for (uint32_t word : h) Put32(digest, word);
  return digest;
}

TzqByteArray Rc4(const TzqByteArray& key, const TzqByteArray& data) {
  std::array<uint8_t, 256> s;
  for (int i = 0; i < 256; ++i) s[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
  if (key.empty()) return data;
  for (size_t i = 0, j = 0; i < 256; ++i) {
    j = (j + s[i] + key[i % key.size()]) & 0xFF;
    std::swap(s[i], s[j]);
  }
  TzqByteArray out(data.size());
  for (size_t n = 0, i = 0, j = 0; n < data.size(); ++n) {
    i = (i + 1) & 0xFF;
    j = (j + s[i]) & 0xFF;
    std::swap(s[i], s[j]);
    out[n] = data[n] ^ s[(s[i] + s[j]) & 0xFF];
  }
  return out;
}

TzqByteArray HmacMd5(const TzqByteArray& key, const TzqByteArray& data) {
  TzqByteArray mac(16);
  unsigned int length = 0;
  HMAC(EVP_md5(), key.data(), static_cast<int>(key.size()), data.data(), data.size(), mac.data(), &length);
  mac.resize(length);
  return mac;
}

TzqByteArray Utf16Le(const std::string& text) {
  const std::u16string wide = AnsiToWide(text, LocalCodePage());
  TzqByteArray bytes;
  for (char16_t unit : wide) Put16(bytes, static_cast<uint16_t>(unit));
  return bytes;
}

TzqByteArray NtowfV2(const std::string& user, const std::string& password, const std::string& domain) {
  return HmacMd5(Md4(Utf16Le(password)), Utf16Le(UpperCase(user) + domain));
}

// ---- messages ----------------------------------------------------------------------------------

bool ParseNtlmChallenge(const uint8_t* data, size_t size, TzqNtlmChallenge& challenge) {
  challenge = TzqNtlmChallenge();
  if (data == nullptr || size < 32 || std::memcmp(data, kSignature, 8) != 0 || Get32(data + 8) != 2) return false;
  // The target name is never used, so its field is not read: servers in use send stray offsets there.
  challenge.flags = Get32(data + 20);
  challenge.serverChallenge.assign(data + 24, data + 32);
  if ((challenge.flags & NTLMSSP_NEGOTIATE_TARGET_INFO) == 0) return true;
  return size >= 48 && ReadField(data, size, 40, challenge.targetInfo) &&
         (challenge.targetInfo.empty() || ParseTargetInfo(challenge.targetInfo, challenge));
}

TzqByteArray NtlmNegotiateMessage() {
  TzqByteArray message(kSignature, kSignature + 8);
  Put32(message, 1);
  Put32(message, kNegotiateFlags);
  // Empty domain and workstation fields, both pointing behind the version.
  for (int i = 0; i < 2; ++i) {
    Put16(message, 0);
    Put16(message, 0);
    Put32(message, 40);
  }
  Append(message, kVersion, sizeof kVersion);
  return message;
}

TzqNtlmClientInputs NewNtlmClientInputs() {
  TzqNtlmClientInputs inputs;
  inputs.clientChallenge = RandomBytes(8);
  inputs.randomSessionKey = RandomBytes(16);
  inputs.time = FileTimeNow();
  return inputs;
}

TzqNtlmV2Result ComputeNtlmV2(const TzqByteArray& ntowf, const TzqNtlmChallenge& challenge,
                              const TzqNtlmClientInputs& inputs) {
  TzqNtlmV2Result result;
  TzqByteArray temp = {1, 1, 0, 0, 0, 0, 0, 0};
  Put64(temp, static_cast<uint64_t>(challenge.hasTimestamp ? challenge.timestamp : inputs.time));
  Append(temp, inputs.clientChallenge);
  Put32(temp, 0);
  Append(temp, challenge.targetInfo);
  Put32(temp, 0);

  TzqByteArray proofInput = challenge.serverChallenge;
  Append(proofInput, temp);
  result.ntProofStr = HmacMd5(ntowf, proofInput);
  result.ntChallengeResponse = result.ntProofStr;
  Append(result.ntChallengeResponse, temp);

  if (challenge.hasTimestamp) {
    // With a server time stamp the LMv2 response is left out (all zeros).
    result.lmChallengeResponse.assign(24, 0);
  } else {
    TzqByteArray lmInput = challenge.serverChallenge;
    Append(lmInput, inputs.clientChallenge);
    result.lmChallengeResponse = HmacMd5(ntowf, lmInput);
    Append(result.lmChallengeResponse, inputs.clientChallenge);
  }
  result.sessionBaseKey = HmacMd5(ntowf, result.ntProofStr);
  if (challenge.flags & NTLMSSP_NEGOTIATE_KEY_EXCH)
    result.encryptedRandomSessionKey = Rc4(result.sessionBaseKey, inputs.randomSessionKey);
  return result;
}

TzqByteArray NtlmAuthenticateMessage(const TzqNtlmChallenge& challenge, const TzqNtlmV2Result& result,
                                     const std::string& user, const std::string& domain,
                                     const std::string& workstation) {
  const bool unicode = (challenge.flags & NTLMSSP_NEGOTIATE_UNICODE) != 0;
  const TzqByteArray fields[6] = {result.lmChallengeResponse,        result.ntChallengeResponse,
                                  MessageText(domain, unicode),      MessageText(user, unicode),
                                  MessageText(workstation, unicode), result.encryptedRandomSessionKey};
  constexpr uint32_t kHeaderSize = 72;
  TzqByteArray message(kSignature, kSignature + 8);
  Put32(message, 3);
  uint32_t offset = kHeaderSize;
  for (const TzqByteArray& field : fields) {
    Put16(message, static_cast<uint16_t>(field.size()));
    Put16(message, static_cast<uint16_t>(field.size()));
    Put32(message, offset);
    offset += static_cast<uint32_t>(field.size());
  }
  Put32(message, (challenge.flags & kClientFlags) | (unicode ? 0 : NTLMSSP_NEGOTIATE_OEM));
  Append(message, kVersion, sizeof kVersion);
  for (const TzqByteArray& field : fields) Append(message, field);
  return message;
}

}  // namespace zq
