// The HTTP client against a server whose response breaks at each phase (TLS handshake, status
// line, header, each kind of body, trailer) by each fault (close, reset, stall, drip, flood),
// over real sockets in clear and in TLS: every call ends with a library error within the time
// it was given, leaves the connection closed, and never passes for a success.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "http/zqHttp.h"
#include "http/zqStreams.h"
#include "platform/zqSocketApi.h"
#include "tests/support/zqFaultPeer.h"
#include "tests/support/zqLoopback.h"
#include "tests/tls/zqTlsTestCertificates.h"
#include "tls/zqSspi.h"

namespace zq {
namespace {

using test::Fault;
using test::FaultPeer;
using test::FaultPhase;
using test::FaultScript;
using test::UploadFault;
using Ms = std::chrono::milliseconds;

constexpr int kTimeOut = 300;
constexpr int kTotalTimeOut = 600;
constexpr int kDripMs = 20;  // well inside TimeOut: only TotalTimeOut ends a drip
constexpr int64_t kMaxBody = 256 * 1024;
// What a loaded machine may add to a limit before the call returns.
constexpr Ms kMargin(900);

const FaultPhase kPhases[] = {FaultPhase::Accepted,    FaultPhase::Handshake,    FaultPhase::StatusLine,
                              FaultPhase::HeaderLine,  FaultPhase::HeaderFields, FaultPhase::LengthBody,
                              FaultPhase::ChunkedBody, FaultPhase::GzipBody,     FaultPhase::UntilClose,
                              FaultPhase::Trailer};

// The most derived library class of an error, for the messages.
std::string ClassOf(const EzqError& e) {
  if (dynamic_cast<const EzqHttpError*>(&e)) return "EzqHttpError";
  if (dynamic_cast<const EzqTcpClientError*>(&e)) return "EzqTcpClientError";
  if (dynamic_cast<const EzqSocketError*>(&e)) return "EzqSocketError";
  if (dynamic_cast<const EzqSSPIError*>(&e)) return "EzqSSPIError";
  if (dynamic_cast<const EzqStreamError*>(&e)) return "EzqStreamError";
  return "EzqError";
}

struct Outcome {
  bool raised = false;
  std::string error;  // its class
  std::string kind;   // class: message (code)
  int code = 0;
  Ms elapsed{0};
  bool active = true;
  int64_t body = 0;

  void Take(const EzqError& e) {
    raised = true;
    error = ClassOf(e);
    code = e.ErrorCode();
    kind = error + ": " + e.what() + " (" + std::to_string(code) + ")";
  }
  bool Says(const std::string& part) const { return kind.find(part) != std::string::npos; }
};

bool InHead(FaultPhase phase) {
  return phase == FaultPhase::StatusLine || phase == FaultPhase::HeaderLine || phase == FaultPhase::HeaderFields;
}
bool InBody(FaultPhase phase) { return phase >= FaultPhase::LengthBody; }

// A call timed, with what it raised (and the text of an HTTP error), how it left the
// connection and how much body it delivered.
template <typename Call>
Outcome Timed(TzqHttp& http, TzqMemoryStream& body, Call call, std::string* responseText = nullptr) {
  Outcome outcome;
  const auto start = std::chrono::steady_clock::now();
  try {
    call();
  } catch (const EzqHttpError& e) {
    outcome.Take(e);
    if (responseText != nullptr) *responseText = e.ResponseText();
  } catch (const EzqError& e) {
    outcome.Take(e);
  }
  outcome.elapsed = std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - start);
  outcome.active = http.Active();
  outcome.body = body.Size();
  return outcome;
}

// Plain or TLS, as the test's parameter says.
class HttpFault : public ::testing::TestWithParam<bool> {
protected:
  void SetUp() override {
    if (Tls()) test::TlsCertificates::Get();  // the client trusts the test CA through SSL_CERT_FILE
    client.SetDisableGuiProcessing(true);
    client.SetTimeOut(kTimeOut);
  }
  static bool Tls() { return GetParam(); }

  FaultScript Script(FaultPhase phase, Fault fault) const {
    FaultScript script;
    script.phase = phase;
    script.fault = fault;
    script.dripMs = kDripMs;
    if (Tls()) {
      const test::TlsCertificates& pki = test::TlsCertificates::Get();
      script.certificateFile = pki.File("server.pem");
      script.keyFile = pki.File("server.key");
    }
    return script;
  }

  // The phases this transport has, with the faults that can break them: a body that runs to
  // the connection's end is whole when the connection ends with a FIN.
  template <typename Each>
  void ForEachPhase(Fault fault, Each each) {
    for (FaultPhase phase : kPhases) {
      if (phase == FaultPhase::Handshake && !Tls()) continue;
      if (phase == FaultPhase::UntilClose && fault == Fault::Close) continue;
      SCOPED_TRACE(std::string(test::PhaseName(phase)) + ", " + test::FaultName(fault) + (Tls() ? ", TLS" : ""));
      each(phase);
    }
  }

  Outcome Get(const std::string& url) {
    TzqMemoryStream body;
    return Timed(client, body, [&] { client.Get(url, nullptr, nullptr, &body); });
  }

  // A failure, within limit and its margin, on a closed connection.
  static void ExpectFailed(const Outcome& outcome, int limitMs) {
    EXPECT_TRUE(outcome.raised) << "passed with a body of " << outcome.body << " bytes";
    EXPECT_LT(outcome.elapsed, Ms(limitMs) + kMargin) << outcome.kind;
    EXPECT_FALSE(outcome.active) << outcome.kind;
  }

  TzqHttp client;
};

// A FIN before the header ends is a response without a valid head; inside a body, a cut body.
// A reset is the socket's error wherever it strikes.
TEST_P(HttpFault, CloseOrResetAtEachPhaseFailsAtOnce) {
  for (Fault fault : {Fault::Close, Fault::Reset}) {
    ForEachPhase(fault, [&](FaultPhase phase) {
      FaultPeer peer(Script(phase, fault));
      const Outcome outcome = Get(peer.Url());
      ExpectFailed(outcome, 0);
      if (fault == Fault::Reset) {
        EXPECT_EQ(outcome.code, WSAECONNRESET) << outcome.kind;
      } else if (InBody(phase)) {
        EXPECT_EQ(outcome.error, "EzqTcpClientError") << outcome.kind;
        EXPECT_TRUE(outcome.Says("The connection closed before the response body ended")) << outcome.kind;
      } else if (InHead(phase)) {
        EXPECT_TRUE(outcome.Says("EzqHttpError: The server's response has no valid status line")) << outcome.kind;
      } else {  // the request or the ClientHello went into a closed socket
        EXPECT_TRUE(outcome.code == WSAECONNRESET || outcome.code == WSAECONNABORTED) << outcome.kind;
      }
      EXPECT_EQ(peer.Accepted(), 1);
      EXPECT_EQ(peer.Errors(), "");
    });
  }
}

TEST_P(HttpFault, StallAtEachPhaseEndsByTimeOut) {
  ForEachPhase(Fault::Stall, [&](FaultPhase phase) {
    FaultPeer peer(Script(phase, Fault::Stall));
    const Outcome outcome = Get(peer.Url());
    ExpectFailed(outcome, kTimeOut);
    EXPECT_GE(outcome.elapsed, Ms(kTimeOut - 20)) << outcome.kind;
    EXPECT_EQ(outcome.error, "EzqSocketError") << outcome.kind;
    EXPECT_EQ(outcome.code, kTimeoutErrorCode) << outcome.kind;
    if (InHead(phase) || InBody(phase)) {
      EXPECT_EQ(peer.Received().rfind("GET / HTTP/1.1\r\n", 0), 0u);
    }
    EXPECT_EQ(peer.Errors(), "");
  });
}

// Each byte comes well within TimeOut, so only TotalTimeOut can end it; bytes that are not
// TLS at all end a TLS client at once.
TEST_P(HttpFault, DripAtEachPhaseEndsByTotalTimeOut) {
  client.SetTotalTimeOut(kTotalTimeOut);
  ForEachPhase(Fault::Drip, [&](FaultPhase phase) {
    FaultPeer peer(Script(phase, Fault::Drip));
    const Outcome outcome = Get(peer.Url());
    ExpectFailed(outcome, kTotalTimeOut);
    if (Tls() && phase == FaultPhase::Accepted) {
      EXPECT_EQ(outcome.error, "EzqSSPIError") << outcome.kind;
    } else {
      EXPECT_EQ(outcome.code, kTimeoutErrorCode) << outcome.kind;
      EXPECT_GE(outcome.elapsed, Ms(kTotalTimeOut - 20)) << outcome.kind;
    }
    EXPECT_EQ(peer.Errors(), "");
  });
}

// Endless bytes end at the header's cap, at MaxResponseSize for the body, at the trailer's cap,
// or at the TLS engine's refusal: never by memory or time running out.
TEST_P(HttpFault, FloodAtEachPhaseEndsBySizeOrTotalTimeOut) {
  client.SetTotalTimeOut(kTotalTimeOut);
  client.SetMaxResponseSize(kMaxBody);
  ForEachPhase(Fault::Flood, [&](FaultPhase phase) {
    FaultPeer peer(Script(phase, Fault::Flood));
    const Outcome outcome = Get(peer.Url());
    ExpectFailed(outcome, kTotalTimeOut);
    EXPECT_LE(outcome.body, kMaxBody);
    if (Tls() && (phase == FaultPhase::Accepted || phase == FaultPhase::Handshake)) {
      EXPECT_EQ(outcome.error, "EzqSSPIError") << outcome.kind;
    } else if (phase == FaultPhase::Trailer) {
      EXPECT_TRUE(outcome.Says("EzqStreamError: Invalid chunked data: the trailer section exceeds 1048576 bytes"))
          << outcome.kind;
    } else if (InBody(phase)) {
      EXPECT_TRUE(outcome.Says("EzqHttpError: The response body exceeds MaxResponseSize (262144 bytes)"))
          << outcome.kind;
      EXPECT_EQ(outcome.body, kMaxBody);
    } else {
      EXPECT_TRUE(outcome.Says("EzqHttpError: The server's response header exceeds 1048576 bytes")) << outcome.kind;
    }
    EXPECT_EQ(peer.Errors(), "");
  });
}

// A response read whole is the answer, whatever ends the connection after it; a reset right
// behind it does not take back what came first.
TEST_P(HttpFault, AWholeResponseBeforeTheFaultIsTheAnswer) {
  for (Fault fault : {Fault::Close, Fault::Reset, Fault::Stall}) {
    SCOPED_TRACE(test::FaultName(fault));
    FaultPeer peer(Script(FaultPhase::Answered, fault));
    TzqMemoryStream body;
    const auto start = std::chrono::steady_clock::now();
    client.Get(peer.Url(), nullptr, nullptr, &body);
    EXPECT_LT(std::chrono::steady_clock::now() - start, kMargin);
    EXPECT_EQ(body.DataString(), "ok");
    EXPECT_EQ(client.StatusCode(), 200);
    client.Close();
  }
}

// The same peer on ::1.
TEST_P(HttpFault, OnIpv6AResetAndAStallFailAlike) {
  for (Fault fault : {Fault::Reset, Fault::Stall}) {
    FaultScript script = Script(FaultPhase::LengthBody, fault);
    script.ipv6 = true;
    FaultPeer peer(script);
    const Outcome outcome = Get(peer.Url());
    ExpectFailed(outcome, kTimeOut);
    EXPECT_EQ(outcome.code, fault == Fault::Reset ? WSAECONNRESET : kTimeoutErrorCode) << outcome.kind;
    EXPECT_LE(outcome.body, 3);
    EXPECT_NE(peer.Received().find("\r\nHost: [::1]:"), std::string::npos) << peer.Received();
  }
}

// ---- uploads --------------------------------------------------------------------------------------

// More than loopback's socket buffers take, so that the client is still sending when the
// server gives up.
constexpr int64_t kUploadBytes = int64_t{32} << 20;

Outcome Put(TzqHttp& http, const std::string& url, std::string& raisedText) {
  TzqMemoryStream upload;
  upload.SetSize(kUploadBytes);
  TzqMemoryStream body;
  return Timed(
      http, body, [&] { http.Put(url, "application/octet-stream", &upload, nullptr, &body); }, &raisedText);
}

TEST_P(HttpFault, AnUploadThePeerStopsTakingEndsByTimeOut) {
  FaultScript script = Script(FaultPhase::StatusLine, Fault::Stall);
  script.upload = UploadFault::StopReading;
  FaultPeer peer(script);
  std::string text;
  const Outcome outcome = Put(client, peer.Url(), text);
  ExpectFailed(outcome, kTimeOut);
  EXPECT_EQ(outcome.code, kTimeoutErrorCode) << outcome.kind;
  const std::string received = peer.Received();
  EXPECT_EQ(received.rfind("PUT / HTTP/1.1\r\n", 0), 0u) << received.substr(0, 200);
  EXPECT_NE(received.find("\r\nContent-Length: 33554432\r\n"), std::string::npos);
  EXPECT_LT(received.size(), size_t{kUploadBytes});
}

// The server refuses the upload on its head and drops the connection while the client is still
// sending: the refusal it sent is the error, not the broken write.
TEST_P(HttpFault, AnUploadRejectedEarlyRaisesItsStatus) {
  FaultScript script = Script(FaultPhase::StatusLine, Fault::Close);
  script.upload = UploadFault::EarlyReject;
  FaultPeer peer(script);
  std::string text;
  const Outcome outcome = Put(client, peer.Url(), text);
  ExpectFailed(outcome, kTimeOut);
  EXPECT_EQ(outcome.code, 413) << outcome.kind;
  EXPECT_EQ(text, "too large\r\n");
  EXPECT_EQ(peer.Received().rfind("PUT / HTTP/1.1\r\n", 0), 0u);
}

// ---- the peer itself ------------------------------------------------------------------------------

// A test that ends while the peer stalls, drips or floods a client that stopped reading is
// not held up by it.
TEST(FaultPeer, StopsAtOnceWhateverItIsDoing) {
  for (Fault fault : {Fault::Stall, Fault::Drip, Fault::Flood}) {
    SCOPED_TRACE(test::FaultName(fault));
    FaultScript script;
    script.phase = FaultPhase::LengthBody;
    script.fault = fault;
    auto peer = std::make_unique<FaultPeer>(script);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    socklen_t length = 0;
    const sockaddr_storage address = test::LoopbackAddress(false, peer->Port(), length);
    ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), length), 0);
    test::WriteAll(fd, "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    test::Pause(100);
    const auto start = std::chrono::steady_clock::now();
    peer.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, Ms(100));
    ::close(fd);
  }
}

INSTANTIATE_TEST_SUITE_P(Transport, HttpFault, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Tls" : "Plain"; });

}  // namespace
}  // namespace zq
