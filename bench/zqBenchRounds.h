#pragma once
// Contenders measured in turns, with their figures and ratios as benchmark counters.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "bench/zqBenchPeers.h"

namespace zq::bench {

using TzqContenders = std::vector<std::pair<std::string, std::function<TzqCost()>>>;

// Runs the contenders once per iteration, rotating who goes first. Reports each one's median
// CPU, peak RSS (whole process and its own share) and throughput (bytes, or operations, per
// second when given), and the medians of the per-round ratios of the first to each other one.
void Rounds(benchmark::State& state, const TzqContenders& contenders, int64_t bytes, int operations = 0);

}  // namespace zq::bench
