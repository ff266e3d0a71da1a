#pragma once
// The binding of the security provider: the provider library is loaded by name on first use,
// and its function table reached from every security object; the SSPI error vocabulary.

#include <cstdint>
#include <string>

#include "core/zqApi.h"
#include "core/zqComponent.h"
#include "core/zqError.h"
#include "platform/zqSecurityProvider.h"

namespace zq {

class ZQ_API EzqSSPIError : public EzqError {
public:
  using EzqError::EzqError;
};

// The base of every security object: loads the provider library lazily, once per object.
class ZQ_API TzqSspi : public TzqObject {
public:
  TzqSspi() = default;
  ~TzqSspi() override;
  TzqSspi(const TzqSspi&) = delete;
  TzqSspi& operator=(const TzqSspi&) = delete;

  std::string ClassName() const override { return "TzqSspi"; }

  // The provider's function table, loading the provider on the first call.
  SecurityFunctionTableA* FunctionTable();
  TzqLibraryHandle LibraryHandle() const { return libraryHandle_; }

private:
  void LoadSecurityProvider();

  TzqLibraryHandle libraryHandle_ = 0;
  SecurityFunctionTableA* functionTable_ = nullptr;
};

// The message for an internal code or a provider status; known is false when neither the
// internal table nor the platform has a text (the text then names the code in hex).
ZQ_API std::string SspiErrorText(int32_t code, bool& known);
ZQ_API std::string SspiErrorText(int32_t code);
// Raises EzqSSPIError with the status as code; a status without a text takes the fallback's.
[[noreturn]] ZQ_API void RaiseSspiError(int32_t status, int32_t fallback);
[[noreturn]] ZQ_API void RaiseSspiError(int32_t code);

}  // namespace zq
