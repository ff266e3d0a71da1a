#pragma once
// What the transfer benchmarks measure against: nginx of tests/peers on loopback, child
// processes (curl) with their CPU time and peak memory, and runs of this program's own code in
// a forked child, so that their CPU time and peak memory are theirs alone.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zq::bench {

// Wall and CPU (user + system) seconds of one measured run, and the peak RSS in MiB of the
// process that ran it. A forked run starts with the pages it shares with the benchmark process;
// ownMiB leaves those out (for a program started afresh, the two are the same).
struct TzqCost {
  double wall = 0;
  double cpu = 0;
  double rssMiB = 0;
  double ownMiB = 0;
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
// An OpenSSL configuration, when given, becomes OPENSSL_CONF of this process and of all it
// starts while this lives (nginx, curl), so that every party is held to the same protocol choices.
class TzqBenchNginx {
public:
  explicit TzqBenchNginx(const std::string& opensslConfig = {});
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
  bool setOpensslConf_ = false;
  std::optional<std::string> previousOpensslConf_;
};

// A file of size bytes of mixed (not all-zero) content.
void WriteFileOfSize(const std::string& path, int64_t size);
// A sparse file of size zero bytes: served from the page cache without disk reads.
void WriteSparseFile(const std::string& path, int64_t size);

// Runs argv to its end, its output to /dev/null; throws when it fails.
TzqCost RunChild(const std::vector<std::string>& argv);

// Runs call in a forked child and measures it there: CPU of the whole child, its peak RSS
// from the start of the run. What call puts into its vector comes back in results. Throws when
// call throws (its message goes to stderr) or the child dies.
TzqCost MeasureApart(const std::function<void(std::vector<double>&)>& call, std::vector<double>* results = nullptr);
TzqCost MeasureApart(const std::function<void()>& call);

// The calling thread's CPU seconds (user + system).
double ThreadCpuSeconds();
double WallSeconds();

// Times call on this thread, for runs whose peer is another thread of this process (no RSS).
template <typename Call>
TzqCost Measure(Call call) {
  const double wall = WallSeconds();
  const double cpu = ThreadCpuSeconds();
  call();
  return TzqCost{WallSeconds() - wall, ThreadCpuSeconds() - cpu};
}

// The median of the values (which it sorts).
double Median(std::vector<double> values);

// Heap allocations made by the process so far (operator new, counted by the benchmark).
uint64_t AllocationCount();

}  // namespace zq::bench
