// HTTPS download of one file from nginx on loopback (AES-128-GCM, TLS 1.3 and TLS 1.2), three
// ways in turn on the same file: TzqHttp::Get into a discarding stream, a minimal SSL_read loop
// with a 256 KiB buffer, and `curl -s -o /dev/null` started as a process. Each round runs the
// three once; the ratios printed are medians of the per-round ratios of CPU (user + sys) and
// wall time, with the peak resident size of each run.
//
// ZQ_BENCH_TLS_MIB sets the file size in MiB (default 64; 1024 for the full measurement),
// ZQ_BENCH_TLS_ROUNDS the number of rounds (default 3). nginx is started by
// tests/peers/nginx-peer.sh and stopped by its PID.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/zqBenchSupport.h"
#include "http/zqHttp.h"
#include "platform/zqCryptoHandles.h"

extern char** environ;

namespace zq {
namespace {

int64_t EnvNumber(const char* name, int64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != 0 ? std::strtoll(text, nullptr, 10) : fallback;
}

// OpenSSL's defaults for every party (this process, nginx and curl): AES-128-GCM only.
const char* const kOpenSslConfig =
    "openssl_conf = bench\n[bench]\nssl_conf = bench_ssl\n[bench_ssl]\nsystem_default = bench_defaults\n"
    "[bench_defaults]\nCipherString = ECDHE-ECDSA-AES128-GCM-SHA256\nCiphersuites = TLS_AES_128_GCM_SHA256\n";

// A self-signed P-256 certificate for localhost, written as PEM files.
void WriteCertificate(const std::string& certFile, const std::string& keyFile) {
  TzqEvpPkeyPtr key(EVP_EC_gen("P-256"));
  TzqX509Ptr certificate(X509_new());
  if (key == nullptr || certificate == nullptr) throw std::runtime_error("cannot make a certificate");
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 86400);
  X509_NAME* name = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(certificate.get(), name);
  X509_set_pubkey(certificate.get(), key.get());
  X509_sign(certificate.get(), key.get(), EVP_sha256());
  TzqBioPtr out(BIO_new_file(certFile.c_str(), "w"));
  TzqBioPtr keyOut(BIO_new_file(keyFile.c_str(), "w"));
  if (out == nullptr || keyOut == nullptr || PEM_write_bio_X509(out.get(), certificate.get()) != 1 ||
      PEM_write_bio_PrivateKey(keyOut.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
    throw std::runtime_error("cannot write the certificate");
}

int FreePort() {
  int port = 0;
  const int listener = bench::ListenOnLoopback(port);
  ::close(listener);
  return port;
}

// Starts a program and waits for it; its resource use goes into usage.
int RunProgram(const std::vector<std::string>& arguments, rusage* usage = nullptr) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
    throw std::runtime_error("cannot start " + arguments[0]);
  int status = 0;
  rusage ignored{};
  if (::wait4(pid, &status, 0, usage != nullptr ? usage : &ignored) != pid) throw std::runtime_error("wait failed");
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// nginx serving big.bin of the given size over HTTPS; stopped by PID when this goes.
class TzqNginxPeer {
public:
  explicit TzqNginxPeer(int64_t bytes)
      : dir_(std::filesystem::temp_directory_path() / ("zq-tls-bench-" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(dir_);
    const std::string config = (dir_ / "openssl.cnf").string();
    std::ofstream(config) << kOpenSslConfig;
    ::setenv("OPENSSL_CONF", config.c_str(), 1);
    const std::string cert = (dir_ / "bench.pem").string(), key = (dir_ / "bench.key").string();
    WriteCertificate(cert, key);
    port_ = FreePort();
    const int started = RunProgram({"bash", std::string(ZQ_PEERS_DIR) + "/nginx-peer.sh", Run(),
                                    std::to_string(FreePort()), std::to_string(port_), cert, key});
    ReadPids();
    if (started != 0) throw std::runtime_error("nginx did not start; see " + Run());
    // A sparse file: the page cache serves it, the cost measured is the TLS path's.
    const std::filesystem::path file = std::filesystem::path(Run()) / "www" / "big.bin";
    std::ofstream{file};
    std::filesystem::resize_file(file, static_cast<uintmax_t>(bytes));
  }
  ~TzqNginxPeer() {
    for (pid_t pid : pids_) ::kill(pid, SIGTERM);
    for (pid_t pid : pids_) {
      for (int i = 0; i < 60 && ::kill(pid, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (::kill(pid, 0) == 0) ::kill(pid, SIGKILL);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  int Port() const { return port_; }
  std::string Url() const { return "https://localhost:" + std::to_string(port_) + "/big.bin"; }

private:
  std::string Run() const { return (dir_ / "run").string(); }
  void ReadPids() {
    std::ifstream file(Run() + "/pids");
    for (pid_t pid = 0; file >> pid;) pids_.push_back(pid);
  }

  std::filesystem::path dir_;
  int port_ = 0;
  std::vector<pid_t> pids_;
};

struct TzqRun {
  double wall = 0;
  double cpu = 0;
  double peakMiB = 0;
};

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }
double CpuSeconds(const rusage& usage) { return Seconds(usage.ru_utime) + Seconds(usage.ru_stime); }

// The peak resident size is reset before an in-process run, so each run shows its own.
void ResetPeakResident() { std::ofstream("/proc/self/clear_refs") << "5"; }
double PeakResidentMiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
  return 0;
}

TzqRun InProcess(const std::function<void()>& transfer) {
  ResetPeakResident();
  rusage before{}, after{};
  ::getrusage(RUSAGE_SELF, &before);
  const auto start = std::chrono::steady_clock::now();
  transfer();
  TzqRun run;
  run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::getrusage(RUSAGE_SELF, &after);
  run.cpu = CpuSeconds(after) - CpuSeconds(before);
  run.peakMiB = PeakResidentMiB();
  return run;
}

void ThroughHttp(const std::string& url, bool tls13, int64_t bytes) {
  TzqHttp client;
  client.SetTLSFlags(tls13 ? TzqTlsFlags{tfUseTLS13} : TzqTlsFlags{tfUseTLS12});
  client.SetCertificateFlags({cfIgnoreUnknownAuthority});
  uint32_t strength = 0;
  client.OnReceiveHeader = [&](TzqObject*, const std::string&, const std::string&, TzqStringList&, TzqCookieList&,
                               bool&) {
    auto* stream = dynamic_cast<TzqTlsNetworkStream*>(client.GetConnection().NetworkStream());
    if (stream != nullptr && stream->Engine() != nullptr) strength = stream->Engine()->NegotiatedCipherStrength();
  };
  bench::TzqDiscardStream sink;
  client.Get(url, nullptr, nullptr, &sink);
  if (sink.written != bytes) throw std::runtime_error("TzqHttp: short transfer");
  if (strength != 128) throw std::runtime_error("TzqHttp: not AES-128 (" + std::to_string(strength) + " bits)");
}

// A minimal client: the request, then SSL_read into 256 KiB until the body is all there.
void ThroughSslRead(int port, bool tls13, int64_t bytes) {
  TzqSslCtxPtr context(SSL_CTX_new(TLS_client_method()));
  const int version = tls13 ? TLS1_3_VERSION : TLS1_2_VERSION;
  SSL_CTX_set_min_proto_version(context.get(), version);
  SSL_CTX_set_max_proto_version(context.get(), version);
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) throw std::runtime_error("connect");
  TzqSslPtr ssl(SSL_new(context.get()));
  SSL_set_fd(ssl.get(), fd);
  SSL_set_tlsext_host_name(ssl.get(), "localhost");
  if (SSL_connect(ssl.get()) != 1) throw std::runtime_error("SSL_connect");
  if (std::string(SSL_get_cipher_name(ssl.get())).find("AES128-GCM") == std::string::npos &&
      std::string(SSL_get_cipher_name(ssl.get())) != "TLS_AES_128_GCM_SHA256")
    throw std::runtime_error(std::string("unexpected cipher ") + SSL_get_cipher_name(ssl.get()));
  const std::string request = "GET /big.bin HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
  SSL_write(ssl.get(), request.data(), static_cast<int>(request.size()));
  std::vector<char> buffer(256 << 10);
  int64_t received = 0;
  for (int n; (n = SSL_read(ssl.get(), buffer.data(), static_cast<int>(buffer.size()))) > 0;) received += n;
  ssl.reset();
  ::close(fd);
  if (received < bytes) throw std::runtime_error("SSL_read loop: short transfer");
}

TzqRun ThroughCurl(const std::string& url, bool tls13) {
  std::vector<std::string> arguments = {"curl", "-s", "-k", "-o", "/dev/null", "--fail"};
  if (tls13)
    arguments.insert(arguments.end(), {"--tlsv1.3", "--tls-max", "1.3", "--tls13-ciphers", "TLS_AES_128_GCM_SHA256"});
  else
    arguments.insert(arguments.end(), {"--tlsv1.2", "--tls-max", "1.2", "--ciphers", "ECDHE-ECDSA-AES128-GCM-SHA256"});
  arguments.push_back(url);
  rusage usage{};
  const auto start = std::chrono::steady_clock::now();
  if (RunProgram(arguments, &usage) != 0) throw std::runtime_error("curl failed");
  TzqRun run;
  run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpu = CpuSeconds(usage);
  run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
  return run;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n == 0 ? 0 : n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void BM_HttpsDownload(benchmark::State& state) {
  const bool tls13 = state.range(0) == 13;
  const int64_t bytes = EnvNumber("ZQ_BENCH_TLS_MIB", 64) << 20;
  const int64_t rounds = std::max<int64_t>(1, EnvNumber("ZQ_BENCH_TLS_ROUNDS", 3));
  ::signal(SIGPIPE, SIG_IGN);
  TzqNginxPeer nginx(bytes);
  std::vector<double> cpuVsCurl, cpuVsLoop, wallVsCurl, wallVsLoop;
  double peakHttp = 0, peakLoop = 0, peakCurl = 0, mbps = 0;
  ThroughCurl(nginx.Url(), tls13);  // not counted: brings the file into the page cache
  for (auto _ : state) {
    for (int64_t round = 0; round < rounds; ++round) {
      const TzqRun http = InProcess([&] { ThroughHttp(nginx.Url(), tls13, bytes); });
      const TzqRun loop = InProcess([&] { ThroughSslRead(nginx.Port(), tls13, bytes); });
      const TzqRun curl = ThroughCurl(nginx.Url(), tls13);
      cpuVsCurl.push_back(http.cpu / curl.cpu);
      cpuVsLoop.push_back(http.cpu / loop.cpu);
      wallVsCurl.push_back(http.wall / curl.wall);
      wallVsLoop.push_back(http.wall / loop.wall);
      peakHttp = std::max(peakHttp, http.peakMiB);
      peakLoop = std::max(peakLoop, loop.peakMiB);
      peakCurl = std::max(peakCurl, curl.peakMiB);
      mbps = static_cast<double>(bytes) / 1e6 / http.wall;
      std::printf(
          "TLS 1.%d %lld MiB round %lld: TzqHttp cpu %.2fs wall %.2fs | SSL_read cpu %.2fs wall %.2fs | curl cpu %.2fs "
          "wall %.2fs\n",
          tls13 ? 3 : 2, static_cast<long long>(bytes >> 20), static_cast<long long>(round), http.cpu, http.wall,
          loop.cpu, loop.wall, curl.cpu, curl.wall);
    }
  }
  state.counters["cpu_vs_curl"] = Median(cpuVsCurl);
  state.counters["cpu_vs_SSL_read"] = Median(cpuVsLoop);
  state.counters["wall_vs_curl"] = Median(wallVsCurl);
  state.counters["wall_vs_SSL_read"] = Median(wallVsLoop);
  state.counters["TzqHttp_MBps"] = mbps;
  state.counters["rss_TzqHttp_MiB"] = peakHttp;
  state.counters["rss_SSL_read_MiB"] = peakLoop;
  state.counters["rss_curl_MiB"] = peakCurl;
}

// The in-process runs include the process's own base (the benchmark binary): the resident
// sizes are comparable between TzqHttp and the SSL_read loop, curl's is a whole process.
BENCHMARK(BM_HttpsDownload)->Arg(13)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_HttpsDownload)->Arg(12)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace
}  // namespace zq
