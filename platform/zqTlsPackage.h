#pragma once
// The security provider's TLS package, run by OpenSSL over a BIO that reads records from the
// caller's buffers and writes them into the caller's buffers (DecryptMessage works in place, as
// Schannel's does). Received bytes are fed to OpenSSL one record at a time, so that a step reports the bytes it did not
// need as an EXTRA buffer and a partial record as an incomplete message with a MISSING buffer, as Schannel does.
// Certificates are not checked inside the package (the caller validates the peer's chain).

#include <memory>

#include "core/zqApi.h"
#include "platform/zqSecurityProvider.h"

namespace zq {

extern ZQ_API const char* const kTlsPackageName;  // "Microsoft Unified Security Protocol Provider"

ZQ_API std::unique_ptr<TzqSecurityPackage> NewTlsPackage();

}  // namespace zq
