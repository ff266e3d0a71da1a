#include "tls/zqSspi.h"

#include "platform/zqMessageTable.h"

namespace zq {

namespace {

const char* const sUnknownError = "The unknown error was occured: %X";

struct TzqSspiMessage {
  int32_t code;
  const char* text;
};

const TzqSspiMessage kInternalMessages[] = {
    {-1, "Could not load the dll (schannel.dll, security.dll or secur32.dll)"},
    {-2, "Could not get security initialization routine"},
    {-3, "Could not initialize the security package"},
    {-4, "AcquireCredentials failed"},
    {-5, "None of needed security package was found"},
    {-6, "Could not query package information"},
    {-9, "Error querying local certificate"},
    {-11, "Error occured when authenticating server credentials"},
    {-12, "Not supported"},
    {20, "Out of memory"},
};

const char* const kLibraryNames[] = {"security.dll", "schannel.dll", "secur32.dll"};
const char* const kInitEntryPoint = "InitSecurityInterfaceA";

bool IsLoaded(TzqLibraryHandle handle) { return handle > 32; }

}  // namespace

TzqSspi::~TzqSspi() {
  if (IsLoaded(libraryHandle_)) FreeSecurityLibrary(libraryHandle_);
}

SecurityFunctionTableA* TzqSspi::FunctionTable() {
  if (functionTable_ == nullptr) LoadSecurityProvider();
  return functionTable_;
}

void TzqSspi::LoadSecurityProvider() {
  // A load kept from an attempt that failed later is given back before trying again.
  if (IsLoaded(libraryHandle_)) FreeSecurityLibrary(libraryHandle_);
  libraryHandle_ = 0;
  for (const char* name : kLibraryNames) {
    libraryHandle_ = LoadSecurityLibrary(name);
    if (IsLoaded(libraryHandle_)) break;
  }
  if (!IsLoaded(libraryHandle_)) RaiseSspiError(-1);
  auto init = reinterpret_cast<INIT_SECURITY_INTERFACE_A>(GetSecurityProcAddress(libraryHandle_, kInitEntryPoint));
  if (init == nullptr) RaiseSspiError(-2);
  SecurityFunctionTableA* table = init();
  if (table == nullptr) RaiseSspiError(-3);
  functionTable_ = table;
}

std::string SspiErrorText(int32_t code, bool& known) {
  known = true;
  for (const TzqSspiMessage& message : kInternalMessages)
    if (message.code == code) return message.text;
  std::string text = SystemMessageShortText(static_cast<uint32_t>(code));
  if (!text.empty()) return text;
  known = false;
  return Format(sUnknownError, static_cast<uint32_t>(code));
}

std::string SspiErrorText(int32_t code) {
  bool known = false;
  return SspiErrorText(code, known);
}

void RaiseSspiError(int32_t status, int32_t fallback) {
  bool known = false;
  std::string text = SspiErrorText(status, known);
  if (!known) text = SspiErrorText(fallback);
  throw EzqSSPIError(text, status);
}

void RaiseSspiError(int32_t code) { RaiseSspiError(code, code); }

}  // namespace zq
