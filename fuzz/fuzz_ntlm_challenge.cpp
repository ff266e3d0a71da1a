// Feeds arbitrary bytes as an NTLM CHALLENGE_MESSAGE: the parser must stay inside the token,
// and whatever it accepts must carry through to an AUTHENTICATE_MESSAGE.

#include <cstdint>
#include <cstdlib>

#include "platform/zqNtlm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zq::TzqNtlmChallenge challenge;
  if (!zq::ParseNtlmChallenge(data, size, challenge)) return 0;
  if (challenge.serverChallenge.size() != 8 || challenge.targetInfo.size() > size) std::abort();
  zq::TzqNtlmClientInputs inputs;
  inputs.clientChallenge.assign(8, 0xAA);
  inputs.randomSessionKey.assign(16, 0x55);
  const zq::TzqNtlmV2Result result = zq::ComputeNtlmV2(zq::NtowfV2("User", "Password", "Domain"), challenge, inputs);
  const zq::TzqByteArray message = zq::NtlmAuthenticateMessage(challenge, result, "User", "Domain", "");
  if (message.size() < 72 + result.ntChallengeResponse.size()) std::abort();
  return 0;
}
