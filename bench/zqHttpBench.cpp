// HTTP transfers on loopback against references measured in the same run, taking turns:
// - download of one nginx file through TzqHttp, a 256 KiB recv loop and curl (a process);
// - upload (PUT from a file) through TzqHttp, curl -T and sendfile, to a sink in this process;
// - small GETs on one connection through TzqHttp, curl (one process, many URLs) and a raw loop.
// CPU is user + system, and peak RSS, of the process that ran the contender: the client and the
// loops run in a forked child each, curl is measured by wait4. Ratios are medians of the
// per-round ratios. Sizes: 64 MiB, 1 GiB with ZQ_BENCH_FULL=1.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/zqBenchPeers.h"
#include "bench/zqBenchRounds.h"
#include "bench/zqBenchSupport.h"
#include "core/zqStream.h"
#include "http/zqHttp.h"

namespace zq::bench {
namespace {

constexpr size_t kLoopBuffer = size_t{256} << 10;

// ---- download -------------------------------------------------------------------------------------

TzqCost DownloadThroughClient(const std::string& url, int64_t size) {
  return MeasureApart([&] {
    TzqDiscardStream sink;
    TzqHttp client;
    client.SetTimeOut(60000);
    client.Get(url, nullptr, nullptr, &sink);
    if (sink.written != size) throw std::runtime_error("short download");
  });
}

TzqCost DownloadThroughRecv(int port, const std::string& path, int64_t size) {
  return MeasureApart([&] {
    std::vector<char> buffer(kLoopBuffer);
    int64_t received = 0;
    const int fd = ConnectLoopback(port);
    SendAll(fd, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    for (ssize_t n; (n = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0;) received += n;
    ::close(fd);
    if (received < size) throw std::runtime_error("short recv loop");
  });
}

void BM_HttpDownload(benchmark::State& state) {
  TzqBenchNginx nginx;
  const int64_t size = TransferSize();
  WriteFileOfSize(nginx.WwwDir() + "/big.bin", size);
  const std::string url = nginx.Http("/big.bin");
  Rounds(state,
         {{"TzqHttp", [&] { return DownloadThroughClient(url, size); }},
          {"recv256k", [&] { return DownloadThroughRecv(nginx.HttpPort(), "/big.bin", size); }},
          {"curl",
           [&] {
             return RunChild({"curl", "-s", "-o", "/dev/null", url});
           }}},
         size);
}

BENCHMARK(BM_HttpDownload)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

// ---- upload -----------------------------------------------------------------------------------------

// Takes PUTs on one port, each on its own connection: reads the body (answering an Expect
// with 100 Continue first) and answers 201.
class TzqUploadSink {
public:
  TzqUploadSink() : listener_(ListenOnLoopback(port_)) {
    thread_ = std::thread([this] { Serve(); });
  }
  ~TzqUploadSink() {
    stop_ = true;
    ::close(ConnectLoopback(port_));
    thread_.join();
    ::close(listener_);
  }
  int Port() const { return port_; }
  int64_t Received() const { return received_; }

private:
  void Serve() {
    std::vector<char> buffer(kLoopBuffer);
    while (!stop_) {
      const int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0 || stop_) {
        if (fd >= 0) ::close(fd);
        break;
      }
      ServeOne(fd, buffer);
      ::close(fd);
    }
  }

  void ServeOne(int fd, std::vector<char>& buffer) {
    std::string header;
    char c = 0;
    while (header.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1) header += c;
    const size_t at = header.find("ontent-Length: ");
    if (at == std::string::npos) return;
    const int64_t length = std::stoll(header.substr(at + 15));
    if (header.find("100-continue") != std::string::npos) SendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n");
    int64_t got = 0;
    while (got < length) {
      const ssize_t n = ::recv(fd, buffer.data(), std::min<int64_t>(int64_t(buffer.size()), length - got), 0);
      if (n <= 0) break;
      got += n;
    }
    received_ = got;
    SendAll(fd, "HTTP/1.1 201 Created\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  }

  int port_ = 0;
  int listener_;
  std::atomic<bool> stop_{false};
  std::atomic<int64_t> received_{0};
  std::thread thread_;
};

TzqCost UploadThroughClient(const std::string& url, const std::string& file) {
  return MeasureApart([&] {
    TzqHttp client;
    client.SetTimeOut(60000);
    TzqFileStream body(file, fmOpenRead);
    client.Put(url, "application/octet-stream", &body, nullptr, nullptr);
  });
}

TzqCost UploadThroughSendfile(int port, const std::string& file, int64_t size) {
  return MeasureApart([&] {
    const int fd = ConnectLoopback(port);
    SendAll(fd, "PUT /up HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n");
    const int in = ::open(file.c_str(), O_RDONLY);
    off_t offset = 0;
    while (offset < size)
      if (::sendfile(fd, in, &offset, size_t(size - offset)) <= 0) break;
    ::close(in);
    char answer[256];
    while (::recv(fd, answer, sizeof answer, 0) > 0) {
    }
    ::close(fd);
  });
}

void BM_HttpUpload(benchmark::State& state) {
  TzqBenchDir dir;
  const int64_t size = TransferSize();
  const std::string file = dir.Path() + "/upload.bin";
  WriteFileOfSize(file, size);
  TzqUploadSink sink;
  const std::string url = "http://127.0.0.1:" + std::to_string(sink.Port()) + "/up";
  auto checked = [&](TzqCost cost) {
    if (sink.Received() != size) throw std::runtime_error("short upload");
    return cost;
  };
  Rounds(state,
         {{"TzqHttp", [&] { return checked(UploadThroughClient(url, file)); }},
          {"curl",
           [&] {
             return checked(RunChild({"curl", "-s", "-o", "/dev/null", "-T", file, url}));
           }},
          {"sendfile", [&] { return checked(UploadThroughSendfile(sink.Port(), file, size)); }}},
         size);
}

BENCHMARK(BM_HttpUpload)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

// ---- small requests -----------------------------------------------------------------------------------

constexpr int kSmallRequests = 10000;

struct TzqLatencies {
  std::vector<double> seconds;
  void Add(const std::vector<double>& values) { seconds.insert(seconds.end(), values.begin(), values.end()); }
  double Percentile(double share) {
    std::sort(seconds.begin(), seconds.end());
    return seconds.empty() ? 0 : seconds[std::min(seconds.size() - 1, size_t(share * double(seconds.size())))];
  }
};

// The latencies of the client's requests, then its allocations per request. The first request
// (which connects) is left out of both.
TzqCost SmallThroughClient(const std::string& url, TzqLatencies& latencies, double& allocations) {
  std::vector<double> values;
  const TzqCost cost = MeasureApart(
      [&](std::vector<double>& out) {
        TzqHttp client;
        TzqDiscardStream sink;
        client.Get(url, nullptr, nullptr, &sink);
        const uint64_t before = AllocationCount();
        for (int i = 0; i < kSmallRequests; ++i) {
          const double start = WallSeconds();
          client.Get(url, nullptr, nullptr, &sink);
          out.push_back(WallSeconds() - start);
        }
        out.push_back(double(AllocationCount() - before) / kSmallRequests);
      },
      &values);
  allocations = values.back();
  values.pop_back();
  latencies.Add(values);
  return cost;
}

// One request at a time on one socket; the response's end found by its Content-Length. nginx
// ends a connection after its keepalive_requests (1000): the loop then connects again, as
// the clients do.
TzqCost SmallThroughRawLoop(int port, const std::string& path, TzqLatencies& latencies) {
  const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  std::vector<double> values;
  const TzqCost cost = MeasureApart(
      [&](std::vector<double>& out) {
        std::vector<char> buffer(65536);
        int fd = ConnectLoopback(port);
        for (int i = 0; i < kSmallRequests; ++i) {
          const double start = WallSeconds();
          SendAll(fd, request);
          std::string response;
          for (;;) {
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0 && response.empty()) {
              ::close(fd);
              fd = ConnectLoopback(port);
              SendAll(fd, request);
              continue;
            }
            if (n <= 0) throw std::runtime_error("raw loop: closed");
            response.append(buffer.data(), size_t(n));
            const size_t end = response.find("\r\n\r\n");
            const size_t at = response.find("Content-Length: ");
            if (end != std::string::npos && at != std::string::npos &&
                response.size() >= end + 4 + std::stoul(response.substr(at + 16)))
              break;
          }
          out.push_back(WallSeconds() - start);
        }
        ::close(fd);
      },
      &values);
  latencies.Add(values);
  return cost;
}

TzqCost SmallThroughCurl(const std::string& url, const std::string& config) {
  std::ofstream file(config);
  for (int i = 0; i < kSmallRequests; ++i) file << "url = \"" << url << "\"\noutput = \"/dev/null\"\n";
  file.close();
  return RunChild({"curl", "-s", "-K", config});
}

void BM_HttpSmallRequests(benchmark::State& state) {
  TzqBenchNginx nginx;
  TzqBenchDir dir;
  const std::string url = nginx.Http("/hello.txt");
  TzqLatencies client, raw;
  std::vector<double> allocations;
  Rounds(state,
         {{"TzqHttp",
           [&] {
             double perRequest = 0;
             const TzqCost cost = SmallThroughClient(url, client, perRequest);
             allocations.push_back(perRequest);
             return cost;
           }},
          {"curl", [&] { return SmallThroughCurl(url, dir.Path() + "/urls.txt"); }},
          {"raw", [&] { return SmallThroughRawLoop(nginx.HttpPort(), "/hello.txt", raw); }}},
         0, kSmallRequests);
  state.counters["TzqHttp_p50_us"] = client.Percentile(0.5) * 1e6;
  state.counters["TzqHttp_p99_us"] = client.Percentile(0.99) * 1e6;
  state.counters["raw_p50_us"] = raw.Percentile(0.5) * 1e6;
  state.counters["raw_p99_us"] = raw.Percentile(0.99) * 1e6;
  state.counters["TzqHttp_allocs_per_req"] = Median(allocations);
}

BENCHMARK(BM_HttpSmallRequests)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zq::bench
