// Inflate throughput of the library's decoder against zlib and libdeflate on the same data
// (64 MiB of mixed text and binary records, levels 1, 6 and 9), measured in the same run,
// taking turns. Counters: MB/s of decompressed output for each, and the ratios of zq's speed to
// theirs. Times are the thread's CPU time, so a busy machine disturbs them less. libdeflate
// decodes the whole buffer in one call (it has no streaming interface): the bound to aim for.

#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <zlib.h>

#include <ctime>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/zqBenchSupport.h"
#include "codec/zqInflate.h"
#include "codec/zqZLibStreams.h"

namespace {

using TzqBytes = std::vector<uint8_t>;

double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

constexpr size_t kDataSize = size_t(64) << 20;
constexpr size_t kSegment = 64 << 10;
constexpr int64_t kOutputChunk = 64 << 10;

// Alternating segments of text (words of a skewed vocabulary) and binary records.
TzqBytes MixedData() {
  std::mt19937 random(2024);
  std::vector<std::string> words;
  for (int i = 0; i < 4000; ++i) {
    std::string word;
    const int length = 2 + int(random() % 9);
    for (int c = 0; c < length; ++c) word += char('a' + random() % 26);
    words.push_back(word);
  }
  std::geometric_distribution<int> rank(0.004);
  TzqBytes data;
  data.reserve(kDataSize + kSegment);
  while (data.size() < kDataSize) {
    const size_t end = data.size() + kSegment;
    if ((data.size() / kSegment) % 3 != 2) {
      while (data.size() < end) {
        const std::string& word = words[size_t(rank(random)) % words.size()];
        data.insert(data.end(), word.begin(), word.end());
        data.push_back(random() % 12 == 0 ? '\n' : ' ');
      }
    } else {
      while (data.size() < end) {
        const uint32_t value = random();
        const uint8_t record[12] = {uint8_t(value), uint8_t(value >> 8), 0, 0, 1, 0, uint8_t(value >> 20),
                                    0x7F,           uint8_t(value % 7),  0, 0, 0};
        data.insert(data.end(), record, record + 12);
      }
    }
  }
  data.resize(kDataSize);
  return data;
}

TzqBytes Compress(const TzqBytes& data, int level, int windowBits) {
  z_stream stream{};
  deflateInit2(&stream, level, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
  TzqBytes out(deflateBound(&stream, uLong(data.size())));
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = uInt(data.size());
  stream.next_out = out.data();
  stream.avail_out = uInt(out.size());
  if (deflate(&stream, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

const TzqBytes& Original() {
  static const TzqBytes data = MixedData();
  return data;
}

struct TzqCompressed {
  TzqBytes zlib;
  TzqBytes gzip;
};

const TzqCompressed& Compressed(int level) {
  static TzqCompressed levels[10];
  if (levels[level].zlib.empty()) {
    levels[level].zlib = Compress(Original(), level, 15);
    levels[level].gzip = Compress(Original(), level, 31);
  }
  return levels[level];
}

// zlib into a reused output chunk, as a streaming consumer would use it.
size_t ZLibInflate(const TzqBytes& input, int windowBits, TzqBytes& chunk) {
  z_stream stream{};
  inflateInit2(&stream, windowBits);
  stream.next_in = const_cast<Bytef*>(input.data());
  stream.avail_in = uInt(input.size());
  int result;
  do {
    stream.next_out = chunk.data();
    stream.avail_out = uInt(chunk.size());
    result = inflate(&stream, Z_NO_FLUSH);
    benchmark::DoNotOptimize(chunk.data());
  } while (result == Z_OK);
  const size_t total = stream.total_out;
  inflateEnd(&stream);
  if (result != Z_STREAM_END) throw std::runtime_error("inflate");
  return total;
}

// libdeflate into one output buffer of the known size.
size_t LibdeflateInflate(const TzqBytes& input, bool gzip, TzqBytes& output) {
  static libdeflate_decompressor* const decompressor = libdeflate_alloc_decompressor();
  size_t produced = 0;
  const auto result = gzip ? libdeflate_gzip_decompress(decompressor, input.data(), input.size(), output.data(),
                                                        output.size(), &produced)
                           : libdeflate_zlib_decompress(decompressor, input.data(), input.size(), output.data(),
                                                        output.size(), &produced);
  benchmark::DoNotOptimize(output.data());
  if (result != LIBDEFLATE_SUCCESS) throw std::runtime_error("libdeflate");
  return produced;
}

size_t ZqInflate(const TzqBytes& input, TzqBytes& chunk) {
  zq::TzqInflater inflater(false);
  inflater.FeedInput(input.data(), 0, int64_t(input.size()));
  size_t total = 0;
  for (;;) {
    const int64_t produced = inflater.InflateInto(chunk.data(), 0, kOutputChunk);
    benchmark::DoNotOptimize(chunk.data());
    total += size_t(produced);
    if (produced < kOutputChunk) break;
  }
  if (!inflater.Finished()) throw std::runtime_error("zq inflate");
  return total;
}

size_t ZqGUnzip(const TzqBytes& input) {
  zq::bench::TzqDiscardStream sink;
  zq::TzqGZipInflateStream gzip(sink);
  for (size_t position = 0; position < input.size(); position += size_t(kOutputChunk)) {
    gzip.Write(input.data() + position, std::min<int64_t>(kOutputChunk, int64_t(input.size() - position)));
  }
  return size_t(sink.written);
}

template <typename Zq, typename ZLib, typename Libdeflate>
void Compare(benchmark::State& state, Zq zq, ZLib zlib, Libdeflate libdeflate) {
  double seconds[3] = {};
  size_t bytes = 0;
  int round = 0;
  for (auto _ : state) {
    size_t produced[3] = {};
    double taken[3] = {};
    for (int turn = 0; turn < 3; ++turn) {
      const int which = (turn + round) % 3;
      const double start = ThreadSeconds();
      produced[which] = which == 0 ? zq() : which == 1 ? zlib() : libdeflate();
      taken[which] = ThreadSeconds() - start;
      seconds[which] += taken[which];
    }
    if (produced[0] != Original().size() || produced[1] != produced[0] || produced[2] != produced[0])
      state.SkipWithError("size mismatch");
    bytes += produced[0];
    ++round;
    state.SetIterationTime(taken[0]);
  }
  state.SetBytesProcessed(int64_t(bytes));
  state.counters["zq_MBps"] = double(bytes) / seconds[0] / 1e6;
  state.counters["zlib_MBps"] = double(bytes) / seconds[1] / 1e6;
  state.counters["libdeflate_MBps"] = double(bytes) / seconds[2] / 1e6;
  state.counters["ratio_to_zlib"] = seconds[1] / seconds[0];
  state.counters["ratio_to_libdeflate"] = seconds[2] / seconds[0];
}

void BM_InflateZLibFormat(benchmark::State& state) {
  const TzqCompressed& data = Compressed(int(state.range(0)));
  TzqBytes chunk(static_cast<size_t>(kOutputChunk));
  TzqBytes whole(Original().size());
  Compare(
      state, [&] { return ZqInflate(data.zlib, chunk); }, [&] { return ZLibInflate(data.zlib, 15, chunk); },
      [&] { return LibdeflateInflate(data.zlib, false, whole); });
}

void BM_InflateGZipStream(benchmark::State& state) {
  const TzqCompressed& data = Compressed(int(state.range(0)));
  TzqBytes chunk(static_cast<size_t>(kOutputChunk));
  TzqBytes whole(Original().size());
  Compare(
      state, [&] { return ZqGUnzip(data.gzip); }, [&] { return ZLibInflate(data.gzip, 31, chunk); },
      [&] { return LibdeflateInflate(data.gzip, true, whole); });
}

BENCHMARK(BM_InflateZLibFormat)->Arg(1)->Arg(6)->Arg(9)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_InflateGZipStream)->Arg(1)->Arg(6)->Arg(9)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2);

}  // namespace
