#pragma once
// The provider's authentication packages: "NTLM" (the project's own NTLMv2 client) and
// "Negotiate" (SPNEGO through the system's GSSAPI). Both take explicit credentials as a
// SEC_WINNT_AUTH_IDENTITY_A record in AcquireCredentialsHandleA's authData.

#include <cstdint>

#include "core/zqApi.h"

namespace zq {

constexpr uint32_t SEC_WINNT_AUTH_IDENTITY_ANSI = 1;
constexpr int32_t SEC_E_LOGON_DENIED = static_cast<int32_t>(0x8009030C);
constexpr int32_t SEC_E_TARGET_UNKNOWN = static_cast<int32_t>(0x80090303);
constexpr uint32_t ISC_REQ_DELEGATE = 0x1;
constexpr uint32_t ISC_REQ_CONNECTION = 0x800;
constexpr uint32_t ISC_REQ_INTEGRITY = 0x10000;
constexpr int32_t SEC_I_COMPLETE_AND_CONTINUE = 0x00090314;

struct ZQ_API SEC_WINNT_AUTH_IDENTITY_A {
  unsigned char* User = nullptr;
  uint32_t UserLength = 0;
  unsigned char* Domain = nullptr;
  uint32_t DomainLength = 0;
  unsigned char* Password = nullptr;
  uint32_t PasswordLength = 0;
  uint32_t Flags = SEC_WINNT_AUTH_IDENTITY_ANSI;
};

// Adds both packages to the provider (once; later calls do nothing).
ZQ_API void RegisterAuthPackages();

}  // namespace zq
