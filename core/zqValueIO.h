#pragma once
// The tagged, little-endian value encoding of stored forms (cookie lists, request items).

#include <cstdint>
#include <string>

#include "core/zqApi.h"
#include "core/zqDateTime.h"

namespace zq {

class TzqStream;

enum TzqValueType : uint8_t {
  vaNull = 0,  // end of a list
  vaList = 1,
  vaInt8 = 2,
  vaInt16 = 3,
  vaInt32 = 4,
  vaString = 6,
  vaFalse = 8,
  vaTrue = 9,
  vaLString = 12,
  vaDate = 17,
  vaWString = 18,
  vaInt64 = 19,
  vaUTF8String = 20,
};

// Writes values at the stream's position, each as its tag and payload.
class ZQ_API TzqValueWriter {
public:
  explicit TzqValueWriter(TzqStream& stream) : stream_(stream) {}

  // The smallest of tags 2, 3, 4 that holds the value, else tag 19.
  void WriteInteger(int64_t value);
  void WriteBoolean(bool value);
  void WriteDate(TzqDateTime value);
  // Pure ASCII as tag 6 (< 256 bytes) or 12; anything else as tag 20 with the UTF-8 bytes of
  // the text (converted from the local code page).
  void WriteString(const std::string& text);
  void WriteListBegin();
  void WriteListEnd();

private:
  void WriteTag(TzqValueType tag);
  void WriteRaw(const void* data, int64_t count);
  TzqStream& stream_;
};

// Reads values written by TzqValueWriter. A tag that does not fit the value asked for raises
// EzqReadError "Invalid property value"; a stream that ends early raises the stream's error.
class ZQ_API TzqValueReader {
public:
  explicit TzqValueReader(TzqStream& stream) : stream_(stream) {}

  // The next tag, without consuming it.
  TzqValueType NextValue();
  int32_t ReadInteger();
  int64_t ReadInt64();
  bool ReadBoolean();
  TzqDateTime ReadDate();
  // Tags 6, 12, 20 and 18; the result is in the local code page.
  std::string ReadString();
  void ReadListBegin();
  void ReadListEnd();
  // True (without consuming it) when the next value is the end-of-list marker.
  bool EndOfList();

private:
  TzqValueType ReadTag();
  int64_t ReadIntegerPayload(TzqValueType tag);
  template <typename T>
  int64_t ReadLittle();
  uint32_t ReadLength();
  [[noreturn]] static void InvalidValue();
  TzqStream& stream_;
};

}  // namespace zq
