#include "bench/zqBenchPeers.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "bench/zqBenchSupport.h"

namespace zq::bench {

namespace {

int FreePort() {
  int port = 0;
  ::close(ListenOnLoopback(port));
  return port;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

double Seconds(const timeval& time) { return double(time.tv_sec) + double(time.tv_usec) * 1e-6; }

pid_t Spawn(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  if (pid < 0) throw std::runtime_error("fork failed");
  return pid;
}

double ProcessCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

// A "Name:  N kB" field of /proc/self/status, in MiB.
double StatusMiB(const char* field) {
  const std::string status = ReadFile("/proc/self/status");
  const size_t at = status.find(field);
  if (at == std::string::npos) throw std::runtime_error(std::string("no ") + field + " in /proc/self/status");
  return std::strtod(status.c_str() + at + std::char_traits<char>::length(field), nullptr) / 1024;
}

// Brings the peak RSS down to the present RSS, so that VmHWM then tells this run's peak.
void ResetPeakRss() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5" << std::flush;
  if (!clear) throw std::runtime_error("cannot reset the peak RSS through /proc/self/clear_refs");
}

void WriteAll(int fd, const void* data, size_t size) {
  for (size_t done = 0; done < size;) {
    const ssize_t n = ::write(fd, static_cast<const char*>(data) + done, size - done);
    if (n <= 0) throw std::runtime_error("cannot write to the parent");
    done += size_t(n);
  }
}

std::string ReadAll(int fd) {
  std::string data;
  char buffer[65536];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) data.append(buffer, size_t(n));
  return data;
}

// The forked side of MeasureApart: the cost, then call's values, as doubles into fd.
int RunMeasured(const std::function<void(std::vector<double>&)>& call, int fd) {
  try {
    ResetPeakRss();
    const double startMiB = StatusMiB("VmRSS:");
    const double wall = WallSeconds();
    const double cpu = ProcessCpuSeconds();
    std::vector<double> values;
    call(values);
    const double peakMiB = StatusMiB("VmHWM:");
    values.insert(values.begin(), {WallSeconds() - wall, ProcessCpuSeconds() - cpu, peakMiB, peakMiB - startMiB});
    WriteAll(fd, values.data(), values.size() * sizeof(double));
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "measured run: %s\n", e.what());
    return 1;
  }
}

void RunScript(const std::vector<std::string>& argv) {
  std::vector<std::string> command{"timeout", "60", "bash"};
  command.insert(command.end(), argv.begin(), argv.end());
  RunChild(command);
}

}  // namespace

int64_t TransferSize() {
  const char* full = std::getenv("ZQ_BENCH_FULL");
  return full != nullptr && std::string(full) == "1" ? int64_t{1} << 30 : int64_t{64} << 20;
}

TzqBenchDir::TzqBenchDir() {
  char pattern[] = "/tmp/zq-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TzqBenchDir::~TzqBenchDir() {
  try {
    RunChild({"rm", "-rf", path_});
  } catch (...) {
  }
}

TzqBenchNginx::TzqBenchNginx(const std::string& opensslConfig) : httpPort_(FreePort()), httpsPort_(FreePort()) {
  if (!opensslConfig.empty()) {
    const std::string file = dir_.Path() + "/openssl.cnf";
    std::ofstream(file) << opensslConfig;
    if (const char* previous = std::getenv("OPENSSL_CONF")) previousOpensslConf_ = previous;
    ::setenv("OPENSSL_CONF", file.c_str(), 1);
    setOpensslConf_ = true;
  }
  const std::string peers = ZQ_PEERS_DIR;
  const std::string pki = dir_.Path() + "/pki";
  RunScript({peers + "/gen-certs.sh", pki});
  try {
    RunScript({peers + "/nginx-peer.sh", dir_.Path() + "/run", std::to_string(httpPort_), std::to_string(httpsPort_),
               pki + "/server.pem", pki + "/server.key"});
  } catch (...) {
    std::ifstream pids(dir_.Path() + "/run/pids");
    for (pid_t pid; pids >> pid;) ::kill(pid, SIGTERM);
    throw;
  }
  std::ifstream pids(dir_.Path() + "/run/pids");
  for (pid_t pid; pids >> pid;) pids_.push_back(pid);
}

TzqBenchNginx::~TzqBenchNginx() {
  if (previousOpensslConf_)
    ::setenv("OPENSSL_CONF", previousOpensslConf_->c_str(), 1);
  else if (setOpensslConf_)
    ::unsetenv("OPENSSL_CONF");
  for (const pid_t pid : pids_) {
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 150 && ::kill(pid, 0) == 0; ++i) {
      const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
      const size_t close = stat.rfind(')');
      if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z') break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
}

std::string TzqBenchNginx::Http(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(httpPort_) + path;
}

std::string TzqBenchNginx::Https(const std::string& path) const {
  return "https://localhost:" + std::to_string(httpsPort_) + path;
}

void WriteFileOfSize(const std::string& path, int64_t size) {
  std::vector<char> block(size_t{1} << 20);
  uint32_t state = 2463534242u;
  for (char& c : block) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    c = char(state);
  }
  std::ofstream file(path, std::ios::binary);
  for (int64_t written = 0; written < size; written += int64_t(block.size()))
    file.write(block.data(), std::min<int64_t>(int64_t(block.size()), size - written));
  if (!file) throw std::runtime_error("cannot write " + path);
}

void WriteSparseFile(const std::string& path, int64_t size) {
  std::ofstream{path};
  std::filesystem::resize_file(path, static_cast<uintmax_t>(size));
}

TzqCost RunChild(const std::vector<std::string>& argv) {
  const double start = WallSeconds();
  const pid_t pid = Spawn(argv);
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error(argv[0] + " failed");
  const double peakMiB = double(usage.ru_maxrss) / 1024;
  return TzqCost{WallSeconds() - start, Seconds(usage.ru_utime) + Seconds(usage.ru_stime), peakMiB, peakMiB};
}

TzqCost MeasureApart(const std::function<void(std::vector<double>&)>& call, std::vector<double>* results) {
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    ::_exit(RunMeasured(call, fds[1]));
  }
  ::close(fds[1]);
  const std::string report = pid > 0 ? ReadAll(fds[0]) : std::string();
  ::close(fds[0]);
  if (pid < 0) throw std::runtime_error("fork failed");
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
      report.size() < 4 * sizeof(double) || report.size() % sizeof(double) != 0)
    throw std::runtime_error("a measured run failed");
  std::vector<double> values(report.size() / sizeof(double));
  std::memcpy(values.data(), report.data(), report.size());
  if (results != nullptr) results->assign(values.begin() + 4, values.end());
  return TzqCost{values[0], values[1], values[2], values[3]};
}

TzqCost MeasureApart(const std::function<void()>& call) {
  return MeasureApart([&](std::vector<double>&) { call(); });
}

double ThreadCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_THREAD, &usage);
  return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace zq::bench
