// The response reader's header scan: a header of almost 1 MiB read whole and in 64-byte
// pieces. A linear scan costs about the same either way; a scan that searches the whole
// buffer again after every piece grows with the square of the piece count.

#include <benchmark/benchmark.h>

#include <string>

#include "http/zqHttpResponseReader.h"

namespace {

std::string LargeHeader() {
  std::string header = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; header.size() < (size_t{1} << 20) - 100; ++i)
    header += "X-Field-" + std::to_string(i) + ": " + std::string(40, 'v') + "\r\n";
  return header + "Content-Length: 0\r\n\r\n";
}

void ReadHeader(benchmark::State& state) {
  static const std::string header = LargeHeader();
  const int64_t piece = state.range(0);
  for (auto _ : state) {
    zq::TzqMemoryStream input;
    input.WriteString(header);
    input.SetPosition(0);
    zq::TzqStreamSource source(input, [piece] { return piece; });
    zq::TzqHttpResponseReader reader(source, zq::TzqHeaderRules{piece, int64_t{2} << 20, "long", "none"});
    zq::TzqStringList lines;
    reader.ReadHeader(lines, zq::hvHttp1_1);
    benchmark::DoNotOptimize(lines.Count());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(header.size()));
}

BENCHMARK(ReadHeader)->Arg(64)->Arg(int64_t{2} << 20)->Unit(benchmark::kMillisecond);

}  // namespace
