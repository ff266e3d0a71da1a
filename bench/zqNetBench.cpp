// Loopback throughput: 1 GiB read through TzqTcpConnection::ReadData into a discarding stream,
// against a plain recv loop over the same kind of connection, in the same run.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

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
        const ssize_t n = ::send(fd, block.data(), static_cast<size_t>(std::min<int64_t>(block.size(), kTotal - sent)), MSG_NOSIGNAL);
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

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double PlainRecv() {
  Source source;
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(source.Port()));
  ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  std::vector<char> buffer(8192);
  const auto start = std::chrono::steady_clock::now();
  int64_t received = 0;
  for (ssize_t n; (n = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0;) received += n;
  const double seconds = Seconds(start);
  ::close(fd);
  return received == kTotal ? seconds : -1;
}

double ThroughReadData() {
  Source source;
  zq::TzqTcpClientConnection connection;
  connection.SetTimeOut(30000);
  connection.SetNetworkStream(std::make_unique<zq::TzqNetworkStream>());
  connection.OpenConnection("127.0.0.1", source.Port());
  connection.SetReadUntilClosed(true);
  zq::bench::TzqDiscardStream discard;
  const auto start = std::chrono::steady_clock::now();
  connection.ReadData(&discard);
  const double seconds = Seconds(start);
  return discard.written == kTotal ? seconds : -1;
}

void BM_LoopbackReadData(benchmark::State& state) {
  // Totals over all iterations, the two kinds taking turns so that both see the same load.
  double zqSeconds = 0;
  double recvSeconds = 0;
  for (auto _ : state) {
    const double recvTime = PlainRecv();
    const double zqTime = ThroughReadData();
    if (zqTime <= 0 || recvTime <= 0) {
      state.SkipWithError("short transfer");
      return;
    }
    recvSeconds += recvTime;
    zqSeconds += zqTime;
    state.SetIterationTime(zqTime);
  }
  const double mb = static_cast<double>(kTotal) * static_cast<double>(state.iterations()) / 1e6;
  state.counters["ReadData_MBps"] = mb / zqSeconds;
  state.counters["recv_MBps"] = mb / recvSeconds;
  state.counters["ratio"] = recvSeconds / zqSeconds;
  state.SetBytesProcessed(kTotal * static_cast<int64_t>(state.iterations()));
}

BENCHMARK(BM_LoopbackReadData)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
