// Base64 throughput of TzqEncoder on a few MiB of random bytes, with the default line layout.
#include <benchmark/benchmark.h>

#include <random>

#include "codec/zqEncoder.h"

namespace {

using namespace zq;

constexpr size_t kPlainSize = 4 * 1024 * 1024;

const TzqByteArray& PlainBytes() {
  static const TzqByteArray bytes = [] {
    std::mt19937_64 random(64);
    TzqByteArray result(kPlainSize);
    for (auto& b : result) b = static_cast<uint8_t>(random());
    return result;
  }();
  return bytes;
}

const TzqByteArray& CodedBytes() {
  static const TzqByteArray bytes = [] {
    TzqEncoder encoder;
    TzqMemoryStream source(PlainBytes()), destination;
    encoder.Encode(source, destination);
    return destination.Bytes();
  }();
  return bytes;
}

// Throughput is counted in the bytes each direction reads.
void RunBase64(benchmark::State& state, const TzqByteArray& input, bool encode) {
  TzqEncoder encoder;
  TzqMemoryStream source(input), destination;
  for (auto _ : state) {
    source.SetPosition(0);
    destination.SetSize(0);  // keeps its memory: the coder is measured, not the allocator
    if (encode)
      encoder.Encode(source, destination);
    else
      encoder.Decode(source, destination);
    benchmark::DoNotOptimize(destination.Memory());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(input.size()));
}

void BM_Base64Encode(benchmark::State& state) { RunBase64(state, PlainBytes(), true); }
BENCHMARK(BM_Base64Encode)->Unit(benchmark::kMillisecond);

void BM_Base64Decode(benchmark::State& state) { RunBase64(state, CodedBytes(), false); }
BENCHMARK(BM_Base64Decode)->Unit(benchmark::kMillisecond);

}  // namespace
