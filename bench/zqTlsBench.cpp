// HTTPS download of one file from nginx on loopback (AES-128-GCM, TLS 1.3 and TLS 1.2), three
// ways in turn on the same file: TzqHttp::Get into a discarding stream, a minimal SSL_read loop
// with a 256 KiB buffer, and `curl -s -o /dev/null` started as a process. The client and the
// loop each run in a forked child, so CPU (user + sys) and peak RSS are their own. Ratios are
// medians of the per-round ratios.
//
// ZQ_BENCH_TLS_MIB sets the file size in MiB (default 64; 1024 for the full measurement),
// ZQ_BENCH_TLS_ROUNDS the number of rounds (default 3).

#include <benchmark/benchmark.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/zqBenchPeers.h"
#include "bench/zqBenchRounds.h"
#include "bench/zqBenchSupport.h"
#include "http/zqHttp.h"
#include "platform/zqCryptoHandles.h"

namespace zq::bench {
namespace {

int64_t EnvNumber(const char* name, int64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != 0 ? std::strtoll(text, nullptr, 10) : fallback;
}

// OpenSSL's defaults for every party (the measured children, nginx and curl): AES-128-GCM only.
const char* const kOpenSslConfig =
    "openssl_conf = bench\n[bench]\nssl_conf = bench_ssl\n[bench_ssl]\nsystem_default = bench_defaults\n"
    "[bench_defaults]\nCipherString = ECDHE-RSA-AES128-GCM-SHA256\nCiphersuites = TLS_AES_128_GCM_SHA256\n";

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
  TzqDiscardStream sink;
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
  const int fd = ConnectLoopback(port);
  TzqSslPtr ssl(SSL_new(context.get()));
  SSL_set_fd(ssl.get(), fd);
  SSL_set_tlsext_host_name(ssl.get(), "localhost");
  if (SSL_connect(ssl.get()) != 1) throw std::runtime_error("SSL_connect");
  const std::string cipher = SSL_get_cipher_name(ssl.get());
  if (cipher.find("AES128-GCM") == std::string::npos && cipher != "TLS_AES_128_GCM_SHA256")
    throw std::runtime_error("unexpected cipher " + cipher);
  const std::string request = "GET /big.bin HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
  SSL_write(ssl.get(), request.data(), static_cast<int>(request.size()));
  std::vector<char> buffer(256 << 10);
  int64_t received = 0;
  for (int n; (n = SSL_read(ssl.get(), buffer.data(), static_cast<int>(buffer.size()))) > 0;) received += n;
  ssl.reset();
  ::close(fd);
  if (received < bytes) throw std::runtime_error("SSL_read loop: short transfer");
}

std::vector<std::string> CurlArguments(const std::string& url, bool tls13) {
  std::vector<std::string> arguments = {"curl", "-s", "-k", "-o", "/dev/null", "--fail"};
  if (tls13)
    arguments.insert(arguments.end(), {"--tlsv1.3", "--tls-max", "1.3", "--tls13-ciphers", "TLS_AES_128_GCM_SHA256"});
  else
    arguments.insert(arguments.end(), {"--tlsv1.2", "--tls-max", "1.2", "--ciphers", "ECDHE-RSA-AES128-GCM-SHA256"});
  arguments.push_back(url);
  return arguments;
}

void BM_HttpsDownload(benchmark::State& state) {
  const bool tls13 = state.range(0) == 13;
  const int64_t bytes = EnvNumber("ZQ_BENCH_TLS_MIB", 64) << 20;
  ::signal(SIGPIPE, SIG_IGN);
  TzqBenchNginx nginx(kOpenSslConfig);
  // Sparse: the page cache serves it, the cost measured is the TLS path's.
  WriteSparseFile(nginx.WwwDir() + "/big.bin", bytes);
  const std::string url = nginx.Https("/big.bin");
  RunChild(CurlArguments(url, tls13));  // not counted: brings the file into the page cache
  Rounds(state,
         {{"TzqHttp", [&] { return MeasureApart([&] { ThroughHttp(url, tls13, bytes); }); }},
          {"SSL_read", [&] { return MeasureApart([&] { ThroughSslRead(nginx.HttpsPort(), tls13, bytes); }); }},
          {"curl", [&] { return RunChild(CurlArguments(url, tls13)); }}},
         bytes);
}

const int64_t kRounds = std::max<int64_t>(1, EnvNumber("ZQ_BENCH_TLS_ROUNDS", 3));
BENCHMARK(BM_HttpsDownload)->Arg(13)->Iterations(kRounds)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HttpsDownload)->Arg(12)->Iterations(kRounds)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zq::bench
