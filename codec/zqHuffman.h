#pragma once
// Canonical Huffman decode tables of the inflater.

#include <cstdint>
#include <vector>

#include "core/zqApi.h"

namespace zq {

class ZQ_API TzqHuffman {
public:
  // Reverses the order of the low 16 bits of value.
  static uint16_t ReverseBits16(uint16_t value);
};

// One decode table, indexed by the next input bits taken least-significant first.
// The first 2^RootBits entries are indexed by the next RootBits bits; longer codes go through
// a link into a second-level table. An entry >= 0 is (value * 256 + code length), 0 marks a
// bit pattern that no code uses; an entry < 0 is a link: (-(first index of the second-level
// table) * 256) | (longest code length under this prefix). A symbol's value is the symbol
// itself, or what the caller's table maps it to (below 2^23), so that one look-up can give a
// decoder everything it needs about the symbol.
class ZQ_API TzqInflaterHuffmanTree {
public:
  static constexpr int kMaxCodeLength = 15;
  static constexpr int kDefaultRootBits = 9;

  enum TzqCodeSpace { csComplete, csOverSubscribed, csIncomplete };

  // lengths[i] is the code length of symbol i, 0 when the symbol is absent. An over-subscribed
  // set builds no codes. A set that leaves code space unused is accepted as Complete only when
  // it is empty or a single one-bit code (the two shapes the format allows); its unused
  // patterns stay 0. values, when given, holds the value of each of the count symbols.
  TzqInflaterHuffmanTree(const uint8_t* lengths, int count, int rootBits = kDefaultRootBits,
                         const int32_t* values = nullptr);

  TzqCodeSpace CodeSpace() const { return codeSpace_; }
  int RootBits() const { return rootBits_; }
  const int32_t* Entries() const { return entries_.data(); }

  static int EntrySymbol(int32_t entry) { return entry >> 8; }
  static int EntryLength(int32_t entry) { return entry & 15; }
  static int LinkIndex(int32_t entry) { return -(entry & ~0xFF) >> 8; }

private:
  void Fill(const uint8_t* lengths, int count, const int32_t* values);

  int rootBits_;
  TzqCodeSpace codeSpace_ = csComplete;
  std::vector<int32_t> entries_;
};

}  // namespace zq
