#pragma once
// The security provider: the SSPI function table (packages, credentials, security contexts,
// security buffer lists), its status codes, and the "libraries" that hand out the table.
// Packages plug into a registry; the TLS package ("Microsoft Unified Security Protocol
// Provider") is built in. Provider-allocated buffers come from malloc and are released
// with FreeContextBuffer.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "core/zqApi.h"
#include "core/zqStream.h"

namespace zq {

using SECURITY_STATUS = int32_t;

constexpr SECURITY_STATUS SEC_E_OK = 0;
constexpr SECURITY_STATUS SEC_I_CONTINUE_NEEDED = 0x00090312;
constexpr SECURITY_STATUS SEC_I_COMPLETE_NEEDED = 0x00090313;
constexpr SECURITY_STATUS SEC_I_CONTEXT_EXPIRED = 0x00090317;
constexpr SECURITY_STATUS SEC_I_INCOMPLETE_CREDENTIALS = 0x00090320;
constexpr SECURITY_STATUS SEC_I_RENEGOTIATE = 0x00090321;
constexpr SECURITY_STATUS SEC_E_INSUFFICIENT_MEMORY = static_cast<int32_t>(0x80090300);
constexpr SECURITY_STATUS SEC_E_INVALID_HANDLE = static_cast<int32_t>(0x80090301);
constexpr SECURITY_STATUS SEC_E_UNSUPPORTED_FUNCTION = static_cast<int32_t>(0x80090302);
constexpr SECURITY_STATUS SEC_E_INTERNAL_ERROR = static_cast<int32_t>(0x80090304);
constexpr SECURITY_STATUS SEC_E_SECPKG_NOT_FOUND = static_cast<int32_t>(0x80090305);
constexpr SECURITY_STATUS SEC_E_INVALID_TOKEN = static_cast<int32_t>(0x80090308);
constexpr SECURITY_STATUS SEC_E_UNKNOWN_CREDENTIALS = static_cast<int32_t>(0x8009030D);
constexpr SECURITY_STATUS SEC_E_NO_CREDENTIALS = static_cast<int32_t>(0x8009030E);
constexpr SECURITY_STATUS SEC_E_MESSAGE_ALTERED = static_cast<int32_t>(0x8009030F);
constexpr SECURITY_STATUS SEC_E_CONTEXT_EXPIRED = static_cast<int32_t>(0x80090317);
constexpr SECURITY_STATUS SEC_E_INCOMPLETE_MESSAGE = static_cast<int32_t>(0x80090318);
constexpr SECURITY_STATUS SEC_E_BUFFER_TOO_SMALL = static_cast<int32_t>(0x80090321);
constexpr SECURITY_STATUS SEC_E_ILLEGAL_MESSAGE = static_cast<int32_t>(0x80090326);
constexpr SECURITY_STATUS SEC_E_CERT_UNKNOWN = static_cast<int32_t>(0x80090327);
constexpr SECURITY_STATUS SEC_E_DECRYPT_FAILURE = static_cast<int32_t>(0x80090330);
constexpr SECURITY_STATUS SEC_E_ALGORITHM_MISMATCH = static_cast<int32_t>(0x80090331);
constexpr SECURITY_STATUS SEC_E_INVALID_PARAMETER = static_cast<int32_t>(0x8009035D);

// Security buffer types.
constexpr uint32_t SECBUFFER_EMPTY = 0;
constexpr uint32_t SECBUFFER_DATA = 1;
constexpr uint32_t SECBUFFER_TOKEN = 2;
constexpr uint32_t SECBUFFER_MISSING = 4;
constexpr uint32_t SECBUFFER_EXTRA = 5;
constexpr uint32_t SECBUFFER_STREAM_TRAILER = 6;
constexpr uint32_t SECBUFFER_STREAM_HEADER = 7;
constexpr uint32_t SECBUFFER_VERSION = 0;

constexpr uint32_t SECPKG_CRED_INBOUND = 1;
constexpr uint32_t SECPKG_CRED_OUTBOUND = 2;

// Context request and return flags (the client's ISC_* and the server's ASC_* values).
constexpr uint32_t ISC_REQ_MUTUAL_AUTH = 0x2;
constexpr uint32_t ISC_REQ_REPLAY_DETECT = 0x4;
constexpr uint32_t ISC_REQ_SEQUENCE_DETECT = 0x8;
constexpr uint32_t ISC_REQ_CONFIDENTIALITY = 0x10;
constexpr uint32_t ISC_REQ_ALLOCATE_MEMORY = 0x100;
constexpr uint32_t ISC_REQ_EXTENDED_ERROR = 0x4000;
constexpr uint32_t ISC_REQ_STREAM = 0x8000;
constexpr uint32_t ISC_RET_EXTENDED_ERROR = 0x4000;
constexpr uint32_t ASC_REQ_MUTUAL_AUTH = 0x2;
constexpr uint32_t ASC_REQ_ALLOCATE_MEMORY = 0x100;
constexpr uint32_t ASC_REQ_EXTENDED_ERROR = 0x8000;
constexpr uint32_t ASC_REQ_STREAM = 0x10000;

// Context attributes.
constexpr uint32_t SECPKG_ATTR_STREAM_SIZES = 4;
constexpr uint32_t SECPKG_ATTR_REMOTE_CERT_CONTEXT = 0x53;
constexpr uint32_t SECPKG_ATTR_CONNECTION_INFO = 0x5A;

// Schannel.
constexpr uint32_t SCHANNEL_CRED_VERSION = 4;
constexpr uint32_t SCHANNEL_SHUTDOWN = 1;
constexpr uint32_t SCH_CRED_NO_DEFAULT_CREDS = 0x10;
constexpr uint32_t SCH_CRED_MANUAL_CRED_VALIDATION = 0x8;
constexpr uint32_t SCH_SEND_ROOT_CERT = 0x40000;
constexpr uint32_t SCH_USE_STRONG_CRYPTO = 0x400000;
constexpr uint32_t SP_PROT_SSL2_SERVER = 0x4;
constexpr uint32_t SP_PROT_SSL2_CLIENT = 0x8;
constexpr uint32_t SP_PROT_SSL3_SERVER = 0x10;
constexpr uint32_t SP_PROT_SSL3_CLIENT = 0x20;
constexpr uint32_t SP_PROT_TLS1_SERVER = 0x40;
constexpr uint32_t SP_PROT_TLS1_CLIENT = 0x80;
constexpr uint32_t SP_PROT_TLS1_1_SERVER = 0x100;
constexpr uint32_t SP_PROT_TLS1_1_CLIENT = 0x200;
constexpr uint32_t SP_PROT_TLS1_2_SERVER = 0x400;
constexpr uint32_t SP_PROT_TLS1_2_CLIENT = 0x800;
constexpr uint32_t SP_PROT_TLS1_3_SERVER = 0x1000;
constexpr uint32_t SP_PROT_TLS1_3_CLIENT = 0x2000;

struct ZQ_API SecHandle {
  uintptr_t dwLower = 0;
  uintptr_t dwUpper = 0;
};
using CredHandle = SecHandle;
using CtxtHandle = SecHandle;

struct ZQ_API SecBuffer {
  uint32_t cbBuffer = 0;
  uint32_t BufferType = SECBUFFER_EMPTY;
  void* pvBuffer = nullptr;
};

struct ZQ_API SecBufferDesc {
  uint32_t ulVersion = SECBUFFER_VERSION;
  uint32_t cBuffers = 0;
  SecBuffer* pBuffers = nullptr;
};

struct ZQ_API SecPkgInfoA {
  uint32_t fCapabilities = 0;
  uint16_t wVersion = 1;
  uint16_t wRPCID = 0;
  uint32_t cbMaxToken = 0;
  char* Name = nullptr;
  char* Comment = nullptr;
};

struct ZQ_API SecPkgContext_StreamSizes {
  uint32_t cbHeader = 0;
  uint32_t cbTrailer = 0;
  uint32_t cbMaximumMessage = 0;
  uint32_t cBuffers = 0;
  uint32_t cbBlockSize = 0;
};

struct ZQ_API SecPkgContext_ConnectionInfo {
  uint32_t dwProtocol = 0;  // one SP_PROT_* bit
  uint32_t aiCipher = 0;
  uint32_t dwCipherStrength = 0;
  uint32_t aiHash = 0;
  uint32_t dwHashStrength = 0;
  uint32_t aiExch = 0;
  uint32_t dwExchStrength = 0;
};

struct TzqCertContext;

struct ZQ_API SCHANNEL_CRED {
  uint32_t dwVersion = SCHANNEL_CRED_VERSION;
  uint32_t cCreds = 0;
  const TzqCertContext* const* paCred = nullptr;
  void* hRootStore = nullptr;
  uint32_t cMappers = 0;
  void** aphMappers = nullptr;
  uint32_t cSupportedAlgs = 0;
  uint32_t* palgSupportedAlgs = nullptr;
  uint32_t grbitEnabledProtocols = 0;
  uint32_t dwMinimumCipherStrength = 0;
  uint32_t dwMaximumCipherStrength = 0;
  uint32_t dwSessionLifespan = 0;
  uint32_t dwFlags = 0;
  uint32_t dwCredFormat = 0;
};

struct ZQ_API SecurityFunctionTableA {
  uint32_t dwVersion;
  SECURITY_STATUS (*EnumerateSecurityPackagesA)(uint32_t* count, SecPkgInfoA** packages);
  SECURITY_STATUS(*AcquireCredentialsHandleA)
  (const char* principal, const char* package, uint32_t credentialUse, void* logonId, void* authData,
   void* getKeyFunction, void* getKeyArgument, CredHandle* credentials, int64_t* expiry);
  SECURITY_STATUS (*FreeCredentialsHandle)(CredHandle* credentials);
  SECURITY_STATUS(*InitializeSecurityContextA)
  (CredHandle* credentials, CtxtHandle* context, const char* targetName, uint32_t contextRequest, uint32_t reserved1,
   uint32_t targetDataRep, SecBufferDesc* input, uint32_t reserved2, CtxtHandle* newContext, SecBufferDesc* output,
   uint32_t* contextAttributes, int64_t* expiry);
  SECURITY_STATUS(*AcceptSecurityContext)
  (CredHandle* credentials, CtxtHandle* context, SecBufferDesc* input, uint32_t contextRequest, uint32_t targetDataRep,
   CtxtHandle* newContext, SecBufferDesc* output, uint32_t* contextAttributes, int64_t* expiry);
  SECURITY_STATUS (*CompleteAuthToken)(CtxtHandle* context, SecBufferDesc* token);
  SECURITY_STATUS (*DeleteSecurityContext)(CtxtHandle* context);
  SECURITY_STATUS (*ApplyControlToken)(CtxtHandle* context, SecBufferDesc* input);
  SECURITY_STATUS (*QueryContextAttributesA)(CtxtHandle* context, uint32_t attribute, void* buffer);
  SECURITY_STATUS (*FreeContextBuffer)(void* buffer);
  SECURITY_STATUS (*EncryptMessage)(CtxtHandle* context, uint32_t qop, SecBufferDesc* message, uint32_t sequence);
  SECURITY_STATUS (*DecryptMessage)(CtxtHandle* context, SecBufferDesc* message, uint32_t sequence, uint32_t* qop);
};

// ---- packages ---------------------------------------------------------------------------------

class TzqSecurityCredentials;

// One security context of a package. Tokens come in as the caller's input buffers (which the
// package may retype to EXTRA / MISSING) and go out as bytes the provider hands over.
class ZQ_API TzqSecurityContext {
public:
  virtual ~TzqSecurityContext() = default;
  virtual SECURITY_STATUS Initialize(TzqSecurityCredentials& credentials, const char* targetName, uint32_t request,
                                     std::span<SecBuffer> input, TzqByteArray& output, uint32_t& attributes) = 0;
  virtual SECURITY_STATUS Accept(TzqSecurityCredentials& credentials, uint32_t request, std::span<SecBuffer> input,
                                 TzqByteArray& output, uint32_t& attributes) = 0;
  virtual SECURITY_STATUS CompleteToken(std::span<SecBuffer>) { return SEC_E_OK; }
  virtual SECURITY_STATUS ApplyControl(std::span<SecBuffer>) { return SEC_E_UNSUPPORTED_FUNCTION; }
  virtual SECURITY_STATUS QueryAttribute(uint32_t, void*) { return SEC_E_UNSUPPORTED_FUNCTION; }
  virtual SECURITY_STATUS Encrypt(std::span<SecBuffer>) { return SEC_E_UNSUPPORTED_FUNCTION; }
  virtual SECURITY_STATUS Decrypt(std::span<SecBuffer>) { return SEC_E_UNSUPPORTED_FUNCTION; }
};

class ZQ_API TzqSecurityCredentials {
public:
  virtual ~TzqSecurityCredentials() = default;
  virtual std::unique_ptr<TzqSecurityContext> NewContext() = 0;
};

class ZQ_API TzqSecurityPackage {
public:
  virtual ~TzqSecurityPackage() = default;
  virtual std::string Name() const = 0;
  virtual std::string Comment() const = 0;
  virtual uint32_t Capabilities() const = 0;
  virtual uint32_t MaxToken() const = 0;
  virtual SECURITY_STATUS AcquireCredentials(const char* principal, uint32_t credentialUse, void* authData,
                                             std::unique_ptr<TzqSecurityCredentials>& credentials) = 0;
};

// Adds a package to the provider (a package of the same name is replaced). The built-in
// packages are registered on the provider's first use.
ZQ_API void RegisterSecurityPackage(std::unique_ptr<TzqSecurityPackage> package);

// ---- provider libraries ------------------------------------------------------------------------

using TzqLibraryHandle = uintptr_t;
using INIT_SECURITY_INTERFACE_A = SecurityFunctionTableA* (*)();

// Loads a provider library by name: a handle above 32 on success, 32 or less (the legacy
// loader's error values; 2 = file not found) on failure. Each load must be released.
ZQ_API TzqLibraryHandle LoadSecurityLibrary(const char* name);
// The library's entry point ("InitSecurityInterfaceA"), or null.
ZQ_API void* GetSecurityProcAddress(TzqLibraryHandle library, const char* name);
ZQ_API void FreeSecurityLibrary(TzqLibraryHandle library);

// Test hooks: make a name fail to load, lack its entry point, or hand out no table; count loads.
struct ZQ_API TzqSecurityLibraryHooks {
  static void SetLoadFails(const std::string& name, bool fails);
  static void SetEntryPointMissing(const std::string& name, bool missing);
  static void SetTableMissing(const std::string& name, bool missing);
  static void Reset();
  // Successful loads of a name so far, and loads not yet released (all names).
  static int LoadCount(const std::string& name);
  static int OpenLoads();
};

}  // namespace zq
