#include "platform/zqSecurityProvider.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "platform/zqTlsPackage.h"

namespace zq {

namespace {

// ---- package registry ----------------------------------------------------------------------------

struct TzqPackageRegistry {
  std::mutex lock;
  std::vector<std::unique_ptr<TzqSecurityPackage>> packages;

  void Add(std::unique_ptr<TzqSecurityPackage> package) {
    std::lock_guard<std::mutex> guard(lock);
    for (auto& existing : packages) {
      if (existing->Name() == package->Name()) {
        existing = std::move(package);
        return;
      }
    }
    packages.push_back(std::move(package));
  }
};

TzqPackageRegistry& Packages() {
  static TzqPackageRegistry* registry = [] {
    auto* r = new TzqPackageRegistry;  // lives to the end of the process, like the system's
    // The NTLM and Negotiate packages register here too once they exist.
    r->Add(NewTlsPackage());
    return r;
  }();
  return *registry;
}

TzqSecurityPackage* FindPackage(const char* name) {
  TzqPackageRegistry& registry = Packages();
  std::lock_guard<std::mutex> guard(registry.lock);
  for (auto& package : registry.packages)
    if (name != nullptr && package->Name() == name) return package.get();
  return nullptr;
}

// ---- handles -------------------------------------------------------------------------------------

constexpr uintptr_t kCredentialsTag = 0x43726564;
constexpr uintptr_t kContextTag = 0x43747874;

struct TzqHandleTable {
  std::mutex lock;
  std::set<TzqSecurityCredentials*> credentials;
  std::set<TzqSecurityContext*> contexts;
};

TzqHandleTable& Handles() {
  static TzqHandleTable* table = new TzqHandleTable;
  return *table;
}

// The object a handle stands for, or nullptr when the handle is not a live one of this kind.
template <class T>
T* LookUp(const std::set<T*>& registry, const SecHandle* handle, uintptr_t tag) {
  if (handle == nullptr || handle->dwUpper != tag) return nullptr;
  auto* object = reinterpret_cast<T*>(handle->dwLower);
  std::lock_guard<std::mutex> guard(Handles().lock);
  return registry.count(object) != 0 ? object : nullptr;
}

TzqSecurityCredentials* LookUpCredentials(const CredHandle* handle) {
  return LookUp(Handles().credentials, handle, kCredentialsTag);
}

TzqSecurityContext* LookUpContext(const CtxtHandle* handle) { return LookUp(Handles().contexts, handle, kContextTag); }

// Looked up and taken out under one lock, so two frees of one handle delete its object once.
template <class T>
SECURITY_STATUS DeleteRegistered(std::set<T*>& registry, const SecHandle* handle, uintptr_t tag) {
  if (handle == nullptr || handle->dwUpper != tag) return SEC_E_INVALID_HANDLE;
  auto* object = reinterpret_cast<T*>(handle->dwLower);
  {
    std::lock_guard<std::mutex> guard(Handles().lock);
    if (registry.erase(object) == 0) return SEC_E_INVALID_HANDLE;
  }
  delete object;
  return SEC_E_OK;
}

std::span<SecBuffer> Buffers(SecBufferDesc* desc) {
  if (desc == nullptr || desc->pBuffers == nullptr) return {};
  return {desc->pBuffers, desc->cBuffers};
}

// Hands the output token to the first token buffer: in provider memory when asked for,
// otherwise into the caller's buffer.
SECURITY_STATUS DeliverToken(const TzqByteArray& token, SecBufferDesc* output, bool allocate) {
  for (SecBuffer& buffer : Buffers(output)) {
    if (buffer.BufferType != SECBUFFER_TOKEN) continue;
    if (allocate) {
      buffer.pvBuffer = nullptr;
      buffer.cbBuffer = 0;
      if (token.empty()) return SEC_E_OK;
      buffer.pvBuffer = std::malloc(token.size());
      if (buffer.pvBuffer == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
    } else if (buffer.cbBuffer < token.size() || (buffer.pvBuffer == nullptr && !token.empty())) {
      return SEC_E_BUFFER_TOO_SMALL;
    }
    if (!token.empty()) std::memcpy(buffer.pvBuffer, token.data(), token.size());
    buffer.cbBuffer = static_cast<uint32_t>(token.size());
    return SEC_E_OK;
  }
  return token.empty() ? SEC_E_OK : SEC_E_INVALID_TOKEN;
}

// Runs one context step; a failed first step leaves no context behind.
template <typename Step>
SECURITY_STATUS RunContextStep(CredHandle* credentialsHandle, CtxtHandle* context, CtxtHandle* newContext,
                               SecBufferDesc* output, bool allocate, Step step) {
  TzqSecurityCredentials* credentials = LookUpCredentials(credentialsHandle);
  TzqSecurityContext* existing = context != nullptr ? LookUpContext(context) : nullptr;
  if (credentials == nullptr || (context != nullptr && existing == nullptr)) return SEC_E_INVALID_HANDLE;
  std::unique_ptr<TzqSecurityContext> created;
  if (existing == nullptr) {
    created = credentials->NewContext();
    if (!created) return SEC_E_INSUFFICIENT_MEMORY;
    existing = created.get();
  }
  TzqByteArray token;
  SECURITY_STATUS status = step(*credentials, *existing, token);
  SECURITY_STATUS delivered = DeliverToken(token, output, allocate);
  if (delivered != SEC_E_OK) status = delivered;
  if (created && status >= 0) {
    std::lock_guard<std::mutex> guard(Handles().lock);
    Handles().contexts.insert(created.get());
    created.release();
  }
  if (status >= 0 && newContext != nullptr) {
    newContext->dwLower = reinterpret_cast<uintptr_t>(existing);
    newContext->dwUpper = kContextTag;
  }
  return status;
}

// ---- the function table ----------------------------------------------------------------------------

SECURITY_STATUS EnumeratePackages(uint32_t* count, SecPkgInfoA** packages) {
  if (count == nullptr || packages == nullptr) return SEC_E_INVALID_PARAMETER;
  TzqPackageRegistry& registry = Packages();
  std::lock_guard<std::mutex> guard(registry.lock);
  size_t size = registry.packages.size() * sizeof(SecPkgInfoA);
  for (auto& package : registry.packages) size += package->Name().size() + package->Comment().size() + 2;
  auto* block = static_cast<uint8_t*>(std::malloc(size ? size : 1));
  if (block == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
  auto* infos = reinterpret_cast<SecPkgInfoA*>(block);
  char* text = reinterpret_cast<char*>(block + registry.packages.size() * sizeof(SecPkgInfoA));
  auto copy = [&text](const std::string& value) {
    char* start = text;
    std::memcpy(text, value.c_str(), value.size() + 1);
    text += value.size() + 1;
    return start;
  };
  for (size_t i = 0; i < registry.packages.size(); ++i) {
    TzqSecurityPackage& package = *registry.packages[i];
    infos[i] = SecPkgInfoA{};
    infos[i].fCapabilities = package.Capabilities();
    infos[i].cbMaxToken = package.MaxToken();
    infos[i].Name = copy(package.Name());
    infos[i].Comment = copy(package.Comment());
  }
  *count = static_cast<uint32_t>(registry.packages.size());
  *packages = infos;
  return SEC_E_OK;
}

SECURITY_STATUS AcquireCredentials(const char* principal, const char* packageName, uint32_t use, void*, void* authData,
                                   void*, void*, CredHandle* handle, int64_t* expiry) {
  if (handle == nullptr) return SEC_E_INVALID_PARAMETER;
  TzqSecurityPackage* package = FindPackage(packageName);
  if (package == nullptr) return SEC_E_SECPKG_NOT_FOUND;
  std::unique_ptr<TzqSecurityCredentials> credentials;
  SECURITY_STATUS status = package->AcquireCredentials(principal, use, authData, credentials);
  if (status < 0) return status;
  if (!credentials) return SEC_E_INTERNAL_ERROR;
  {
    std::lock_guard<std::mutex> guard(Handles().lock);
    Handles().credentials.insert(credentials.get());
  }
  handle->dwLower = reinterpret_cast<uintptr_t>(credentials.release());
  handle->dwUpper = kCredentialsTag;
  if (expiry != nullptr) *expiry = INT64_MAX;
  return status;
}

SECURITY_STATUS FreeCredentials(CredHandle* handle) {
  return DeleteRegistered(Handles().credentials, handle, kCredentialsTag);
}

SECURITY_STATUS InitializeContext(CredHandle* credentials, CtxtHandle* context, const char* targetName,
                                  uint32_t request, uint32_t, uint32_t, SecBufferDesc* input, uint32_t,
                                  CtxtHandle* newContext, SecBufferDesc* output, uint32_t* attributes,
                                  int64_t* expiry) {
  uint32_t returned = 0;
  SECURITY_STATUS status =
      RunContextStep(credentials, context, newContext, output, (request & ISC_REQ_ALLOCATE_MEMORY) != 0,
                     [&](TzqSecurityCredentials& c, TzqSecurityContext& x, TzqByteArray& token) {
                       return x.Initialize(c, targetName, request, Buffers(input), token, returned);
                     });
  if (attributes != nullptr) *attributes = returned;
  if (expiry != nullptr) *expiry = INT64_MAX;
  return status;
}

SECURITY_STATUS AcceptContext(CredHandle* credentials, CtxtHandle* context, SecBufferDesc* input, uint32_t request,
                              uint32_t, CtxtHandle* newContext, SecBufferDesc* output, uint32_t* attributes,
                              int64_t* expiry) {
  uint32_t returned = 0;
  SECURITY_STATUS status =
      RunContextStep(credentials, context, newContext, output, (request & ASC_REQ_ALLOCATE_MEMORY) != 0,
                     [&](TzqSecurityCredentials& c, TzqSecurityContext& x, TzqByteArray& token) {
                       return x.Accept(c, request, Buffers(input), token, returned);
                     });
  if (attributes != nullptr) *attributes = returned;
  if (expiry != nullptr) *expiry = INT64_MAX;
  return status;
}

SECURITY_STATUS CompleteToken(CtxtHandle* handle, SecBufferDesc* token) {
  TzqSecurityContext* context = LookUpContext(handle);
  return context != nullptr ? context->CompleteToken(Buffers(token)) : SEC_E_INVALID_HANDLE;
}

SECURITY_STATUS DeleteContext(CtxtHandle* handle) { return DeleteRegistered(Handles().contexts, handle, kContextTag); }

SECURITY_STATUS ApplyControl(CtxtHandle* handle, SecBufferDesc* input) {
  TzqSecurityContext* context = LookUpContext(handle);
  return context != nullptr ? context->ApplyControl(Buffers(input)) : SEC_E_INVALID_HANDLE;
}

SECURITY_STATUS QueryAttributes(CtxtHandle* handle, uint32_t attribute, void* buffer) {
  TzqSecurityContext* context = LookUpContext(handle);
  if (context == nullptr) return SEC_E_INVALID_HANDLE;
  return buffer != nullptr ? context->QueryAttribute(attribute, buffer) : SEC_E_INVALID_PARAMETER;
}

SECURITY_STATUS FreeBuffer(void* buffer) {
  std::free(buffer);
  return SEC_E_OK;
}

SECURITY_STATUS EncryptMessage(CtxtHandle* handle, uint32_t, SecBufferDesc* message, uint32_t) {
  TzqSecurityContext* context = LookUpContext(handle);
  return context != nullptr ? context->Encrypt(Buffers(message)) : SEC_E_INVALID_HANDLE;
}

SECURITY_STATUS DecryptMessage(CtxtHandle* handle, SecBufferDesc* message, uint32_t, uint32_t* qop) {
  if (qop != nullptr) *qop = 0;
  TzqSecurityContext* context = LookUpContext(handle);
  return context != nullptr ? context->Decrypt(Buffers(message)) : SEC_E_INVALID_HANDLE;
}

SecurityFunctionTableA kFunctionTable = {
    1,
    EnumeratePackages,
    AcquireCredentials,
    FreeCredentials,
    InitializeContext,
    AcceptContext,
    CompleteToken,
    DeleteContext,
    ApplyControl,
    QueryAttributes,
    FreeBuffer,
    EncryptMessage,
    DecryptMessage,
};

SecurityFunctionTableA* InitSecurityInterface() { return &kFunctionTable; }
SecurityFunctionTableA* InitSecurityInterfaceWithoutTable() { return nullptr; }

// ---- libraries -------------------------------------------------------------------------------------

struct TzqLibraryState {
  bool loadFails = false;
  bool entryPointMissing = false;
  bool tableMissing = false;
  int loads = 0;
  int open = 0;
};

struct TzqLibraries {
  std::mutex lock;
  std::map<std::string, TzqLibraryState> byName;
};

constexpr const char* kLibraryNames[] = {"security.dll", "schannel.dll", "secur32.dll"};
constexpr TzqLibraryHandle kFirstHandle = 0x1000;

TzqLibraries& Libraries() {
  static TzqLibraries* libraries = new TzqLibraries;
  return *libraries;
}

const char* LibraryName(TzqLibraryHandle handle) {
  size_t index = (handle - kFirstHandle) / 16;
  bool valid = handle >= kFirstHandle && (handle - kFirstHandle) % 16 == 0 && index < std::size(kLibraryNames);
  return valid ? kLibraryNames[index] : nullptr;
}

}  // namespace

void RegisterSecurityPackage(std::unique_ptr<TzqSecurityPackage> package) {
  if (package) Packages().Add(std::move(package));
}

TzqLibraryHandle LoadSecurityLibrary(const char* name) {
  constexpr TzqLibraryHandle kFileNotFound = 2;
  for (size_t i = 0; name != nullptr && i < std::size(kLibraryNames); ++i) {
    if (strcasecmp(name, kLibraryNames[i]) != 0) continue;
    std::lock_guard<std::mutex> guard(Libraries().lock);
    TzqLibraryState& state = Libraries().byName[kLibraryNames[i]];
    if (state.loadFails) return kFileNotFound;
    ++state.loads;
    ++state.open;
    return kFirstHandle + 16 * i;
  }
  return kFileNotFound;
}

void* GetSecurityProcAddress(TzqLibraryHandle library, const char* name) {
  const char* libraryName = LibraryName(library);
  if (libraryName == nullptr || name == nullptr || std::strcmp(name, "InitSecurityInterfaceA") != 0) return nullptr;
  std::lock_guard<std::mutex> guard(Libraries().lock);
  const TzqLibraryState& state = Libraries().byName[libraryName];
  if (state.entryPointMissing) return nullptr;
  INIT_SECURITY_INTERFACE_A entry = state.tableMissing ? InitSecurityInterfaceWithoutTable : InitSecurityInterface;
  return reinterpret_cast<void*>(entry);
}

void FreeSecurityLibrary(TzqLibraryHandle library) {
  const char* libraryName = LibraryName(library);
  if (libraryName == nullptr) return;
  std::lock_guard<std::mutex> guard(Libraries().lock);
  TzqLibraryState& state = Libraries().byName[libraryName];
  if (state.open > 0) --state.open;
}

void TzqSecurityLibraryHooks::SetLoadFails(const std::string& name, bool fails) {
  std::lock_guard<std::mutex> guard(Libraries().lock);
  Libraries().byName[name].loadFails = fails;
}

void TzqSecurityLibraryHooks::SetEntryPointMissing(const std::string& name, bool missing) {
  std::lock_guard<std::mutex> guard(Libraries().lock);
  Libraries().byName[name].entryPointMissing = missing;
}

void TzqSecurityLibraryHooks::SetTableMissing(const std::string& name, bool missing) {
  std::lock_guard<std::mutex> guard(Libraries().lock);
  Libraries().byName[name].tableMissing = missing;
}

void TzqSecurityLibraryHooks::Reset() {
  std::lock_guard<std::mutex> guard(Libraries().lock);
  for (auto& [name, state] : Libraries().byName) {
    state.loadFails = state.entryPointMissing = state.tableMissing = false;
  }
}

int TzqSecurityLibraryHooks::LoadCount(const std::string& name) {
  std::lock_guard<std::mutex> guard(Libraries().lock);
  auto it = Libraries().byName.find(name);
  return it != Libraries().byName.end() ? it->second.loads : 0;
}

int TzqSecurityLibraryHooks::OpenLoads() {
  std::lock_guard<std::mutex> guard(Libraries().lock);
  int open = 0;
  for (auto& [name, state] : Libraries().byName) open += state.open;
  return open;
}

}  // namespace zq
