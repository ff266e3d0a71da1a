#include "codec/zqChecksum.h"

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace zq {
namespace {

constexpr uint32_t kCrcPolynomial = 0xEDB88320u;
constexpr uint32_t kAdlerModulus = 65521;
// Both sums stay below 2^32 over this many bytes before they must be reduced.
constexpr int64_t kAdlerRun = 3800;
// The vector sums take 32-byte blocks; over this many blocks no 32-bit lane can overflow.
constexpr int kAdlerBlock = 32;
constexpr int64_t kAdlerVectorRun = 1024;

// Slice 0 is the classic byte table; slices 1..15 advance a byte by 1..15 more zero bytes,
// so sixteen input bytes are folded per step.
constexpr int kCrcSlices = 16;
using TzqCrcTables = std::array<std::array<uint32_t, 256>, kCrcSlices>;

constexpr TzqCrcTables MakeCrcTables() {
  TzqCrcTables tables{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t crc = n;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ kCrcPolynomial : crc >> 1;
    tables[0][n] = crc;
  }
  for (uint32_t n = 0; n < 256; ++n) {
    for (int slice = 1; slice < kCrcSlices; ++slice) {
      const uint32_t previous = tables[slice - 1][n];
      tables[slice][n] = (previous >> 8) ^ tables[0][previous & 0xFF];
    }
  }
  return tables;
}

constexpr TzqCrcTables kCrcTables = MakeCrcTables();

inline uint32_t CrcByte(uint32_t crc, uint8_t value) { return kCrcTables[0][(crc ^ value) & 0xFF] ^ (crc >> 8); }

inline uint32_t LoadLittle32(const uint8_t* bytes) {
  return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

// Sixteen bytes a step; crc is the inverted running value.
uint32_t CrcTables(uint32_t crc, const uint8_t* bytes, int64_t count) {
  const auto& t = kCrcTables;
  for (; count >= 16; count -= 16, bytes += 16) {
    const uint32_t a = crc ^ LoadLittle32(bytes);
    const uint32_t b = LoadLittle32(bytes + 4);
    const uint32_t c = LoadLittle32(bytes + 8);
    const uint32_t d = LoadLittle32(bytes + 12);
    crc = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^ t[11][b & 0xFF] ^
          t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^ t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^
          t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^ t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^
          t[0][d >> 24];
  }
  for (; count > 0; --count) crc = CrcByte(crc, *bytes++);
  return crc;
}

#if defined(__x86_64__)
// Folds 64 bytes a step by carry-less multiplication, then reduces to 32 bits (Barrett), after
// Gopal et al., "Fast CRC Computation for Generic Polynomials Using PCLMULQDQ" (Intel, 2009),
// with the constants of the reflected gzip polynomial. count is a multiple of 16, at least 64.
#define ZQ_CARRYLESS __attribute__((target("pclmul,sse4.1")))

ZQ_CARRYLESS inline __m128i Load128(const uint8_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }

// x multiplied forward by the fold distance of k, plus the next block.
ZQ_CARRYLESS inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), _mm_clmulepi64_si128(x, k, 0x00)), next);
}

ZQ_CARRYLESS uint32_t CrcFold(uint32_t crc, const uint8_t* bytes, int64_t count) {
  const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
  const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
  const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
  const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
  __m128i x1 = _mm_xor_si128(Load128(bytes), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x2 = Load128(bytes + 16);
  __m128i x3 = Load128(bytes + 32);
  __m128i x4 = Load128(bytes + 48);
  bytes += 64;
  count -= 64;
  for (; count >= 64; count -= 64, bytes += 64) {
    x1 = Fold(x1, k1k2, Load128(bytes));
    x2 = Fold(x2, k1k2, Load128(bytes + 16));
    x3 = Fold(x3, k1k2, Load128(bytes + 32));
    x4 = Fold(x4, k1k2, Load128(bytes + 48));
  }
  x1 = Fold(x1, k3k4, x2);
  x1 = Fold(x1, k3k4, x3);
  x1 = Fold(x1, k3k4, x4);
  for (; count >= 16; count -= 16, bytes += 16) x1 = Fold(x1, k3k4, Load128(bytes));
  // 128 bits to 64.
  __m128i x2r = _mm_clmulepi64_si128(x1, k3k4, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2r);
  x2r = _mm_srli_si128(x1, 4);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00), x2r);
  // Barrett reduction to 32.
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly, 0x00);
  return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, t), 1));
}

bool HasCarryless() {
  static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return has;
}
#endif

uint32_t CrcCarryless(uint32_t crc, const uint8_t* bytes, int64_t count) {
#if defined(__x86_64__)
  if (count >= 64) {
    const int64_t folded = count & ~int64_t{15};
    crc = CrcFold(crc, bytes, folded);
    bytes += folded;
    count -= folded;
  }
#endif
  return CrcTables(crc, bytes, count);
}

// Sixteen bytes a step, in two independent halves so the sums do not wait on each other byte
// by byte: over a run, s2 gains 16 * s1 per step plus the bytes weighted by their distance from
// the step's end.
uint32_t AdlerScalar(uint32_t value, const uint8_t* bytes, int64_t count) {
  uint64_t s1 = value & 0xFFFF;
  uint64_t s2 = value >> 16;
  while (count > 0) {
    int64_t run = count < kAdlerRun ? count : kAdlerRun;
    count -= run;
    for (; run >= 16; run -= 16, bytes += 16) {
      uint32_t sum = 0;
      uint32_t weighted = 0;
      for (int i = 0; i < 16; ++i) {
        sum += bytes[i];
        weighted += uint32_t(16 - i) * bytes[i];
      }
      s2 += 16 * s1 + weighted;
      s1 += sum;
    }
    for (; run > 0; --run) {
      s1 += *bytes++;
      s2 += s1;
    }
    s1 %= kAdlerModulus;
    s2 %= kAdlerModulus;
  }
  return uint32_t(s2 << 16 | s1);
}

#if defined(__x86_64__)
#define ZQ_ADLER_VECTOR __attribute__((target("avx2")))

ZQ_ADLER_VECTOR inline uint64_t SumLanes32(__m256i x) {
  alignas(32) uint32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), x);
  uint64_t sum = 0;
  for (const uint32_t lane : lanes) sum += lane;
  return sum;
}

// count is a multiple of kAdlerBlock. Per block of 32 bytes starting at s1 = a, s2 gains
// 32 * a + sum of (32 - i) * byte i, and s1 the byte sum; the a of each block is the start s1
// plus the byte sums of the blocks before it, which `prefix` accumulates lane by lane.
ZQ_ADLER_VECTOR uint32_t AdlerVector(uint32_t value, const uint8_t* bytes, int64_t count) {
  const __m256i weights = _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14,
                                           13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
  const __m256i ones = _mm256_set1_epi16(1);
  const __m256i zero = _mm256_setzero_si256();
  uint64_t s1 = value & 0xFFFF;
  uint64_t s2 = value >> 16;
  while (count > 0) {
    const int64_t blocks = std::min<int64_t>(count / kAdlerBlock, kAdlerVectorRun);
    count -= blocks * kAdlerBlock;
    __m256i sums = zero;
    __m256i prefix = zero;
    __m256i weighted = zero;
    for (int64_t block = 0; block < blocks; ++block, bytes += kAdlerBlock) {
      const __m256i data = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes));
      prefix = _mm256_add_epi32(prefix, sums);
      sums = _mm256_add_epi32(sums, _mm256_sad_epu8(data, zero));
      weighted = _mm256_add_epi32(weighted, _mm256_madd_epi16(_mm256_maddubs_epi16(data, weights), ones));
    }
    s2 = (s2 + uint64_t(kAdlerBlock) * (uint64_t(blocks) * s1 + SumLanes32(prefix)) + SumLanes32(weighted)) %
         kAdlerModulus;
    s1 = (s1 + SumLanes32(sums)) % kAdlerModulus;
  }
  return uint32_t(s2 << 16 | s1);
}

bool HasAdlerVector() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#endif

}  // namespace

bool TzqCrc32::Available(TzqCrcMethod method) {
#if defined(__x86_64__)
  if (method == TzqCrcMethod::cmCarryless) return HasCarryless();
#else
  if (method == TzqCrcMethod::cmCarryless) return false;
#endif
  return true;
}

uint32_t TzqCrc32::Continue(uint32_t value, const void* buffer, int64_t count, TzqCrcMethod method) {
  const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
  return ~(method == TzqCrcMethod::cmCarryless ? CrcCarryless(~value, bytes, count) : CrcTables(~value, bytes, count));
}

void TzqCrc32::Update(uint8_t value) { value_ = ~CrcByte(~value_, value); }

void TzqCrc32::Update(const void* buffer, int64_t count) {
  static const TzqCrcMethod method =
      Available(TzqCrcMethod::cmCarryless) ? TzqCrcMethod::cmCarryless : TzqCrcMethod::cmTable;
  value_ = Continue(value_, buffer, count, method);
}

void TzqAdler32::Update(uint8_t value) { Update(&value, 1); }

bool TzqAdler32::Available(TzqAdlerMethod method) {
#if defined(__x86_64__)
  if (method == TzqAdlerMethod::amVector) return HasAdlerVector();
#else
  if (method == TzqAdlerMethod::amVector) return false;
#endif
  return true;
}

uint32_t TzqAdler32::Continue(uint32_t value, const void* buffer, int64_t count, TzqAdlerMethod method) {
  const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
#if defined(__x86_64__)
  if (method == TzqAdlerMethod::amVector && count >= kAdlerBlock) {
    const int64_t blocks = count & ~int64_t{kAdlerBlock - 1};
    value = AdlerVector(value, bytes, blocks);
    bytes += blocks;
    count -= blocks;
  }
#endif
  return AdlerScalar(value, bytes, count);
}

void TzqAdler32::Update(const void* buffer, int64_t count) {
  static const TzqAdlerMethod method =
      Available(TzqAdlerMethod::amVector) ? TzqAdlerMethod::amVector : TzqAdlerMethod::amScalar;
  value_ = Continue(value_, buffer, count, method);
}

}  // namespace zq
