#pragma once
// NTLMv2 client messages (MS-NLMP) and the primitives they need: MD4, RC4, HMAC-MD5.

#include <cstdint>
#include <string>

#include "core/zqApi.h"
#include "core/zqStream.h"

namespace zq {

ZQ_API TzqByteArray Md4(const TzqByteArray& data);
ZQ_API TzqByteArray Rc4(const TzqByteArray& key, const TzqByteArray& data);
ZQ_API TzqByteArray HmacMd5(const TzqByteArray& key, const TzqByteArray& data);
// The UTF-16LE bytes of a text in the local code page.
ZQ_API TzqByteArray Utf16Le(const std::string& text);

// NTOWFv2: HMAC-MD5 over the upper-cased user and the domain, keyed by MD4 of the password.
ZQ_API TzqByteArray NtowfV2(const std::string& user, const std::string& password, const std::string& domain);

constexpr uint32_t NTLMSSP_NEGOTIATE_UNICODE = 0x00000001;
constexpr uint32_t NTLMSSP_NEGOTIATE_OEM = 0x00000002;
constexpr uint32_t NTLMSSP_REQUEST_TARGET = 0x00000004;
constexpr uint32_t NTLMSSP_NEGOTIATE_SIGN = 0x00000010;
constexpr uint32_t NTLMSSP_NEGOTIATE_SEAL = 0x00000020;
constexpr uint32_t NTLMSSP_NEGOTIATE_NTLM = 0x00000200;
constexpr uint32_t NTLMSSP_NEGOTIATE_ALWAYS_SIGN = 0x00008000;
constexpr uint32_t NTLMSSP_NEGOTIATE_EXTENDED_SESSIONSECURITY = 0x00080000;
constexpr uint32_t NTLMSSP_NEGOTIATE_TARGET_INFO = 0x00800000;
constexpr uint32_t NTLMSSP_NEGOTIATE_VERSION = 0x02000000;
constexpr uint32_t NTLMSSP_NEGOTIATE_128 = 0x20000000;
constexpr uint32_t NTLMSSP_NEGOTIATE_KEY_EXCH = 0x40000000;
constexpr uint32_t NTLMSSP_NEGOTIATE_56 = 0x80000000;

// What the server's CHALLENGE_MESSAGE carries.
struct ZQ_API TzqNtlmChallenge {
  uint32_t flags = 0;
  TzqByteArray serverChallenge;  // 8 bytes
  TzqByteArray targetInfo;       // the AV pairs, terminator included
  bool hasTimestamp = false;
  int64_t timestamp = 0;  // from MsvAvTimestamp when present
};

// Parses a CHALLENGE_MESSAGE; false when it is truncated, malformed or of another type.
ZQ_API bool ParseNtlmChallenge(const uint8_t* data, size_t size, TzqNtlmChallenge& challenge);

ZQ_API TzqByteArray NtlmNegotiateMessage();

// The values of the NTLMv2 response for one challenge.
struct ZQ_API TzqNtlmV2Result {
  TzqByteArray ntProofStr;
  TzqByteArray ntChallengeResponse;
  TzqByteArray lmChallengeResponse;
  TzqByteArray sessionBaseKey;
  TzqByteArray encryptedRandomSessionKey;  // empty unless key exchange was negotiated
};

// Inputs a test can fix; otherwise random bytes and the current time.
struct ZQ_API TzqNtlmClientInputs {
  TzqByteArray clientChallenge;   // 8 bytes
  TzqByteArray randomSessionKey;  // 16 bytes
  int64_t time = 0;               // file time, used when the server sends none
};

ZQ_API TzqNtlmClientInputs NewNtlmClientInputs();
// The inputs the package uses: fixed ones when a test set them, else new ones.
ZQ_API TzqNtlmClientInputs NtlmClientInputs();
// Fixes the inputs (null returns to random ones).
ZQ_API void SetNtlmClientInputsForTesting(const TzqNtlmClientInputs* inputs);

ZQ_API TzqNtlmV2Result ComputeNtlmV2(const TzqByteArray& ntowf, const TzqNtlmChallenge& challenge,
                                     const TzqNtlmClientInputs& inputs);

ZQ_API TzqByteArray NtlmAuthenticateMessage(const TzqNtlmChallenge& challenge, const TzqNtlmV2Result& result,
                                            const std::string& user, const std::string& domain,
                                            const std::string& workstation);

}  // namespace zq
