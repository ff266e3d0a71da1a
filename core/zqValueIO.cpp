#include "core/zqValueIO.h"

#include <bit>
#include <cstring>
#include <limits>

#include "core/zqCodePage.h"
#include "core/zqError.h"
#include "core/zqStream.h"

namespace zq {

static_assert(std::endian::native == std::endian::little, "stored forms are little-endian");

namespace {

const char* const sInvalidPropertyValue = "Invalid property value";

bool IsAscii(const std::string& text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

template <typename T>
bool Fits(int64_t value) {
  return value >= std::numeric_limits<T>::min() && value <= std::numeric_limits<T>::max();
}

}  // namespace

void TzqValueWriter::WriteTag(TzqValueType tag) { WriteRaw(&tag, 1); }

void TzqValueWriter::WriteRaw(const void* data, int64_t count) { stream_.WriteBuffer(data, count); }

void TzqValueWriter::WriteInteger(int64_t value) {
  if (Fits<int8_t>(value)) {
    const auto v = static_cast<int8_t>(value);
    WriteTag(vaInt8);
    WriteRaw(&v, sizeof v);
  } else if (Fits<int16_t>(value)) {
    const auto v = static_cast<int16_t>(value);
    WriteTag(vaInt16);
    WriteRaw(&v, sizeof v);
  } else if (Fits<int32_t>(value)) {
    const auto v = static_cast<int32_t>(value);
    WriteTag(vaInt32);
    WriteRaw(&v, sizeof v);
  } else {
    WriteTag(vaInt64);
    WriteRaw(&value, sizeof value);
  }
}

void TzqValueWriter::WriteBoolean(bool value) { WriteTag(value ? vaTrue : vaFalse); }

void TzqValueWriter::WriteDate(TzqDateTime value) {
  WriteTag(vaDate);
  WriteRaw(&value, sizeof value);
}

void TzqValueWriter::WriteString(const std::string& text) {
  if (IsAscii(text)) {
    if (text.size() < 256) {
      const auto length = static_cast<uint8_t>(text.size());
      WriteTag(vaString);
      WriteRaw(&length, 1);
    } else {
      const auto length = static_cast<uint32_t>(text.size());
      WriteTag(vaLString);
      WriteRaw(&length, sizeof length);
    }
    WriteRaw(text.data(), static_cast<int64_t>(text.size()));
    return;
  }
  const std::string utf8 = LocalCodePage() == CP_UTF8 ? text : Utf16ToUtf8(AnsiToWide(text, LocalCodePage()));
  const auto length = static_cast<uint32_t>(utf8.size());
  WriteTag(vaUTF8String);
  WriteRaw(&length, sizeof length);
  WriteRaw(utf8.data(), static_cast<int64_t>(utf8.size()));
}

void TzqValueWriter::WriteListBegin() { WriteTag(vaList); }
void TzqValueWriter::WriteListEnd() { WriteTag(vaNull); }

// ---- TzqValueReader

void TzqValueReader::InvalidValue() { throw EzqReadError(sInvalidPropertyValue); }

TzqValueType TzqValueReader::ReadTag() {
  uint8_t tag = 0;
  stream_.ReadBuffer(&tag, 1);
  return static_cast<TzqValueType>(tag);
}

TzqValueType TzqValueReader::NextValue() {
  const TzqValueType tag = ReadTag();
  stream_.Seek(-1, soCurrent);
  return tag;
}

template <typename T>
int64_t TzqValueReader::ReadLittle() {
  T value = 0;
  stream_.ReadBuffer(&value, sizeof value);
  return value;
}

int64_t TzqValueReader::ReadIntegerPayload(TzqValueType tag) {
  switch (tag) {
    case vaInt8:
      return ReadLittle<int8_t>();
    case vaInt16:
      return ReadLittle<int16_t>();
    case vaInt32:
      return ReadLittle<int32_t>();
    case vaInt64:
      return ReadLittle<int64_t>();
    default:
      InvalidValue();
  }
}

int32_t TzqValueReader::ReadInteger() {
  const TzqValueType tag = ReadTag();
  if (tag == vaInt64) InvalidValue();
  return static_cast<int32_t>(ReadIntegerPayload(tag));
}

int64_t TzqValueReader::ReadInt64() { return ReadIntegerPayload(ReadTag()); }

bool TzqValueReader::ReadBoolean() {
  const TzqValueType tag = ReadTag();
  if (tag != vaFalse && tag != vaTrue) InvalidValue();
  return tag == vaTrue;
}

TzqDateTime TzqValueReader::ReadDate() {
  if (ReadTag() != vaDate) InvalidValue();
  TzqDateTime value = 0;
  stream_.ReadBuffer(&value, sizeof value);
  return value;
}

uint32_t TzqValueReader::ReadLength() {
  uint32_t length = 0;
  stream_.ReadBuffer(&length, sizeof length);
  // A length beyond what the stream still holds can only be damage: fail before allocating.
  if (static_cast<int64_t>(length) > stream_.Size() - stream_.Position()) throw EzqStreamIoError("Stream read error");
  return length;
}

std::string TzqValueReader::ReadString() {
  const TzqValueType tag = ReadTag();
  std::string bytes;
  switch (tag) {
    case vaString: {
      uint8_t length = 0;
      stream_.ReadBuffer(&length, 1);
      bytes.resize(length);
      break;
    }
    case vaLString:
    case vaUTF8String:
      bytes.resize(ReadLength());
      break;
    case vaWString: {
      const uint32_t units = ReadLength();
      if (static_cast<int64_t>(units) * 2 > stream_.Size() - stream_.Position())
        throw EzqStreamIoError("Stream read error");
      std::u16string wide(units, u'\0');
      stream_.ReadBuffer(wide.data(), static_cast<int64_t>(units) * 2);
      return WideToAnsi(wide, LocalCodePage());
    }
    default:
      InvalidValue();
  }
  stream_.ReadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  if (tag == vaUTF8String && LocalCodePage() != CP_UTF8) return WideToAnsi(Utf8ToUtf16(bytes), LocalCodePage());
  return bytes;
}

void TzqValueReader::ReadListBegin() {
  if (ReadTag() != vaList) InvalidValue();
}

void TzqValueReader::ReadListEnd() {
  if (ReadTag() != vaNull) InvalidValue();
}

bool TzqValueReader::EndOfList() { return NextValue() == vaNull; }

}  // namespace zq
