// HTTP transfers on loopback against references measured in the same run, taking turns:
// - download of one nginx file through TzqHttp, a 256 KiB recv loop and curl (a process);
// - upload (PUT from a file) through TzqHttp, curl -T and sendfile, to a sink in this process;
// - small GETs on one connection through TzqHttp, curl (one process, many URLs) and a raw loop.
// CPU is user + system: this thread's for the client and the loops, wait4's for curl. Ratios
// are medians of the per-round ratios. Sizes: 64 MiB, 1 GiB with ZQ_BENCH_FULL=1.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/zqBenchPeers.h"
#include "bench/zqBenchSupport.h"
#include "core/zqStream.h"
#include "http/zqHttp.h"

namespace zq::bench {
namespace {

constexpr size_t kLoopBuffer = size_t{256} << 10;

int ConnectLoopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) throw std::runtime_error("connect");
  return fd;
}

void SendAll(int fd, const std::string& data) {
  for (size_t sent = 0; sent < data.size();) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("send");
    sent += size_t(n);
  }
}

// Runs the named contenders in turns, rounds times, rotating who goes first; reports each one's
// medians and the median ratios of the first to each other one.
void Rounds(benchmark::State& state, const std::vector<std::pair<std::string, std::function<TzqCost()>>>& contenders,
            int64_t bytes, int operations = 0) {
  std::map<std::string, std::vector<double>> cpu, wall, rss;
  std::map<std::string, std::vector<double>> cpuRatio, wallRatio;
  size_t round = 0;
  for (auto _ : state) {
    std::vector<TzqCost> costs(contenders.size());
    for (size_t i = 0; i < contenders.size(); ++i) {
      const size_t which = (i + round) % contenders.size();
      costs[which] = contenders[which].second();
    }
    ++round;
    for (size_t i = 0; i < contenders.size(); ++i) {
      const std::string& name = contenders[i].first;
      cpu[name].push_back(costs[i].cpu);
      wall[name].push_back(costs[i].wall);
      rss[name].push_back(costs[i].rssMiB);
      if (i == 0) continue;
      cpuRatio[name].push_back(costs[0].cpu / costs[i].cpu);
      wallRatio[name].push_back(costs[0].wall / costs[i].wall);
    }
    state.SetIterationTime(costs[0].wall);
  }
  for (size_t i = 0; i < contenders.size(); ++i) {
    const std::string& name = contenders[i].first;
    if (bytes > 0) state.counters[name + "_MBps"] = double(bytes) / Median(wall[name]) / 1e6;
    if (operations > 0) state.counters[name + "_req_per_s"] = double(operations) / Median(wall[name]);
    state.counters[name + "_cpu_s"] = Median(cpu[name]);
    state.counters[name + "_rss_MiB"] = Median(rss[name]);
    if (i == 0) continue;
    state.counters["cpu_vs_" + name] = Median(cpuRatio[name]);
    state.counters["wall_vs_" + name] = Median(wallRatio[name]);
  }
}

// ---- download -------------------------------------------------------------------------------------

TzqCost DownloadThroughClient(const std::string& url, int64_t size) {
  TzqDiscardStream sink;
  const TzqCost cost = Measure([&] {
    TzqHttp client;
    client.SetTimeOut(60000);
    client.Get(url, nullptr, nullptr, &sink);
  });
  if (sink.written != size) throw std::runtime_error("short download");
  return cost;
}

TzqCost DownloadThroughRecv(int port, const std::string& path, int64_t size) {
  std::vector<char> buffer(kLoopBuffer);
  int64_t received = 0;
  const TzqCost cost = Measure([&] {
    const int fd = ConnectLoopback(port);
    SendAll(fd, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    for (ssize_t n; (n = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0;) received += n;
    ::close(fd);
  });
  if (received < size) throw std::runtime_error("short recv loop");
  return cost;
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
  return Measure([&] {
    TzqHttp client;
    client.SetTimeOut(60000);
    TzqFileStream body(file, fmOpenRead);
    client.Put(url, "application/octet-stream", &body, nullptr, nullptr);
  });
}

TzqCost UploadThroughSendfile(int port, const std::string& file, int64_t size) {
  return Measure([&] {
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
  void Add(double value) { seconds.push_back(value); }
  double Percentile(double share) {
    std::sort(seconds.begin(), seconds.end());
    return seconds.empty() ? 0 : seconds[std::min(seconds.size() - 1, size_t(share * double(seconds.size())))];
  }
};

TzqCost SmallThroughClient(const std::string& url, TzqLatencies& latencies, double& allocations) {
  TzqHttp client;
  TzqDiscardStream sink;
  client.Get(url, nullptr, nullptr, &sink);  // connected before the count starts
  const uint64_t before = AllocationCount();
  const TzqCost cost = Measure([&] {
    for (int i = 0; i < kSmallRequests; ++i) {
      const double start = WallSeconds();
      client.Get(url, nullptr, nullptr, &sink);
      latencies.Add(WallSeconds() - start);
    }
  });
  allocations = double(AllocationCount() - before) / kSmallRequests;
  return cost;
}

// One request at a time on one socket; the response's end found by its Content-Length. nginx
// ends a connection after its keepalive_requests (1000): the loop then connects again, as
// the clients do.
TzqCost SmallThroughRawLoop(int port, const std::string& path, TzqLatencies& latencies) {
  const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  std::vector<char> buffer(65536);
  int fd = ConnectLoopback(port);
  const TzqCost cost = Measure([&] {
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
      latencies.Add(WallSeconds() - start);
    }
  });
  ::close(fd);
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
