#include "http/zqSspiAuth.h"

#include "core/zqStream.h"

namespace zq {

namespace {

constexpr uint32_t kRequestFlags = ISC_REQ_DELEGATE | ISC_REQ_MUTUAL_AUTH | ISC_REQ_REPLAY_DETECT |
                                   ISC_REQ_SEQUENCE_DETECT | ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                   ISC_REQ_CONNECTION | ISC_REQ_INTEGRITY;

unsigned char* CopyOrNull(std::string& copy, const std::string& text, uint32_t& length) {
  copy = text;
  length = static_cast<uint32_t>(text.size());
  return text.empty() ? nullptr : reinterpret_cast<unsigned char*>(copy.data());
}

// Releases a provider-allocated token on every exit.
class TzqProviderToken {
public:
  explicit TzqProviderToken(SecurityFunctionTableA* table) : table_(table) {}
  ~TzqProviderToken() {
    if (buffer.pvBuffer != nullptr) table_->FreeContextBuffer(buffer.pvBuffer);
  }
  TzqProviderToken(const TzqProviderToken&) = delete;
  TzqProviderToken& operator=(const TzqProviderToken&) = delete;
  SecBuffer buffer{0, SECBUFFER_TOKEN, nullptr};

private:
  SecurityFunctionTableA* table_;
};

}  // namespace

// ---- TzqAuthIdentity ---------------------------------------------------------------------------

TzqAuthIdentity::TzqAuthIdentity(const std::string& user, const std::string& password) : password_(password) {
  size_t separator = user.find('\\');
  if (separator == std::string::npos) separator = user.find('/');
  if (separator == std::string::npos) {
    userName_ = user;
  } else {
    domain_ = user.substr(0, separator);
    userName_ = user.substr(separator + 1);
  }
}

SEC_WINNT_AUTH_IDENTITY_A* TzqAuthIdentity::BuildIdentity() {
  identity_ = SEC_WINNT_AUTH_IDENTITY_A();
  identity_.User = CopyOrNull(userCopy_, userName_, identity_.UserLength);
  identity_.Domain = CopyOrNull(domainCopy_, domain_, identity_.DomainLength);
  identity_.Password = CopyOrNull(passwordCopy_, password_, identity_.PasswordLength);
  identity_.Flags = SEC_WINNT_AUTH_IDENTITY_ANSI;
  return &identity_;
}

// ---- TzqNtAuthSspi -----------------------------------------------------------------------------

TzqNtAuthSspi::TzqNtAuthSspi() { RegisterAuthPackages(); }

TzqNtAuthSspi::~TzqNtAuthSspi() {
  DeleteContext();
  FreeCredentials();
}

void TzqNtAuthSspi::FreeCredentials() {
  if (!HasCredentials()) return;
  FunctionTable()->FreeCredentialsHandle(&credentials_);
  credentials_ = CredHandle();
}

void TzqNtAuthSspi::DeleteContext() {
  if (!HasContext()) return;
  FunctionTable()->DeleteSecurityContext(&context_);
  context_ = CtxtHandle();
}

// ---- TzqNtAuthClientSspi -----------------------------------------------------------------------

bool TzqNtAuthClientSspi::AuthenticateStep(const std::string& package, TzqStream& token, TzqAuthIdentity* identity,
                                           const std::string& targetName) {
  SecurityFunctionTableA* table = FunctionTable();
  TzqByteArray input(static_cast<size_t>(token.Size() - token.Position()));
  if (!input.empty()) token.ReadBuffer(input.data(), static_cast<int64_t>(input.size()));

  if (input.empty()) {
    DeleteContext();
    FreeCredentials();
    const SECURITY_STATUS status = table->AcquireCredentialsHandleA(
        nullptr, package.c_str(), SECPKG_CRED_OUTBOUND, nullptr,
        identity != nullptr ? identity->BuildIdentity() : nullptr, nullptr, nullptr, &credentials_, nullptr);
    if (status != SEC_E_OK) {
      credentials_ = CredHandle();
      RaiseSspiError(status);
    }
  }

  SecBuffer inputBuffer{static_cast<uint32_t>(input.size()), SECBUFFER_TOKEN, input.data()};
  SecBufferDesc inputDesc{SECBUFFER_VERSION, 1, &inputBuffer};
  TzqProviderToken output(table);
  SecBufferDesc outputDesc{SECBUFFER_VERSION, 1, &output.buffer};
  uint32_t attributes = 0;
  const bool continuing = !input.empty() && HasContext();
  SECURITY_STATUS status = table->InitializeSecurityContextA(
      &credentials_, continuing ? &context_ : nullptr, targetName.c_str(), kRequestFlags, 0, 0,
      input.empty() ? nullptr : &inputDesc, 0, &context_, &outputDesc, &attributes, nullptr);
  const bool done = status == SEC_E_OK || status == SEC_I_COMPLETE_NEEDED;
  if (status == SEC_I_COMPLETE_NEEDED || status == SEC_I_COMPLETE_AND_CONTINUE) {
    const SECURITY_STATUS completed = table->CompleteAuthToken(&context_, &outputDesc);
    if (completed != SEC_E_OK) RaiseSspiError(completed);
    status = done ? SEC_E_OK : SEC_I_CONTINUE_NEEDED;
  }
  if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) RaiseSspiError(status);
  // The server's token never goes back out as ours.
  token.SetSize(0);
  if (output.buffer.pvBuffer != nullptr && output.buffer.cbBuffer > 0)
    token.WriteBuffer(output.buffer.pvBuffer, output.buffer.cbBuffer);
  token.SetPosition(0);
  return done;
}

}  // namespace zq
