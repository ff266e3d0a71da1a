#pragma once
// Checks shared by the encoder fuzz targets.

#include <cstdint>

#include "codec/zqEncoder.h"

namespace zq::fuzz {

// Decodes input, traps when the output grows beyond maxGrowth bytes per input byte, and
// returns whether the decoder refused the input with "Wrong symbols in source stream.".
inline bool DecodeBounded(TzqEncoder& encoder, const TzqByteArray& input, int64_t maxGrowth) {
  TzqMemoryStream source(input), destination;
  bool refused = false;
  try {
    encoder.Decode(source, destination);
  } catch (const EzqEncoderError& e) {
    if (e.ErrorCode() != -2) __builtin_trap();
    refused = true;
  }
  if (destination.Size() > maxGrowth * static_cast<int64_t>(input.size())) __builtin_trap();
  return refused;
}

// Encoding and decoding again must give the input back.
inline void CheckRoundTrip(TzqEncoder& encoder, const TzqByteArray& input) {
  TzqMemoryStream plain(input), coded, decoded;
  encoder.Encode(plain, coded);
  coded.SetPosition(0);
  encoder.Decode(coded, decoded);
  if (decoded.Bytes() != input) __builtin_trap();
}

}  // namespace zq::fuzz
