#include "codec/zqChecksum.h"

#include <array>
#include <cstring>

namespace zq {
namespace {

constexpr uint32_t kCrcPolynomial = 0xEDB88320u;
constexpr uint32_t kAdlerModulus = 65521;
// Both sums stay below 2^32 over this many bytes before they must be reduced.
constexpr int64_t kAdlerRun = 3800;

// Slice 0 is the classic byte table; slices 1..7 advance a byte by 1..7 more zero bytes,
// so eight input bytes are folded per step.
using TzqCrcTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr TzqCrcTables MakeCrcTables() {
  TzqCrcTables tables{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t crc = n;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ kCrcPolynomial : crc >> 1;
    tables[0][n] = crc;
  }
  for (uint32_t n = 0; n < 256; ++n) {
    for (int slice = 1; slice < 8; ++slice) {
      const uint32_t previous = tables[slice - 1][n];
      tables[slice][n] = (previous >> 8) ^ tables[0][previous & 0xFF];
    }
  }
  return tables;
}

constexpr TzqCrcTables kCrcTables = MakeCrcTables();

inline uint32_t CrcByte(uint32_t crc, uint8_t value) {
  return kCrcTables[0][(crc ^ value) & 0xFF] ^ (crc >> 8);
}

inline uint32_t LoadLittle32(const uint8_t* bytes) {
  return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
         uint32_t(bytes[3]) << 24;
}

}  // namespace

void TzqCrc32::Update(uint8_t value) { value_ = ~CrcByte(~value_, value); }

void TzqCrc32::Update(const void* buffer, int64_t count) {
  const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
  uint32_t crc = ~value_;
  for (; count >= 8; count -= 8, bytes += 8) {
    const uint32_t low = crc ^ LoadLittle32(bytes);
    const uint32_t high = LoadLittle32(bytes + 4);
    crc = kCrcTables[7][low & 0xFF] ^ kCrcTables[6][(low >> 8) & 0xFF] ^
          kCrcTables[5][(low >> 16) & 0xFF] ^ kCrcTables[4][low >> 24] ^
          kCrcTables[3][high & 0xFF] ^ kCrcTables[2][(high >> 8) & 0xFF] ^
          kCrcTables[1][(high >> 16) & 0xFF] ^ kCrcTables[0][high >> 24];
  }
  for (; count > 0; --count) crc = CrcByte(crc, *bytes++);
  value_ = ~crc;
}

void TzqAdler32::Update(uint8_t value) { Update(&value, 1); }

void TzqAdler32::Update(const void* buffer, int64_t count) {
  const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
  uint32_t s1 = value_ & 0xFFFF;
  uint32_t s2 = value_ >> 16;
  while (count > 0) {
    int64_t run = count < kAdlerRun ? count : kAdlerRun;
    count -= run;
    for (; run >= 8; run -= 8, bytes += 8) {
      s1 += bytes[0]; s2 += s1;
      s1 += bytes[1]; s2 += s1;
      s1 += bytes[2]; s2 += s1;
      s1 += bytes[3]; s2 += s1;
      s1 += bytes[4]; s2 += s1;
      s1 += bytes[5]; s2 += s1;
      s1 += bytes[6]; s2 += s1;
      s1 += bytes[7]; s2 += s1;
    }
    for (; run > 0; --run) {
      s1 += *bytes++;
      s2 += s1;
    }
    s1 %= kAdlerModulus;
    s2 %= kAdlerModulus;
  }
  value_ = s2 << 16 | s1;
}

}  // namespace zq
