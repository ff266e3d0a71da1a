#include "platform/zqNtlm.h"

#include <gtest/gtest.h>

#include "core/zqStream.h"
#include "http/zqSspiAuth.h"

namespace zq {
namespace {

std::string Hex(const TzqByteArray& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

TzqByteArray Bytes(const std::string& hex) {
  TzqByteArray bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

TzqByteArray Text(const std::string& text) { return TzqByteArray(text.begin(), text.end()); }

// The CHALLENGE_MESSAGE of the NTLMv2 example (MS-NLMP 4.2.4.3).
const std::string kChallenge =
    "4e544c4d53535000020000000c000c003800000033828ae20123456789abcdef00000000000000002400240044000000"
    "060070170000000f53006500720076006500720002000c0044006f006d00610069006e0001000c0053006500720076006500720000000000";

TzqNtlmClientInputs ExampleInputs() {
  TzqNtlmClientInputs inputs;
  inputs.clientChallenge.assign(8, 0xAA);
  inputs.randomSessionKey.assign(16, 0x55);
  inputs.time = 0;
  return inputs;
}

TEST(NtlmPrimitives, Md4AndRc4KnownAnswers) {
  EXPECT_EQ(Hex(Md4(Text(""))), "31d6cfe0d16ae931b73c59d7e0c089c0");
  EXPECT_EQ(Hex(Md4(Text("abc"))), "a448017aaf21d8525fc10ae87aa6729d");
  EXPECT_EQ(Hex(Md4(Text("12345678901234567890123456789012345678901234567890123456789012345678901234567890"))),
            "e33b4ddc9c38f2199c3e7b164fcc0536");
  EXPECT_EQ(Hex(Rc4(Text("Key"), Text("Plaintext"))), "bbf316e8d940af0ad3");
  EXPECT_EQ(Hex(Rc4(Text("Wiki"), Text("pedia"))), "1021bf0420");
  EXPECT_EQ(Hex(Md4(Utf16Le("Password"))), "a4f49c406510bdcab6824ee7c30fd852");
}

TEST(NtlmV2, PublishedExampleValues) {
  const TzqByteArray ntowf = NtowfV2("User", "Password", "Domain");
  EXPECT_EQ(Hex(ntowf), "0c868a403bfd7a93a3001ef22ef02e3f");
  const TzqByteArray message = Bytes(kChallenge);
  TzqNtlmChallenge challenge;
  ASSERT_TRUE(ParseNtlmChallenge(message.data(), message.size(), challenge));
  EXPECT_EQ(challenge.flags, 0xe28a8233u);
  EXPECT_EQ(Hex(challenge.serverChallenge), "0123456789abcdef");
  EXPECT_EQ(challenge.targetInfo.size(), 36u);
  EXPECT_FALSE(challenge.hasTimestamp);

  const TzqNtlmV2Result result = ComputeNtlmV2(ntowf, challenge, ExampleInputs());
  EXPECT_EQ(Hex(result.ntProofStr), "68cd0ab851e51c96aabc927bebef6a1c");
  EXPECT_EQ(Hex(result.lmChallengeResponse), "86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa");
  EXPECT_EQ(Hex(result.sessionBaseKey), "8de40ccadbc14a82f15cb0ad0de95ca3");
  EXPECT_EQ(Hex(result.encryptedRandomSessionKey), "c5dad2544fc9799094ce1ce90bc9d03e");
  const TzqByteArray temp(result.ntChallengeResponse.begin() + 16, result.ntChallengeResponse.end());
  EXPECT_EQ(Hex(temp),
            "0101000000000000"
            "0000000000000000"
            "aaaaaaaaaaaaaaaa"
            "00000000" +
                Hex(challenge.targetInfo) + "00000000");
}

TEST(NtlmV2, TruncatedOrMalformedChallengesAreRefused) {
  const TzqByteArray message = Bytes(kChallenge);
  TzqNtlmChallenge challenge;
  for (size_t size = 0; size < message.size(); ++size)
    EXPECT_FALSE(ParseNtlmChallenge(message.data(), size, challenge)) << "size " << size;
  TzqByteArray wrongType = message;
  wrongType[8] = 3;
  EXPECT_FALSE(ParseNtlmChallenge(wrongType.data(), wrongType.size(), challenge));
  TzqByteArray farOffset = message;
  farOffset[44] = 0xF0;  // target info offset far past the end
  EXPECT_FALSE(ParseNtlmChallenge(farOffset.data(), farOffset.size(), challenge));
  TzqByteArray longPair = message;
  longPair[68 + 2] = 0xFF;  // first AV pair claims more than the block holds
  EXPECT_FALSE(ParseNtlmChallenge(longPair.data(), longPair.size(), challenge));
  TzqByteArray noEnd = message;
  noEnd[68 + 32] = 1;  // the terminator becomes an empty pair of another kind
  EXPECT_FALSE(ParseNtlmChallenge(noEnd.data(), noEnd.size(), challenge));
}

// squid's ntlm_fake_auth: no target information, and a stray offset in the unused target-name field.
TEST(NtlmV2, ChallengeWithoutTargetInformationAndAStrayTargetName) {
  const TzqByteArray message = Bytes(
      "4e544c4d53535000020000000900"
      "0900aeaaaaaa078208a295ff2a7056d5cb73"
      "0000000000003a00574f524b47524f5550");
  TzqNtlmChallenge challenge;
  ASSERT_TRUE(ParseNtlmChallenge(message.data(), message.size(), challenge));
  EXPECT_EQ(challenge.flags, 0xa2088207u);
  EXPECT_EQ(Hex(challenge.serverChallenge), "95ff2a7056d5cb73");
  EXPECT_TRUE(challenge.targetInfo.empty());

  // The same bytes claiming target information point it at garbage: refused.
  TzqByteArray claimed = message;
  claimed[22] |= 0x80;
  EXPECT_FALSE(ParseNtlmChallenge(claimed.data(), claimed.size(), challenge));
}

TEST(NtlmV2, NegotiateLeavesTargetInformationToTheServer) {
  const TzqByteArray message = NtlmNegotiateMessage();
  ASSERT_GE(message.size(), 16u);
  const uint32_t flags = message[12] | (message[13] << 8) | (message[14] << 16) | (uint32_t(message[15]) << 24);
  EXPECT_EQ(flags & NTLMSSP_NEGOTIATE_TARGET_INFO, 0u);
  EXPECT_NE(flags & NTLMSSP_NEGOTIATE_EXTENDED_SESSIONSECURITY, 0u);
}

class NtlmPackage : public ::testing::Test {
protected:
  void SetUp() override {
    const TzqNtlmClientInputs inputs = ExampleInputs();
    SetNtlmClientInputsForTesting(&inputs);
  }
  void TearDown() override { SetNtlmClientInputsForTesting(nullptr); }
  static TzqByteArray Contents(TzqMemoryStream& stream) {
    return TzqByteArray(stream.Memory(), stream.Memory() + stream.Size());
  }
};

TEST_F(NtlmPackage, ThreeLegsThroughTheProvider) {
  TzqNtAuthClientSspi context;
  TzqAuthIdentity identity("Domain\\User", "Password");
  TzqMemoryStream token;
  EXPECT_FALSE(context.AuthenticateStep("NTLM", token, &identity, "HTTP/server"));
  const TzqByteArray negotiate = Contents(token);
  ASSERT_EQ(negotiate.size(), 40u);  // with the version field
  EXPECT_EQ(Hex(TzqByteArray(negotiate.begin(), negotiate.begin() + 12)), "4e544c4d5353500001000000");

  const TzqByteArray challenge = Bytes(kChallenge);
  token.SetSize(0);
  token.WriteBuffer(challenge.data(), static_cast<int64_t>(challenge.size()));
  token.SetPosition(0);
  EXPECT_TRUE(context.AuthenticateStep("NTLM", token, &identity, "HTTP/server"));
  const TzqByteArray authenticate = Contents(token);
  ASSERT_GE(authenticate.size(), 72u);
  EXPECT_EQ(authenticate[8], 3);
  // The NT response field points at the proof computed for the example.
  const size_t ntLength = authenticate[20] | (authenticate[21] << 8);
  const size_t ntOffset = authenticate[24] | (authenticate[25] << 8);
  ASSERT_LE(ntOffset + ntLength, authenticate.size());
  EXPECT_EQ(Hex(TzqByteArray(authenticate.begin() + static_cast<long>(ntOffset),
                             authenticate.begin() + static_cast<long>(ntOffset) + 16)),
            "68cd0ab851e51c96aabc927bebef6a1c");
  const size_t userOffset = authenticate[40] | (authenticate[41] << 8);
  EXPECT_EQ(Hex(TzqByteArray(authenticate.begin() + static_cast<long>(userOffset),
                             authenticate.begin() + static_cast<long>(userOffset) + 8)),
            Hex(Utf16Le("User")));
}

TEST_F(NtlmPackage, MalformedServerTokensAndMissingCredentialsRaise) {
  TzqNtAuthClientSspi context;
  TzqAuthIdentity identity("User", "Password");
  TzqMemoryStream token;
  context.AuthenticateStep("NTLM", token, &identity, "HTTP/server");
  TzqByteArray challenge = Bytes(kChallenge);
  challenge.resize(60);
  token.SetSize(0);
  token.WriteBuffer(challenge.data(), static_cast<int64_t>(challenge.size()));
  token.SetPosition(0);
  EXPECT_THROW(context.AuthenticateStep("NTLM", token, &identity, "HTTP/server"), EzqSSPIError);

  TzqNtAuthClientSspi anonymous;
  TzqMemoryStream empty;
  EXPECT_THROW(anonymous.AuthenticateStep("NTLM", empty, nullptr, "HTTP/server"), EzqSSPIError);
}

}  // namespace
}  // namespace zq
