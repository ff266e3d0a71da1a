#include "codec/zqChecksum.h"

#include <gtest/gtest.h>

#include "tests/codec/zqZLibReference.h"

namespace zq {
namespace {

TEST(Checksum, KnownValuesAndChainedUpdates) {
  const std::string digits = "123456789";
  TzqCrc32 crc;
  EXPECT_EQ(crc.Value(), 0u);
  crc.Update(digits.data(), 4);
  crc.Update(uint8_t('5'));
  crc.Update(digits.data() + 5, 4);
  EXPECT_EQ(crc.Value(), 0xCBF43926u);
  crc.Reset();
  EXPECT_EQ(crc.Value(), 0u);

  TzqAdler32 adler;
  EXPECT_EQ(adler.Value(), 1u);
  adler.Update("Wikipedia", 9);
  EXPECT_EQ(adler.Value(), 0x11E60398u);
}

TEST(Checksum, AgreeWithZLibOnLongAndOddBuffers) {
  std::mt19937 random(11);
  for (const size_t size :
       {size_t(1), size_t(7), size_t(8), size_t(3799), size_t(3800), size_t(3801), size_t(100003)}) {
    test::TzqBytes data = test::Generate(test::dkRandom, size, random);
    test::TzqBytes ones(size, 0xFF);  // the largest sums, to catch a late reduction
    for (const auto* bytes : {&data, &ones}) {
      TzqCrc32 crc;
      TzqAdler32 adler;
      const size_t cut = size / 3;
      crc.Update(bytes->data(), int64_t(cut));
      crc.Update(bytes->data() + cut, int64_t(size - cut));
      adler.Update(bytes->data(), int64_t(cut));
      adler.Update(bytes->data() + cut, int64_t(size - cut));
      EXPECT_EQ(crc.Value(), crc32(0, bytes->data(), uInt(size))) << size;
      EXPECT_EQ(adler.Value(), adler32(1, bytes->data(), uInt(size))) << size;
    }
  }
}

// Every method of a checksum this CPU has, over random lengths around the block sizes, at every
// alignment, continued from random start values (valid Adler-32 sums stay below the modulus in
// both halves), and over 0xFF runs for the largest sums.
template <typename Checksum, typename Method, typename Reference, typename StartValue>
void ExpectEveryMethodAgrees(std::initializer_list<Method> methods, Reference reference, StartValue startValue) {
  std::mt19937 random(23);
  const test::TzqBytes data = test::Generate(test::dkRandom, 70000, random);
  const test::TzqBytes ones(70000, 0xFF);
  for (const Method method : methods) {
    if (!Checksum::Available(method)) continue;
    for (int round = 0; round < 3000; ++round) {
      const size_t offset = random() % 16;
      const size_t length = round < 200 ? size_t(round) : random() % (round % 10 == 0 ? 65536 : 300);
      const uint32_t start = round % 2 == 0 ? uint32_t(startValue(false, random)) : uint32_t(startValue(true, random));
      const uint8_t* bytes = (round % 7 == 0 ? ones : data).data() + offset;
      ASSERT_EQ(Checksum::Continue(start, bytes, int64_t(length), method), reference(start, bytes, uInt(length)))
          << "method " << int(method) << " offset " << offset << " length " << length;
    }
  }
}

TEST(Checksum, EveryCrcMethodAgreesWithZLib) {
  ASSERT_TRUE(TzqCrc32::Available(TzqCrcMethod::cmTable));
  ExpectEveryMethodAgrees<TzqCrc32>(
      {TzqCrcMethod::cmTable, TzqCrcMethod::cmCarryless},
      [](uint32_t start, const uint8_t* bytes, uInt length) { return uint32_t(crc32(start, bytes, length)); },
      [](bool random, std::mt19937& generator) { return random ? uint32_t(generator()) : 0u; });
}

TEST(Checksum, EveryAdlerMethodAgreesWithZLib) {
  ASSERT_TRUE(TzqAdler32::Available(TzqAdlerMethod::amScalar));
  ExpectEveryMethodAgrees<TzqAdler32>(
      {TzqAdlerMethod::amScalar, TzqAdlerMethod::amVector},
      [](uint32_t start, const uint8_t* bytes, uInt length) { return uint32_t(adler32(start, bytes, length)); },
      [](bool random, std::mt19937& generator) {
        return random ? uint32_t(generator() % 65521 << 16 | generator() % 65521) : 1u;
      });
}

}  // namespace
}  // namespace zq
