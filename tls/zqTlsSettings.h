#pragma once
// The TLS settings of a client: held once by the component that publishes them and handed whole,
// by const reference, to each stream it creates and to the engine of each session.

#include <cstdint>
#include <initializer_list>
#include <string>

#include "core/zqApi.h"

namespace zq {

// A set of enumeration members, one bit each in enumeration order.
template <typename E>
class TzqFlagSet {
public:
  constexpr TzqFlagSet() = default;
  constexpr TzqFlagSet(std::initializer_list<E> members) {
    for (E member : members) bits_ |= Bit(member);
  }
  constexpr bool Contains(E member) const { return (bits_ & Bit(member)) != 0; }
  constexpr TzqFlagSet& Include(E member) {
    bits_ |= Bit(member);
    return *this;
  }
  constexpr TzqFlagSet& Exclude(E member) {
    bits_ &= ~Bit(member);
    return *this;
  }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr uint32_t Bits() const { return bits_; }
  constexpr bool operator==(const TzqFlagSet&) const = default;

private:
  static constexpr uint32_t Bit(E member) { return 1u << static_cast<unsigned>(member); }
  uint32_t bits_ = 0;
};

enum TzqTlsFlag { tfUseSSL2, tfUseSSL3, tfUseTLS, tfUseTLS11, tfUseTLS12, tfUseTLS13 };
using TzqTlsFlags = TzqFlagSet<TzqTlsFlag>;

enum TzqCertificateVerifyFlag {
  cfIgnoreCommonNameInvalid,
  cfIgnoreDateInvalid,
  cfIgnoreUnknownAuthority,
  cfIgnoreRevocation,
  cfIgnoreWrongUsage,
  cfIgnoreChainPolicyErrors,
};
using TzqCertificateVerifyFlags = TzqFlagSet<TzqCertificateVerifyFlag>;

enum TzqCertificateChainVerifyFlag {
  rfCheckEndOnly,
  rfCheckAll,
  rfExcludeRoot,
  rfCacheEndCert,
  rfCheckCacheOnly,
  rfUseCacheOnlyUrlRetrieval,
  rfDisableRootAutoUpdate,
  rfAccumulativeTimeout,
};
using TzqCertificateChainVerifyFlags = TzqFlagSet<TzqCertificateChainVerifyFlag>;

inline const TzqTlsFlags kDefaultTlsFlags{tfUseTLS, tfUseTLS11, tfUseTLS12};

struct ZQ_API TzqTlsSettings {
  TzqCertificateVerifyFlags certificateFlags;
  TzqCertificateChainVerifyFlags certChainFlags;
  uint32_t certChainRetrievalTimeout = 0;  // milliseconds
  TzqTlsFlags tlsFlags = kDefaultTlsFlags;
  bool useSystemTlsFlags = true;
  bool sendRootCertificate = false;
  bool useStrongCryptoAlgorithms = false;
  std::string securityPackage;  // empty: the best package found
  // Trust anchors that replace the system store when either is set (PEM file, hashed directory).
  std::string caFile;
  std::string caPath;

  bool operator==(const TzqTlsSettings&) const = default;
};

}  // namespace zq
