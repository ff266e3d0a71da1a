#pragma once
// Running checksums of the inflater: CRC-32 (gzip trailers) and Adler-32 (zlib trailers).

#include <cstdint>

#include "core/zqApi.h"

namespace zq {

// A running checksum; updates may be chained across buffers.
class ZQ_API TzqCheckSum {
public:
  virtual ~TzqCheckSum() = default;

  virtual void Reset() = 0;
  virtual void Update(uint8_t value) = 0;
  virtual void Update(const void* buffer, int64_t count) = 0;

  uint32_t Value() const { return value_; }

protected:
  TzqCheckSum() = default;
  uint32_t value_ = 0;
};

// How CRC-32 is computed: tables (slicing by 16, everywhere) or carry-less multiplication
// (x86-64 with PCLMULQDQ and SSE4.1). Both give the same values.
enum class TzqCrcMethod { cmTable, cmCarryless };

// CRC-32 with the reflected polynomial 0xEDB88320, as gzip uses it. Start value 0. Updates use
// the fastest method this CPU has.
class ZQ_API TzqCrc32 : public TzqCheckSum {
public:
  TzqCrc32() { TzqCrc32::Reset(); }

  void Reset() override { value_ = 0; }
  void Update(uint8_t value) override;
  void Update(const void* buffer, int64_t count) override;

  static bool Available(TzqCrcMethod method);
  // The CRC of value continued over the bytes with the method, which must be available.
  static uint32_t Continue(uint32_t value, const void* buffer, int64_t count, TzqCrcMethod method);
};

// How Adler-32 is computed: scalar sums (everywhere) or 32-byte vector sums (x86-64 with AVX2).
// Both give the same values.
enum class TzqAdlerMethod { amScalar, amVector };

// Adler-32 as zlib uses it: s2 in the high half of Value, s1 in the low half. Start value 1.
// Updates use the fastest method this CPU has.
class ZQ_API TzqAdler32 : public TzqCheckSum {
public:
  TzqAdler32() { TzqAdler32::Reset(); }

  void Reset() override { value_ = 1; }
  void Update(uint8_t value) override;
  void Update(const void* buffer, int64_t count) override;

  static bool Available(TzqAdlerMethod method);
  // The Adler-32 of value continued over the bytes with the method, which must be available.
  static uint32_t Continue(uint32_t value, const void* buffer, int64_t count, TzqAdlerMethod method);
};

}  // namespace zq
