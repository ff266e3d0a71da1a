#pragma once
// The transport a TLS session of the package runs over, in place of a pair of memory BIOs:
// OpenSSL reads records straight from memory the caller lends for one call and writes records
// straight into memory the caller lends, so record bytes are not copied through BIO buffers.
// Bytes that must outlive a call (records that came with a handshake token, tokens to hand
// out) are kept here instead.

#include <cstddef>
#include <cstdint>

#include "core/zqApi.h"
#include "core/zqStream.h"
#include "platform/zqCryptoHandles.h"

namespace zq {

class ZQ_API TzqTlsRecordIo {
public:
  // A BIO over this object, which must outlive it; null when OpenSSL cannot allocate one.
  TzqBioPtr NewBio();

  // Input: kept bytes are read first, then the lent ones (until the loan ends).
  void Keep(const uint8_t* data, size_t size);
  void Lend(const uint8_t* data, size_t size);
  // Ends the loan; lent bytes OpenSSL did not read are kept for its next read.
  void EndLoan();
  bool HasKeptInput() const { return keptAt_ < kept_.size(); }

  // Output: written into the lent region while it has room, kept otherwise.
  void LendOutput(uint8_t* region, size_t capacity);
  // Ends the loan; the bytes written into the region.
  size_t EndOutputLoan();
  bool HasKeptOutput() const { return !keptOutput_.empty(); }
  // The kept output, handed over and emptied.
  TzqByteArray TakeOutput();

  int Read(char* buffer, int size);
  int Write(const char* data, int size);

private:
  TzqByteArray kept_;
  size_t keptAt_ = 0;
  const uint8_t* lent_ = nullptr;
  size_t lentSize_ = 0;
  TzqByteArray keptOutput_;
  uint8_t* region_ = nullptr;
  size_t regionCapacity_ = 0;
  size_t regionUsed_ = 0;
};

}  // namespace zq
