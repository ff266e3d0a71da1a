// HTTP download throughput on loopback: a 512 MiB body read by TzqHttp::Get into a discarding
// stream, framed by Content-Length and chunked (64 KiB chunks), against a plain recv loop of
// the same bytes in the same run.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/zqBenchSupport.h"
#include "http/zqHttp.h"

namespace {

constexpr int64_t kBody = int64_t{512} << 20;
constexpr size_t kChunk = size_t{64} << 10;

void SendAll(int fd, const char* data, size_t size) {
  for (size_t sent = 0; sent < size;) {
    const ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

// Answers one request with kBody bytes, by length or in chunks, then closes.
class TzqBodySource {
public:
  explicit TzqBodySource(bool chunked) : listener_(zq::bench::ListenOnLoopback(port_)) {
    thread_ = std::thread([this, chunked] { Serve(chunked); });
  }
  ~TzqBodySource() {
    thread_.join();
    ::close(listener_);
  }
  int Port() const { return port_; }

private:
  void Serve(bool chunked) {
    const int fd = ::accept(listener_, nullptr, nullptr);
    std::string request;
    char c = 0;
    while (request.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1) request += c;
    const std::string header = chunked ? "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                       : "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kBody) + "\r\n\r\n";
    SendAll(fd, header.data(), header.size());
    char size[32];
    const int sizeLength = std::snprintf(size, sizeof size, "%zx\r\n", kChunk);
    const std::vector<char> block(kChunk, 'z');
    for (int64_t sent = 0; sent < kBody; sent += static_cast<int64_t>(kChunk)) {
      if (chunked) SendAll(fd, size, static_cast<size_t>(sizeLength));
      SendAll(fd, block.data(), block.size());
      if (chunked) SendAll(fd, "\r\n", 2);
    }
    if (chunked) SendAll(fd, "0\r\n\r\n", 5);
    ::close(fd);
  }

  int port_ = 0;  // set while the listener is made
  int listener_;
  std::thread thread_;
};

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double ThroughClient(bool chunked) {
  TzqBodySource source(chunked);
  zq::TzqHttp client;
  zq::bench::TzqDiscardStream sink;
  const auto start = std::chrono::steady_clock::now();
  client.Get("http://127.0.0.1:" + std::to_string(source.Port()) + "/", nullptr, nullptr, &sink);
  const double seconds = Seconds(start);
  client.Close();
  if (sink.written != kBody) throw std::runtime_error("short body");
  return seconds;
}

double ThroughRecv() {
  TzqBodySource source(false);
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(source.Port()));
  ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  const auto start = std::chrono::steady_clock::now();
  SendAll(fd, "GET / HTTP/1.1\r\n\r\n", 18);
  std::vector<char> buffer(8192);
  while (::recv(fd, buffer.data(), buffer.size(), 0) > 0) {
  }
  const double seconds = Seconds(start);
  ::close(fd);
  return seconds;
}

void BM_HttpDownload512MiB(benchmark::State& state) {
  const bool chunked = state.range(0) != 0;
  double client = 0, reference = 0;
  for (auto _ : state) {
    const double seconds = ThroughClient(chunked);
    client += seconds;
    reference += ThroughRecv();
    state.SetIterationTime(seconds);
  }
  const double megabytes = static_cast<double>(kBody) * static_cast<double>(state.iterations()) / 1e6;
  state.counters["TzqHttp_MBps"] = megabytes / client;
  state.counters["recv_MBps"] = megabytes / reference;
  state.counters["ratio"] = reference / client;
}

BENCHMARK(BM_HttpDownload512MiB)->Arg(0)->Arg(1)->ArgNames({"chunked"})->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
