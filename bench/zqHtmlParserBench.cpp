// Parse throughput on a multi-megabyte document made of real pages repeated.
#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>
#include <string>

#include "html/zqHtmlParser.h"

namespace {

// The test pages, found beside this source file (CMake compiles it by its full path).
std::string ReadPage(const std::string& name) {
  std::string here = __FILE__;
  std::string root = here.substr(0, here.find_last_of('/') + 1) + "../tests/data/html/";
  std::ifstream file(root + name, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

const std::string& Document() {
  static const std::string document = [] {
    const std::string pages =
        ReadPage("libxslt-templates.html") + ReadPage("libffi-index.html") + ReadPage("zlib-how.html");
    std::string result;
    if (pages.empty()) return result;
    while (result.size() < 8 * 1024 * 1024) result += pages;
    return result;
  }();
  return document;
}

void ParseDocument(benchmark::State& state) {
  const std::string& document = Document();
  if (document.empty()) {
    state.SkipWithError("test pages not found");
    return;
  }
  zq::TzqHtmlParser parser;
  parser.SetParseMethod(static_cast<zq::TzqHtmlParseMethod>(state.range(0)));
  for (auto _ : state) {
    parser.Parse(document);
    benchmark::DoNotOptimize(parser.Tags().Count());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(document.size()));
}

}  // namespace

BENCHMARK(ParseDocument)->Arg(zq::pmAll)->Arg(zq::pmTagsOnly)->Arg(zq::pmTextOnly)->Unit(benchmark::kMillisecond);
