#include "platform/zqAuthPackages.h"

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>

#include <mutex>
#include <string>

#include "platform/zqNtlm.h"
#include "platform/zqSecurityProvider.h"

namespace zq {

namespace {

constexpr uint32_t kNtlmMaxToken = 2888;
constexpr uint32_t kNegotiateMaxToken = 48000;
// SECPKG_FLAG_INTEGRITY | PRIVACY | CONNECTION | MULTI_REQUIRED | ACCEPT_WIN32_NAME
constexpr uint32_t kAuthCapabilities = 0x1 | 0x2 | 0x10 | 0x20 | 0x200;

struct TzqExplicitIdentity {
  bool given = false;
  std::string user;
  std::string domain;
  std::string password;
};

std::string IdentityText(const unsigned char* text, uint32_t length) {
  return text != nullptr ? std::string(reinterpret_cast<const char*>(text), length) : std::string();
}

TzqExplicitIdentity ReadIdentity(void* authData) {
  TzqExplicitIdentity identity;
  const auto* record = static_cast<const SEC_WINNT_AUTH_IDENTITY_A*>(authData);
  if (record == nullptr) return identity;
  identity.given = true;
  identity.user = IdentityText(record->User, record->UserLength);
  identity.domain = IdentityText(record->Domain, record->DomainLength);
  identity.password = IdentityText(record->Password, record->PasswordLength);
  return identity;
}

const TzqByteArray* FirstToken(std::span<SecBuffer> input, TzqByteArray& storage) {
  for (const SecBuffer& buffer : input) {
    if (buffer.BufferType != SECBUFFER_TOKEN || buffer.pvBuffer == nullptr) continue;
    const auto* bytes = static_cast<const uint8_t*>(buffer.pvBuffer);
    storage.assign(bytes, bytes + buffer.cbBuffer);
    return &storage;
  }
  return nullptr;
}

// Packages of this file are client-only: no server side, no message protection.
class TzqClientContext : public TzqSecurityContext {
public:
  SECURITY_STATUS Accept(TzqSecurityCredentials&, uint32_t, std::span<SecBuffer>, TzqByteArray&, uint32_t&) override {
    return SEC_E_UNSUPPORTED_FUNCTION;
  }
};

// ---- NTLM ----------------------------------------------------------------------------------

class TzqNtlmCredentials : public TzqSecurityCredentials {
public:
  explicit TzqNtlmCredentials(TzqExplicitIdentity identity) : identity_(std::move(identity)) {}
  std::unique_ptr<TzqSecurityContext> NewContext() override;
  const TzqExplicitIdentity& Identity() const { return identity_; }

private:
  TzqExplicitIdentity identity_;
};

class TzqNtlmContext : public TzqClientContext {
public:
  explicit TzqNtlmContext(const TzqExplicitIdentity& identity) : identity_(identity) {}

  SECURITY_STATUS Initialize(TzqSecurityCredentials&, const char*, uint32_t, std::span<SecBuffer> input,
                             TzqByteArray& output, uint32_t& attributes) override {
    attributes = 0;
    TzqByteArray storage;
    const TzqByteArray* token = FirstToken(input, storage);
    if (state_ == kStart) {
      if (token != nullptr && !token->empty()) return SEC_E_INVALID_TOKEN;
      output = NtlmNegotiateMessage();
      state_ = kNegotiated;
      return SEC_I_CONTINUE_NEEDED;
    }
    if (state_ != kNegotiated || token == nullptr) return SEC_E_INVALID_TOKEN;
    TzqNtlmChallenge challenge;
    if (!ParseNtlmChallenge(token->data(), token->size(), challenge)) return SEC_E_INVALID_TOKEN;
    const TzqNtlmV2Result result =
        ComputeNtlmV2(NtowfV2(identity_.user, identity_.password, identity_.domain), challenge, NtlmClientInputs());
    if (result.ntChallengeResponse.size() > 0xFFFF) return SEC_E_INVALID_TOKEN;
    output = NtlmAuthenticateMessage(challenge, result, identity_.user, identity_.domain, std::string());
    state_ = kDone;
    return SEC_E_OK;
  }

private:
  enum { kStart, kNegotiated, kDone } state_ = kStart;
  TzqExplicitIdentity identity_;
};

std::unique_ptr<TzqSecurityContext> TzqNtlmCredentials::NewContext() {
  return std::make_unique<TzqNtlmContext>(identity_);
}

class TzqNtlmPackage : public TzqSecurityPackage {
public:
  std::string Name() const override { return "NTLM"; }
  std::string Comment() const override { return "NTLM Security Package"; }
  uint32_t Capabilities() const override { return kAuthCapabilities; }
  uint32_t MaxToken() const override { return kNtlmMaxToken; }
  SECURITY_STATUS AcquireCredentials(const char*, uint32_t credentialUse, void* authData,
                                     std::unique_ptr<TzqSecurityCredentials>& credentials) override {
    if ((credentialUse & SECPKG_CRED_OUTBOUND) == 0) return SEC_E_UNSUPPORTED_FUNCTION;
    TzqExplicitIdentity identity = ReadIdentity(authData);
    // There is no logged-on Windows user to fall back on.
    if (!identity.given || identity.user.empty()) return SEC_E_NO_CREDENTIALS;
    credentials = std::make_unique<TzqNtlmCredentials>(std::move(identity));
    return SEC_E_OK;
  }
};

// ---- Negotiate -----------------------------------------------------------------------------

gss_OID_desc kSpnegoOid = {6, const_cast<char*>("\x2b\x06\x01\x05\x05\x02")};

gss_buffer_desc Buffer(const std::string& text) { return gss_buffer_desc{text.size(), const_cast<char*>(text.data())}; }

class TzqGssName {
public:
  TzqGssName(const std::string& text, gss_OID type, OM_uint32& major) {
    OM_uint32 minor = 0;
    gss_buffer_desc buffer = Buffer(text);
    major = gss_import_name(&minor, &buffer, type, &name_);
  }
  ~TzqGssName() {
    OM_uint32 minor = 0;
    if (name_ != GSS_C_NO_NAME) gss_release_name(&minor, &name_);
  }
  TzqGssName(const TzqGssName&) = delete;
  TzqGssName& operator=(const TzqGssName&) = delete;
  gss_name_t Get() const { return name_; }

private:
  gss_name_t name_ = GSS_C_NO_NAME;
};

class TzqNegotiateCredentials : public TzqSecurityCredentials {
public:
  explicit TzqNegotiateCredentials(gss_cred_id_t credentials) : credentials_(credentials) {}
  ~TzqNegotiateCredentials() override {
    OM_uint32 minor = 0;
    if (credentials_ != GSS_C_NO_CREDENTIAL) gss_release_cred(&minor, &credentials_);
  }
  std::unique_ptr<TzqSecurityContext> NewContext() override;
  gss_cred_id_t Get() const { return credentials_; }

private:
  gss_cred_id_t credentials_;
};

// "HTTP/host" (the provider's form) becomes the host-based service name "HTTP@host".
std::string ServiceName(const char* target) {
  std::string name = target != nullptr ? target : "";
  const size_t slash = name.find('/');
  if (slash != std::string::npos) name[slash] = '@';
  return name;
}

OM_uint32 GssFlags(uint32_t request) {
  OM_uint32 flags = 0;
  if (request & ISC_REQ_DELEGATE) flags |= GSS_C_DELEG_FLAG;
  if (request & ISC_REQ_MUTUAL_AUTH) flags |= GSS_C_MUTUAL_FLAG;
  if (request & ISC_REQ_REPLAY_DETECT) flags |= GSS_C_REPLAY_FLAG;
  if (request & ISC_REQ_SEQUENCE_DETECT) flags |= GSS_C_SEQUENCE_FLAG;
  if (request & ISC_REQ_CONFIDENTIALITY) flags |= GSS_C_CONF_FLAG;
  if (request & ISC_REQ_INTEGRITY) flags |= GSS_C_INTEG_FLAG;
  return flags;
}

class TzqNegotiateContext : public TzqClientContext {
public:
  ~TzqNegotiateContext() override {
    OM_uint32 minor = 0;
    if (context_ != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &context_, GSS_C_NO_BUFFER);
  }

  SECURITY_STATUS Initialize(TzqSecurityCredentials& credentials, const char* targetName, uint32_t request,
                             std::span<SecBuffer> input, TzqByteArray& output, uint32_t& attributes) override {
    attributes = 0;
    TzqByteArray storage;
    const TzqByteArray* token = FirstToken(input, storage);
    if (started_ && token == nullptr) return SEC_E_INVALID_TOKEN;
    OM_uint32 major = 0;
    TzqGssName target(ServiceName(targetName), GSS_C_NT_HOSTBASED_SERVICE, major);
    if (GSS_ERROR(major)) return SEC_E_TARGET_UNKNOWN;
    gss_buffer_desc in{token != nullptr ? token->size() : 0,
                       token != nullptr ? const_cast<uint8_t*>(token->data()) : nullptr};
    gss_buffer_desc out{0, nullptr};
    OM_uint32 minor = 0;
    major =
        gss_init_sec_context(&minor, static_cast<TzqNegotiateCredentials&>(credentials).Get(), &context_, target.Get(),
                             &kSpnegoOid, GssFlags(request), GSS_C_INDEFINITE, GSS_C_NO_CHANNEL_BINDINGS,
                             token != nullptr ? &in : GSS_C_NO_BUFFER, nullptr, &out, nullptr, nullptr);
    started_ = true;
    if (out.length > 0) {
      const auto* bytes = static_cast<const uint8_t*>(out.value);
      output.assign(bytes, bytes + out.length);
    }
    gss_release_buffer(&minor, &out);
    if (GSS_ERROR(major))
      return GSS_ROUTINE_ERROR(major) == GSS_S_DEFECTIVE_TOKEN ? SEC_E_INVALID_TOKEN : SEC_E_LOGON_DENIED;
    return (major & GSS_S_CONTINUE_NEEDED) ? SEC_I_CONTINUE_NEEDED : SEC_E_OK;
  }

private:
  gss_ctx_id_t context_ = GSS_C_NO_CONTEXT;
  bool started_ = false;
};

std::unique_ptr<TzqSecurityContext> TzqNegotiateCredentials::NewContext() {
  return std::make_unique<TzqNegotiateContext>();
}

class TzqNegotiatePackage : public TzqSecurityPackage {
public:
  std::string Name() const override { return "Negotiate"; }
  std::string Comment() const override { return "Microsoft Package Negotiator"; }
  uint32_t Capabilities() const override { return kAuthCapabilities; }
  uint32_t MaxToken() const override { return kNegotiateMaxToken; }
  SECURITY_STATUS AcquireCredentials(const char*, uint32_t credentialUse, void* authData,
                                     std::unique_ptr<TzqSecurityCredentials>& credentials) override {
    if ((credentialUse & SECPKG_CRED_OUTBOUND) == 0) return SEC_E_UNSUPPORTED_FUNCTION;
    const TzqExplicitIdentity identity = ReadIdentity(authData);
    gss_cred_id_t handle = GSS_C_NO_CREDENTIAL;
    if (identity.given && !identity.user.empty()) {
      // The domain serves as the Kerberos realm; without one the default realm applies.
      const std::string principal = identity.domain.empty() ? identity.user : identity.user + "@" + identity.domain;
      OM_uint32 major = 0;
      TzqGssName name(principal, GSS_C_NT_USER_NAME, major);
      if (GSS_ERROR(major)) return SEC_E_UNKNOWN_CREDENTIALS;
      OM_uint32 minor = 0;
      gss_buffer_desc password = Buffer(identity.password);
      gss_OID_set_desc mechs = {1, &kSpnegoOid};
      major = gss_acquire_cred_with_password(&minor, name.Get(), &password, GSS_C_INDEFINITE, &mechs, GSS_C_INITIATE,
                                             &handle, nullptr, nullptr);
      if (GSS_ERROR(major)) return SEC_E_LOGON_DENIED;
    }
    // Without a user name the default credentials (the credential cache) are used.
    credentials = std::make_unique<TzqNegotiateCredentials>(handle);
    return SEC_E_OK;
  }
};

}  // namespace

void RegisterAuthPackages() {
  static std::once_flag once;
  std::call_once(once, [] {
    RegisterSecurityPackage(std::make_unique<TzqNtlmPackage>());
    RegisterSecurityPackage(std::make_unique<TzqNegotiatePackage>());
  });
}

}  // namespace zq
