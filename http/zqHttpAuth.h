#pragma once
// Answers HTTP authentication challenges (401 / 407) for Negotiate, NTLM, Digest and Basic.
// The schemes live in one process-wide registry; Authorize asks them from the most preferred
// (the last registered) to the least, under one lock. A challenge belongs to a scheme only by
// the token that opens it, never by a word among its parameters. Digest follows RFC 7616.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/zqApi.h"
#include "core/zqComponent.h"

namespace zq {

class TzqStream;
class TzqStringList;
class TzqUrlParser;
class TzqNtAuthClientSspi;

class ZQ_API TzqHttpAuthorization : public TzqObject {
public:
  std::string ClassName() const override { return "TzqHttpAuthorization"; }

  bool StartNewConnection = false;
  std::string AuthorizationValue;
  // The request's body for schemes that sign it (Digest auth-int): read from its position to
  // its end, the position restored; none stands for an empty body. Set by the class-level
  // Authorize for the duration of the call.
  TzqStream* EntityBody = nullptr;

  // Sets AuthorizationValue (empty when the scheme does not apply) and may set StartNewConnection.
  virtual void Authorize(const TzqUrlParser& parser, const std::string& method, const std::string& userName,
                         const std::string& password, const TzqStringList& challenges, const void* client) = 0;

  // Asks the registered schemes in turn; true with the value of the first that produced one.
  static bool Authorize(const TzqUrlParser& parser, const std::string& method, const std::string& userName,
                        const std::string& password, const TzqStringList& challenges, const void* client,
                        std::string& value, bool& startNewConnection, TzqStream* entityBody = nullptr);
  static void RegisterAuthorization(std::unique_ptr<TzqHttpAuthorization> scheme);
  // The challenges of WWW-Authenticate / Proxy-Authenticate values, one a line as "Scheme
  // parameters"; one value may hold several, separated by commas.
  static TzqStringList SplitChallenges(const TzqStringList& values);
  // The first challenge whose scheme token is the name (case ignored), or empty.
  static std::string FindChallenge(const TzqStringList& challenges, const std::string& name);
  // The name=value parameters of a challenge line after its scheme token: names lower-cased,
  // quoted values unquoted; the first of a repeated name wins.
  static std::vector<std::pair<std::string, std::string>> ParseAuthParams(const std::string& line);
};

class ZQ_API TzqHttpBasicAuthorization : public TzqHttpAuthorization {
public:
  std::string ClassName() const override { return "TzqHttpBasicAuthorization"; }
  void Authorize(const TzqUrlParser& parser, const std::string& method, const std::string& userName,
                 const std::string& password, const TzqStringList& challenges, const void* client) override;
};

// One Digest challenge and the answer built from it.
class ZQ_API TzqDigestChallenge : public TzqObject {
public:
  std::string ClassName() const override { return "TzqDigestChallenge"; }
  // Reads the parameters of a WWW-Authenticate / Proxy-Authenticate Digest line.
  void Parse(const std::string& line);

  bool Stale = false;
  std::string Realm;
  std::string Algorithm;
  std::string QopOptions;
  std::string Nonce;
  std::string Domain;
  std::string Opaque;
  uint32_t NonceCount = 0;
  std::string UserName;
  std::string ClientNonce;
  std::string Response;
  std::string Uri;
  std::string Method;
  std::string CharSet;
  // userhash=true: the user name goes out hashed with the realm.
  bool UserHash = false;
  // Hashed into A2 for qop auth-int, as TzqHttpAuthorization::EntityBody.
  TzqStream* EntityBody = nullptr;
};

class ZQ_API TzqHttpDigestAuthorization : public TzqHttpAuthorization {
public:
  std::string ClassName() const override { return "TzqHttpDigestAuthorization"; }
  void Authorize(const TzqUrlParser& parser, const std::string& method, const std::string& userName,
                 const std::string& password, const TzqStringList& challenges, const void* client) override;

  static std::string DigestValue(const TzqUrlParser& parser, const std::string& method, const std::string& userName,
                                 const std::string& password, const std::string& line, TzqStream* entityBody = nullptr);
  // Among the Digest challenges, the one with the strongest algorithm this client knows
  // (the first of equals), or empty.
  static std::string StrongestChallenge(const TzqStringList& challenges);
  // The request digest; settles QopOptions on "auth" when offered, else "auth-int". Empty for
  // an unknown algorithm or a qop list with neither.
  static std::string DigestResponse(TzqDigestChallenge& challenge, const std::string& userName,
                                    const std::string& password);
  static std::string ComposeDigest(const TzqDigestChallenge& challenge);
  // "ab" and 30 lower-case hex digits from a cryptographic random source.
  static std::string NewClientNonce();
};

class ZQ_API TzqHttpNtlmAuthorization : public TzqHttpAuthorization {
public:
  TzqHttpNtlmAuthorization();
  ~TzqHttpNtlmAuthorization() override;
  std::string ClassName() const override { return "TzqHttpNtlmAuthorization"; }
  void Authorize(const TzqUrlParser& parser, const std::string& method, const std::string& userName,
                 const std::string& password, const TzqStringList& challenges, const void* client) override;

  // Unfinished exchanges, one per client object.
  int ContextCount() const { return static_cast<int>(contexts_.size()); }

private:
  std::string NtlmStep(TzqNtAuthClientSspi& context, const TzqUrlParser& parser, const std::string& userName,
                       const std::string& password, const std::string& line, const std::string& scheme, bool& done);
  std::vector<std::pair<std::string, std::unique_ptr<TzqNtAuthClientSspi>>> contexts_;
};

}  // namespace zq
