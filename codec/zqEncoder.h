#pragma once
// TzqEncoder: base64, quoted-printable and uuencode transfer encodings (or a plain copy),
// stream to stream, with text variants that go through the charset translator.

#include <cstdint>
#include <string>
#include <string_view>

#include "codec/zqUtils.h"
#include "core/zqApi.h"
#include "core/zqComponent.h"
#include "core/zqError.h"
#include "core/zqStream.h"

namespace zq {

// A fixed underlying type: a stored value outside the list is representable and is refused
// by the coders with "Unsupported format.".
enum TzqEncodeMethod : int32_t { cmNone, cmQuotedPrintable, cmBase64, cmUUEncode, cm8Bit };
enum TzqEncodeErrorProcessing : int32_t { epStop, epContinue };

// "Unsupported format." (-1) and "Wrong symbols in source stream." (-2).
class ZQ_API EzqEncoderError : public EzqError {
public:
  using EzqError::EzqError;
};

class ZQ_API TzqEncoder : public TzqComponent {
public:
  explicit TzqEncoder(TzqComponent* owner = nullptr);

  std::string ClassName() const override { return "TzqEncoder"; }

  int32_t CharsPerLine() const { return charsPerLine_; }
  void SetCharsPerLine(int32_t value);
  TzqEncodeMethod EncodeMethod() const { return encodeMethod_; }
  void SetEncodeMethod(TzqEncodeMethod value);
  bool SuppressCrlf() const { return suppressCrlf_; }
  void SetSuppressCrlf(bool value);
  // Input chunk size of base64 decoding; below 1 the default of 8192 is used.
  int32_t BatchSize() const { return batchSize_; }
  void SetBatchSize(int32_t value);
  // Kept for stored forms; no coding reads it.
  bool AllowESC() const { return allowEsc_; }
  void SetAllowESC(bool value);
  // Charset of the text variants; empty is the platform's default.
  const std::string& CharSet() const { return charSet_; }
  void SetCharSet(const std::string& value);
  TzqEncodeErrorProcessing ErrorProcessing() const { return errorProcessing_; }
  void SetErrorProcessing(TzqEncodeErrorProcessing value);

  // Input bytes done of the total from the source position to its end.
  TzqProgressEvent OnProgress;

  // The output line length the current method uses for CharsPerLine.
  int64_t EffectiveLineLength() const;

  // Codes the bytes from source's position to its end into destination at its position.
  // Nothing happens when no byte remains.
  void Encode(TzqStream& source, TzqStream& destination);
  void Decode(TzqStream& source, TzqStream& destination);

  std::string EncodeString(std::string_view text);
  std::string EncodeToString(TzqStream& source);
  void DecodeString(std::string_view text, TzqStream& destination);

  // One unbroken line of text coded with method.
  static std::string QuickEncode(std::string_view text, TzqEncodeMethod method);

protected:
  virtual void DoProgress(int64_t bytesDone, int64_t total);

private:
  using Coder = void (TzqEncoder::*)(TzqStream& source, TzqStream& destination, int64_t total);
  // Picks the coder for EncodeMethod, reports (0, total) and runs it.
  void Run(TzqStream& source, TzqStream& destination, Coder quotedPrintable, Coder base64, Coder uu);
  void Copy(TzqStream& source, TzqStream& destination, int64_t total);
  void EncodeBase64(TzqStream& source, TzqStream& destination, int64_t total);
  void DecodeBase64(TzqStream& source, TzqStream& destination, int64_t total);
  void EncodeQuotedPrintable(TzqStream& source, TzqStream& destination, int64_t total);
  void DecodeQuotedPrintable(TzqStream& source, TzqStream& destination, int64_t total);
  void EncodeUU(TzqStream& source, TzqStream& destination, int64_t total);
  void DecodeUU(TzqStream& source, TzqStream& destination, int64_t total);

  int32_t charsPerLine_ = 76;
  TzqEncodeMethod encodeMethod_ = cmBase64;
  bool suppressCrlf_ = false;
  int32_t batchSize_ = 8192;
  bool allowEsc_ = false;
  std::string charSet_;
  TzqEncodeErrorProcessing errorProcessing_ = epStop;
  // Set when base64 decoding meets a symbol outside the alphabet.
  bool stopped_ = false;
};

}  // namespace zq
