#include "bench/zqBenchRounds.h"

#include <map>

namespace zq::bench {

namespace {

struct TzqSeries {
  std::vector<double> cpu, wall, rss, own, cpuRatio, wallRatio;
};

void Report(benchmark::State& state, const std::string& name, TzqSeries& series, bool first, int64_t bytes,
            int operations) {
  if (bytes > 0) state.counters[name + "_MBps"] = double(bytes) / Median(series.wall) / 1e6;
  if (operations > 0) state.counters[name + "_req_per_s"] = double(operations) / Median(series.wall);
  state.counters[name + "_cpu_s"] = Median(series.cpu);
  state.counters[name + "_rss_MiB"] = Median(series.rss);
  state.counters[name + "_own_rss_MiB"] = Median(series.own);
  if (first) return;
  state.counters["cpu_vs_" + name] = Median(series.cpuRatio);
  state.counters["wall_vs_" + name] = Median(series.wallRatio);
}

}  // namespace

void Rounds(benchmark::State& state, const TzqContenders& contenders, int64_t bytes, int operations) {
  std::map<std::string, TzqSeries> series;
  size_t round = 0;
  for (auto _ : state) {
    std::vector<TzqCost> costs(contenders.size());
    for (size_t i = 0; i < contenders.size(); ++i) {
      const size_t which = (i + round) % contenders.size();
      costs[which] = contenders[which].second();
    }
    ++round;
    for (size_t i = 0; i < contenders.size(); ++i) {
      TzqSeries& one = series[contenders[i].first];
      one.cpu.push_back(costs[i].cpu);
      one.wall.push_back(costs[i].wall);
      one.rss.push_back(costs[i].rssMiB);
      one.own.push_back(costs[i].ownMiB);
      one.cpuRatio.push_back(costs[0].cpu / costs[i].cpu);
      one.wallRatio.push_back(costs[0].wall / costs[i].wall);
    }
    state.SetIterationTime(costs[0].wall);
  }
  for (size_t i = 0; i < contenders.size(); ++i)
    Report(state, contenders[i].first, series[contenders[i].first], i == 0, bytes, operations);
}

}  // namespace zq::bench
