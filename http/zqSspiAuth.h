#pragma once
// The client side of the provider's NTLM and Negotiate packages: explicit credentials
// (TzqAuthIdentity) and a security context that advances one token at a time.

#include <string>

#include "core/zqApi.h"
#include "platform/zqAuthPackages.h"
#include "tls/zqSspi.h"

namespace zq {

class TzqStream;

// Credentials given as "DOMAIN\user" (or "DOMAIN/user", or just "user") and a password.
class ZQ_API TzqAuthIdentity : public TzqObject {
public:
  TzqAuthIdentity(const std::string& user, const std::string& password);
  ~TzqAuthIdentity() override = default;
  TzqAuthIdentity(const TzqAuthIdentity&) = delete;
  TzqAuthIdentity& operator=(const TzqAuthIdentity&) = delete;
  std::string ClassName() const override { return "TzqAuthIdentity"; }

  const std::string& UserName() const { return userName_; }
  const std::string& Password() const { return password_; }
  const std::string& Domain() const { return domain_; }

  // The record the provider reads; its texts point into copies this object owns.
  SEC_WINNT_AUTH_IDENTITY_A* BuildIdentity();

private:
  std::string userName_;
  std::string password_;
  std::string domain_;
  std::string userCopy_;
  std::string domainCopy_;
  std::string passwordCopy_;
  SEC_WINNT_AUTH_IDENTITY_A identity_{};
};

class ZQ_API TzqNtAuthSspi : public TzqSspi {
public:
  TzqNtAuthSspi();
  ~TzqNtAuthSspi() override;
  std::string ClassName() const override { return "TzqNtAuthSspi"; }

protected:
  void FreeCredentials();
  void DeleteContext();
  bool HasCredentials() const { return credentials_.dwLower != 0 || credentials_.dwUpper != 0; }
  bool HasContext() const { return context_.dwLower != 0 || context_.dwUpper != 0; }

  CredHandle credentials_{};
  CtxtHandle context_{};
};

class ZQ_API TzqNtAuthClientSspi : public TzqNtAuthSspi {
public:
  std::string ClassName() const override { return "TzqNtAuthClientSspi"; }
  // One leg: the stream's bytes after its position are the server's token (none starts a new
  // exchange); the stream is replaced by the next token to send. True when complete.
  bool AuthenticateStep(const std::string& package, TzqStream& token, TzqAuthIdentity* identity,
                        const std::string& targetName);
};

}  // namespace zq
