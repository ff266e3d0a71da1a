#include "codec/zqHuffman.h"

#include <array>
#include <cstddef>

namespace zq {
namespace {

constexpr uint8_t kReverseNibble[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};

using TzqLengthCounts = std::array<int, TzqInflaterHuffmanTree::kMaxCodeLength + 1>;

// The code of each length is the first canonical code of that length, left to right.
TzqLengthCounts FirstCodes(const TzqLengthCounts& counts) {
  TzqLengthCounts first{};
  int code = 0;
  for (int length = 1; length <= TzqInflaterHuffmanTree::kMaxCodeLength; ++length) {
    code = (code + counts[length - 1]) << 1;
    first[length] = code;
  }
  return first;
}

}  // namespace

uint16_t TzqHuffman::ReverseBits16(uint16_t value) {
  return static_cast<uint16_t>(kReverseNibble[value & 15] << 12 | kReverseNibble[(value >> 4) & 15] << 8 |
                               kReverseNibble[(value >> 8) & 15] << 4 | kReverseNibble[value >> 12]);
}

TzqInflaterHuffmanTree::TzqInflaterHuffmanTree(const uint8_t* lengths, int count, int rootBits, const int32_t* values)
    : rootBits_(rootBits), entries_(size_t(1) << rootBits, 0) {
  TzqLengthCounts counts{};
  for (int symbol = 0; symbol < count; ++symbol) {
    if (lengths[symbol] > kMaxCodeLength) {
      codeSpace_ = csOverSubscribed;
      return;
    }
    ++counts[lengths[symbol]];
  }
  // Kraft sum in units of 2^-15 of the code space.
  int left = 1;
  for (int length = 1; length <= kMaxCodeLength; ++length) {
    left = (left << 1) - counts[length];
    if (left < 0) {
      codeSpace_ = csOverSubscribed;
      return;
    }
  }
  const int codes = count - counts[0];
  if (left > 0 && codes != 0 && !(codes == 1 && counts[1] == 1)) {
    codeSpace_ = csIncomplete;
    return;
  }
  Fill(lengths, count, values);
}

void TzqInflaterHuffmanTree::Fill(const uint8_t* lengths, int count, const int32_t* values) {
  const int rootSize = 1 << rootBits_;
  TzqLengthCounts counts{};
  for (int symbol = 0; symbol < count; ++symbol) ++counts[lengths[symbol]];
  counts[0] = 0;
  const TzqLengthCounts first = FirstCodes(counts);

  // Reversed canonical code of every symbol, and the longest code under each root prefix.
  std::vector<uint16_t> reversed(size_t(count), 0);
  std::vector<uint8_t> longest(size_t(rootSize), 0);
  TzqLengthCounts next = first;
  for (int symbol = 0; symbol < count; ++symbol) {
    const int length = lengths[symbol];
    if (length == 0) continue;
    reversed[symbol] = static_cast<uint16_t>(TzqHuffman::ReverseBits16(uint16_t(next[length]++)) >> (16 - length));
    if (length > rootBits_) {
      uint8_t& deepest = longest[reversed[symbol] & (rootSize - 1)];
      if (length > deepest) deepest = uint8_t(length);
    }
  }
  // Second-level tables follow the root table, one per prefix that holds long codes.
  for (int prefix = 0; prefix < rootSize; ++prefix) {
    if (longest[prefix] == 0) continue;
    const int index = int(entries_.size());
    entries_.resize(entries_.size() + (size_t(1) << (longest[prefix] - rootBits_)), 0);
    entries_[prefix] = -(index * 256) | longest[prefix];
  }
  for (int symbol = 0; symbol < count; ++symbol) {
    const int length = lengths[symbol];
    if (length == 0) continue;
    const int32_t entry = (values != nullptr ? values[symbol] : symbol) * 256 + length;
    const int code = reversed[symbol];
    if (length <= rootBits_) {
      for (int index = code; index < rootSize; index += 1 << length) entries_[index] = entry;
      continue;
    }
    const int32_t link = entries_[code & (rootSize - 1)];
    const int base = LinkIndex(link);
    const int size = 1 << (EntryLength(link) - rootBits_);
    for (int index = code >> rootBits_; index < size; index += 1 << (length - rootBits_)) {
      entries_[size_t(base + index)] = entry;
    }
  }
}

}  // namespace zq
