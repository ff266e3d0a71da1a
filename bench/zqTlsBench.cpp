// 1 GiB over one TLS connection on loopback (AES-GCM): through TzqTcpClientTls, and through a
// minimal SSL_read loop over a plain socket, on the same transfer in the same run.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bench/zqBenchSupport.h"
#include "tls/zqTcpClientTls.h"

namespace zq {
namespace {

constexpr int64_t kTransfer = int64_t{1} << 30;

// A self-signed certificate made in memory for the benchmark's server.
struct TzqBenchCertificate {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* certificate = X509_new();
  TzqBenchCertificate() {
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    X509_set_pubkey(certificate, key);
    X509_sign(certificate, key, EVP_sha256());
  }
  ~TzqBenchCertificate() {
    X509_free(certificate);
    EVP_PKEY_free(key);
  }
};

// Serves one connection: sends `bytes` of application data with AES-GCM, then closes.
class TzqBenchServer {
public:
  explicit TzqBenchServer(const TzqBenchCertificate& identity) {
    context_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_max_proto_version(context_, TLS1_2_VERSION);
    SSL_CTX_set_cipher_list(context_, "ECDHE-ECDSA-AES128-GCM-SHA256");
    SSL_CTX_use_certificate(context_, identity.certificate);
    SSL_CTX_use_PrivateKey(context_, identity.key);
    listener_ = bench::ListenOnLoopback(port_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TzqBenchServer() {
    thread_.join();
    ::close(listener_);
    SSL_CTX_free(context_);
  }
  int Port() const { return port_; }

private:
  void Serve() {
    int fd = ::accept(listener_, nullptr, nullptr);
    SSL* ssl = SSL_new(context_);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
      std::vector<char> block(1 << 16, 'z');
      for (int64_t sent = 0; sent < kTransfer;) {
        int n = SSL_write(ssl, block.data(), static_cast<int>(std::min<int64_t>(block.size(), kTransfer - sent)));
        if (n <= 0) break;
        sent += n;
      }
      SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    ::close(fd);
  }

  SSL_CTX* context_;
  int listener_;
  int port_ = 0;
  std::thread thread_;
};

double ProcessCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Wall-clock and CPU seconds of a run (the CPU time includes the server thread, the same in
// both runs, so it shows the client's cost also on a machine shared with other work).
struct TzqTimes {
  double wall = 0;
  double cpu = 0;
};

void Measure(TzqTimes& times, const std::function<void()>& run) {
  auto start = std::chrono::steady_clock::now();
  double cpu = ProcessCpuSeconds();
  run();
  times.cpu += ProcessCpuSeconds() - cpu;
  times.wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void ReadThroughClient(int port) {
  TzqTcpClientTls client;
  client.SetServer("localhost");
  client.SetPort(port);
  client.SetUseTLS(ctImplicit);
  client.SetCertificateFlags({cfIgnoreUnknownAuthority});
  client.Open();
  bench::TzqDiscardStream sink;
  while (sink.written < kTransfer && client.Active()) client.GetConnection().ReadData(&sink);
  if (sink.written < kTransfer) throw std::runtime_error("short transfer");
  client.Close();
}

void ReadThroughSslReadLoop(int port) {
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) throw std::runtime_error("connect");
  SSL* ssl = SSL_new(context);
  SSL_set_fd(ssl, fd);
  if (SSL_connect(ssl) != 1) throw std::runtime_error("SSL_connect");
  std::vector<char> buffer(1 << 16);
  int64_t received = 0;
  for (int n; received < kTransfer && (n = SSL_read(ssl, buffer.data(), static_cast<int>(buffer.size()))) > 0;) received += n;
  if (received < kTransfer) throw std::runtime_error("short transfer");
  SSL_free(ssl);
  ::close(fd);
  SSL_CTX_free(context);
}

void BM_TlsDownload1GiB(benchmark::State& state) {
  TzqBenchCertificate identity;
  TzqTimes client, reference;
  for (auto _ : state) {
    {
      TzqBenchServer server(identity);
      Measure(client, [&] { ReadThroughClient(server.Port()); });
    }
    TzqBenchServer server(identity);
    Measure(reference, [&] { ReadThroughSslReadLoop(server.Port()); });
  }
  double megabytes = static_cast<double>(kTransfer) * static_cast<double>(state.iterations()) / 1e6;
  state.counters["TzqTcpClientTls_MBps"] = megabytes / client.wall;
  state.counters["SSL_read_MBps"] = megabytes / reference.wall;
  state.counters["ratio"] = reference.wall / client.wall;
  state.counters["cpu_ratio"] = reference.cpu / client.cpu;
}

BENCHMARK(BM_TlsDownload1GiB)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace
}  // namespace zq
