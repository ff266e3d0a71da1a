#pragma once
// What the transfer benchmarks measure against: nginx of tests/peers on loopback, child
// processes (curl) with their CPU time and peak memory, and this thread's own.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zq::bench {

// Wall and CPU (user + system) seconds of one measured run, and its peak RSS in MiB.
struct TzqCost {
  double wall = 0;
  double cpu = 0;
  double rssMiB = 0;
};

// Body size of the transfer benchmarks: 64 MiB, or 1 GiB with ZQ_BENCH_FULL=1 in the environment.
int64_t TransferSize();

// A temporary directory, removed with what it holds.
class TzqBenchDir {
public:
  TzqBenchDir();
  ~TzqBenchDir();
  TzqBenchDir(const TzqBenchDir&) = delete;
  TzqBenchDir& operator=(const TzqBenchDir&) = delete;
  const std::string& Path() const { return path_; }

private:
  std::string path_;
};

// nginx of nginx-peer.sh (plain and TLS port, certificates of gen-certs.sh), stopped by PID.
class TzqBenchNginx {
public:
  TzqBenchNginx();
  ~TzqBenchNginx();
  TzqBenchNginx(const TzqBenchNginx&) = delete;
  TzqBenchNginx& operator=(const TzqBenchNginx&) = delete;
  int HttpPort() const { return httpPort_; }
  int HttpsPort() const { return httpsPort_; }
  std::string Http(const std::string& path) const;
  std::string Https(const std::string& path) const;
  std::string WwwDir() const { return dir_.Path() + "/run/www"; }
  std::string CaFile() const { return dir_.Path() + "/pki/ca.pem"; }

private:
  TzqBenchDir dir_;
  int httpPort_;
  int httpsPort_;
  std::vector<pid_t> pids_;
};

// A file of size bytes of mixed (not all-zero) content.
void WriteFileOfSize(const std::string& path, int64_t size);

// Runs argv to its end, its output to /dev/null; throws when it fails.
TzqCost RunChild(const std::vector<std::string>& argv);

// The calling thread's CPU seconds (user + system).
double ThreadCpuSeconds();
double WallSeconds();
// Resets the process's peak RSS and reads it back, in MiB.
void ResetPeakRss();
double PeakRssMiB();

// Measures call on this thread.
template <typename Call>
TzqCost Measure(Call call) {
  ResetPeakRss();
  const double wall = WallSeconds();
  const double cpu = ThreadCpuSeconds();
  call();
  return TzqCost{WallSeconds() - wall, ThreadCpuSeconds() - cpu, PeakRssMiB()};
}

// The median of the values (which it sorts).
double Median(std::vector<double> values);

// Heap allocations made by the process so far (operator new, counted by the benchmark).
uint64_t AllocationCount();

}  // namespace zq::bench
