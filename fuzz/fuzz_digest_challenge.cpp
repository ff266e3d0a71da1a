// Feeds arbitrary challenge values through the challenge splitter, the Digest parser, the
// response and the composed Authorization value. Input: the user name on the first line, then
// the challenge value.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "codec/zqUriUtils.h"
#include "core/zqError.h"
#include "core/zqStringList.h"
#include "core/zqText.h"
#include "http/zqHttpAuth.h"
#include "platform/zqNtlm.h"
#include "tls/zqCryptHash.h"

// OpenSSL fetches its digests once per process and keeps them: do that before the first input,
// so the leak check of an input does not count the cache.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)zq::HmacMd5(zq::TzqByteArray(16, 1), zq::TzqByteArray(1, 2));
  (void)zq::Md5Hex("warm-up");
  (void)zq::TzqHttpDigestAuthorization::NewClientNonce();
  (void)zq::NewNtlmClientInputs();
  return 0;
}

// One client object for every input, as one HTTP client would be.
const int kClient = 0;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t newline = input.find('\n');
  if (newline == std::string_view::npos) return 0;
  const std::string user(input.substr(0, newline));
  const std::string line(input.substr(newline + 1));

  zq::TzqDigestChallenge challenge;
  challenge.Parse(line);
  challenge.Method = "GET";
  challenge.Uri = "/dir/index.html";
  const std::string response = zq::TzqHttpDigestAuthorization::DigestResponse(challenge, user, "secret");
  if (!response.empty() && response.size() != 32 && response.size() != 64 && response.size() != 128) std::abort();
  challenge.Response = response;
  (void)zq::TzqHttpDigestAuthorization::ComposeDigest(challenge);

  zq::TzqUrlParser parser;
  parser.ParseUrl("http://127.0.0.1/dir/index.html?q=1");
  zq::TzqStringList challenges;
  challenges.Add(line);
  const zq::TzqStringList split = zq::TzqHttpAuthorization::SplitChallenges(challenges);
  for (int i = 0; i < split.Count(); ++i) {
    // Every challenge opens with its scheme token.
    if (split[i].empty() || split[i][0] == ' ' || split[i][0] == ',') std::abort();
    (void)zq::TzqHttpAuthorization::ParseAuthParams(split[i]);
  }
  std::string value;
  bool fresh = false;
  // Negotiate goes to the system's Kerberos library, outside what this target is about.
  if (zq::LowerCase(line).find("negotiate") != std::string::npos) return 0;
  try {
    const bool produced =
        zq::TzqHttpAuthorization::Authorize(parser, "GET", user, "secret", challenges, &kClient, value, fresh);
    if (produced == value.empty()) std::abort();
  } catch (const zq::EzqError&) {
    // A broken NTLM or Negotiate token is refused with an error, which is fine.
  }
  return 0;
}
