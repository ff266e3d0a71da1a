// The handler's server in this process with short limits: a silent client and one that sends
// its request a byte at a time are dropped after their time, and at the client limit a new
// client waits for a place instead of being refused or starting another thread.

#include "tools/formhandler/zqFormHandlerServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/tools/integration/zqFormHandlerProcess.h"
#include "tests/tools/integration/zqTlsTestClient.h"

namespace zq {
namespace {

using test::FormHandlerProcess;
using test::TlsClient;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::string kGet = "GET /support/index.asp HTTP/1.1\r\nHost: localhost\r\n\r\n";

// The server running on its own thread until the object goes.
class RunningServer {
public:
  explicit RunningServer(const TzqFormHandlerOptions& options) : server_(options) {
    if (::pipe(stop_) != 0) throw std::runtime_error("pipe failed");
    thread_ = std::thread([this] { server_.Run(stop_[0]); });
  }
  ~RunningServer() {
    const char byte = 0;
    [[maybe_unused]] const ssize_t n = ::write(stop_[1], &byte, 1);
    thread_.join();
    ::close(stop_[0]);
    ::close(stop_[1]);
  }
  int32_t Port() const { return server_.Port(); }

private:
  TzqFormHandlerServer server_;
  int stop_[2];
  std::thread thread_;
};

TzqFormHandlerOptions ShortLimits() {
  FormHandlerProcess::MakeCa();
  TzqFormHandlerOptions options;
  options.CertificateFile = FormHandlerProcess::CaDir() + "/localhost.pem";
  options.KeyFile = FormHandlerProcess::CaDir() + "/localhost.key";
  options.IdleTimeOut = 400;
  options.RequestTimeOut = 800;
  options.MaxClients = 2;
  return options;
}

milliseconds Since(Clock::time_point start) { return std::chrono::duration_cast<milliseconds>(Clock::now() - start); }

TEST(FormHandlerServer, SilentAndTricklingClientsAreDroppedAfterTheirTime) {
  RunningServer server(ShortLimits());
  {
    TlsClient silent(server.Port());
    const auto start = Clock::now();
    EXPECT_TRUE(silent.ServerClosed());
    EXPECT_GE(Since(start), milliseconds(300));
  }
  // Never idle for long, but the request takes too long as a whole.
  TlsClient trickling(server.Port());
  const auto start = Clock::now();
  for (size_t i = 0; i < kGet.size() - 2 && Since(start) < milliseconds(2500); ++i) {
    trickling.Write(kGet.substr(i, 1));
    std::this_thread::sleep_for(milliseconds(100));
  }
  EXPECT_TRUE(trickling.ServerClosed());
  const std::string late = trickling.ReadResponse();
  EXPECT_EQ(late, "") << "the rest of the request came too late to be answered";
}

TEST(FormHandlerServer, AtTheClientLimitANewClientWaitsForAPlace) {
  RunningServer server(ShortLimits());
  TlsClient first(server.Port());
  TlsClient second(server.Port());
  const auto start = Clock::now();
  TlsClient third(server.Port());  // its handshake waits until a silent one is dropped
  third.Write(kGet);
  const std::string answer = third.ReadResponse();
  EXPECT_EQ(answer.substr(0, answer.find("\r\n")), "HTTP/1.1 200 OK");
  EXPECT_GE(Since(start), milliseconds(250));
}

}  // namespace
}  // namespace zq
