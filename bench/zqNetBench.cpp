// Loopback throughput: 1 GiB read through TzqTcpConnection::ReadData into a discarding stream,
// against a plain recv loop with a 256 KiB buffer over the same kind of connection, in the same
// run. Times are wall and this thread's CPU (user + system).

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bench/zqBenchPeers.h"
#include "bench/zqBenchSupport.h"
#include "net/zqSocket.h"

namespace {

constexpr int64_t kTotal = int64_t{1} << 30;

// Serves kTotal bytes to the first connection, then closes it.
class Source {
public:
  Source() : listener_(zq::bench::ListenOnLoopback(port_)) {
    thread_ = std::thread([this] {
      const int fd = ::accept(listener_, nullptr, nullptr);
      std::vector<char> block(1 << 20, 'z');
      for (int64_t sent = 0; sent < kTotal;) {
        const ssize_t n =
            ::send(fd, block.data(), static_cast<size_t>(std::min<int64_t>(block.size(), kTotal - sent)), MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += n;
      }
      ::close(fd);
    });
  }
  ~Source() {
    thread_.join();
    ::close(listener_);
  }
  int Port() const { return port_; }

private:
  int port_ = 0;  // set while the listener is made
  int listener_;
  std::thread thread_;
};

zq::bench::TzqCost PlainRecv() {
  Source source;
  const int fd = zq::bench::ConnectLoopback(source.Port());
  std::vector<char> buffer(size_t{256} << 10);
  int64_t received = 0;
  const auto cost = zq::bench::Measure([&] {
    for (ssize_t n; (n = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0;) received += n;
  });
  ::close(fd);
  if (received != kTotal) throw std::runtime_error("short transfer");
  return cost;
}

zq::bench::TzqCost ThroughReadData() {
  Source source;
  zq::TzqTcpClientConnection connection;
  connection.SetTimeOut(30000);
  connection.SetNetworkStream(std::make_unique<zq::TzqNetworkStream>());
  connection.OpenConnection("127.0.0.1", source.Port());
  connection.SetReadUntilClosed(true);
  zq::bench::TzqDiscardStream discard;
  // In large pieces, as response bodies are read.
  zq::TzqLargeBatchScope large(connection);
  const auto cost = zq::bench::Measure([&] { connection.ReadData(&discard); });
  if (discard.written != kTotal) throw std::runtime_error("short transfer");
  return cost;
}

void BM_LoopbackReadData(benchmark::State& state) {
  // The two kinds take turns so that both see the same load; ratios are medians per round.
  std::vector<double> cpu, wall, zqWall, recvWall;
  bool recvFirst = true;
  for (auto _ : state) {
    zq::bench::TzqCost recv, zq;
    if (recvFirst) recv = PlainRecv();
    zq = ThroughReadData();
    if (!recvFirst) recv = PlainRecv();
    recvFirst = !recvFirst;
    cpu.push_back(zq.cpu / recv.cpu);
    wall.push_back(zq.wall / recv.wall);
    zqWall.push_back(zq.wall);
    recvWall.push_back(recv.wall);
    state.SetIterationTime(zq.wall);
  }
  const double mb = static_cast<double>(kTotal) / 1e6;
  state.counters["ReadData_MBps"] = mb / zq::bench::Median(zqWall);
  state.counters["recv256k_MBps"] = mb / zq::bench::Median(recvWall);
  state.counters["cpu_vs_recv256k"] = zq::bench::Median(cpu);
  state.counters["wall_vs_recv256k"] = zq::bench::Median(wall);
  state.SetBytesProcessed(kTotal * static_cast<int64_t>(state.iterations()));
}

BENCHMARK(BM_LoopbackReadData)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
