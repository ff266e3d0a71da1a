// The demo form handler as a running program: the library's own HTTPS client and curl get its
// pages and its answer, a connection carries request after request, and no bad client (bad
// TLS, malformed or oversized requests, silence, a dropped connection) stops it or holds up
// the others. It stops cleanly on SIGTERM and SIGINT.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "http/zqHttp.h"
#include "http/zqHttpRequest.h"
#include "tests/tools/integration/zqFormHandlerProcess.h"
#include "tests/tools/integration/zqTlsTestClient.h"

namespace zq {
namespace {

using test::Connect;
using test::FormHandlerProcess;
using test::TlsClient;

const char* const kFormPath = "/products/quorvex/demos/formpost.asp";
const char* const kHandlerPath = "/products/quorvex/demos/serverformpost.asp";

std::string StatusLine(const std::string& response) { return response.substr(0, response.find("\r\n")); }

struct CurlResult {
  int exitCode;
  std::string output;
};

CurlResult Curl(const std::string& arguments) {
  const std::string command = "curl -sS --max-time 10 " + arguments + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string output;
  char buffer[4096];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

class FormHandler : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    FormHandlerProcess::MakeCa();
    // The library's client in this process trusts the demo CA, as the window does.
    setenv("SSL_CERT_FILE", FormHandlerProcess::CaFile().c_str(), 1);
  }

  // The form posted by the library's own client; the answer's body.
  std::string PostForm(const std::string& name) {
    TzqHttp client;
    client.SetTimeOut(5000);
    TzqHttpRequest request;
    request.Header().SetContentType("application/x-www-form-urlencoded");
    request.AddFormField("Name", name);
    request.AddFormField("Birthdate", "10/10/77");
    request.AddFormField("Account", "123456");
    TzqMemoryStream body;
    client.Post(handler.Url(kHandlerPath), &request, &body);
    return body.DataString();
  }

  // The handler still serves, and promptly.
  void ExpectServing(const std::string& after) {
    const auto start = std::chrono::steady_clock::now();
    std::string answer;
    try {
      answer = PostForm("Still There");
    } catch (const std::exception& error) {
      ADD_FAILURE() << "after " << after << ": " << error.what();
    }
    EXPECT_EQ(answer.substr(0, answer.find('\n')), "Hello, Still There!") << "after " << after;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << "after " << after;
    EXPECT_TRUE(handler.Running()) << "after " << after;
  }

  FormHandlerProcess handler;
};

TEST_F(FormHandler, TheLibrarysClientAndCurlGetThePagesAndTheAnswer) {
  const std::string answer = PostForm("John Doe");
  EXPECT_EQ(answer.substr(0, answer.find("Received at ")),
            "Hello, John Doe!\nYour form has arrived with these fields:\nName: John Doe\nBirthdate: 10/10/77\nAccount: "
            "123456\n");

  TzqHttp client;
  client.SetTimeOut(5000);
  TzqMemoryStream page;
  client.Get(handler.Url(kFormPath), nullptr, nullptr, &page);
  EXPECT_NE(page.DataString().find("action=\"serverformpost.asp\""), std::string::npos);

  // curl over IPv4 and IPv6, trusting the demo CA through --cacert alone.
  const std::string ca = "--cacert '" + FormHandlerProcess::CaFile() + "' ";
  const CurlResult posted =
      Curl(ca + "--data 'Name=Jane+Roe&Birthdate=1%2F2%2F03&Account=9' '" + handler.Url(kHandlerPath) + "'");
  EXPECT_EQ(posted.exitCode, 0) << posted.output;
  EXPECT_EQ(
      posted.output.substr(0, posted.output.find("Received")),
      "Hello, Jane Roe!\nYour form has arrived with these fields:\nName: Jane Roe\nBirthdate: 1/2/03\nAccount: 9\n");
  const std::string v6 = "https://[::1]:" + std::to_string(handler.Port());
  const CurlResult support = Curl(ca + "-g '" + v6 + "/support/index.asp'");
  EXPECT_EQ(support.exitCode, 0) << support.output;
  EXPECT_NE(support.output.find("support"), std::string::npos);
  const CurlResult missing = Curl(ca + "-o /dev/null -w '%{http_code}' '" + handler.Url("/nothing/here") + "'");
  EXPECT_EQ(missing.output, "404");
}

TEST_F(FormHandler, AConnectionCarriesRequestAfterRequestAndAContinueBeforeABody) {
  TlsClient client(handler.Port());
  // Two requests in one write: two answers, framed by their lengths, the connection kept.
  client.Write(std::string("GET ") + kFormPath + " HTTP/1.1\r\nHost: localhost\r\n\r\n" + "POST " + kHandlerPath +
               " HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/x-www-form-urlencoded\r\n"
               "Content-Length: 6\r\n\r\nName=A");
  const std::string page = client.ReadResponse();
  EXPECT_EQ(StatusLine(page), "HTTP/1.1 200 OK");
  EXPECT_NE(page.find("\r\nConnection: keep-alive\r\n"), std::string::npos);
  EXPECT_EQ(page.substr(page.size() - 15), "</body></html>\n");
  const std::string answer = client.ReadResponse();
  EXPECT_NE(answer.find("\r\n\r\nHello, A!\n"), std::string::npos) << answer;

  client.Write(std::string("POST ") + kHandlerPath +
               " HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/x-www-form-urlencoded\r\n"
               "Expect: 100-continue\r\nContent-Length: 6\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(client.ReadResponse(), "HTTP/1.1 100 Continue\r\n\r\n");
  client.Write("Name=B");
  const std::string last = client.ReadResponse();
  EXPECT_NE(last.find("\r\nConnection: close\r\n"), std::string::npos);
  EXPECT_NE(last.find("\r\n\r\nHello, B!\n"), std::string::npos) << last;
  EXPECT_TRUE(client.ServerClosed());
}

TEST_F(FormHandler, BadClientsNeverStopItNorHoldUpTheOthers) {
  const std::string host = "Host: localhost\r\n";
  struct Refused {
    const char* what;
    std::string request;
  };
  const Refused refused[] = {
      {"a header over 64 KiB", "GET / HTTP/1.1\r\n" + host + "X-Big: " + std::string(70 * 1024, 'a') + "\r\n\r\n"},
      {"a body over 1 MiB", std::string("POST ") + kHandlerPath + " HTTP/1.1\r\n" + host +
                                "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 2000000\r\n\r\n" +
                                std::string(64 * 1024, 'x')},
      {"garbage", std::string("\x16\x03\x01 not http at all\r\n\r\n")},
  };
  for (const Refused& bad : refused) {
    TlsClient client(handler.Port());
    client.Write(bad.request);
    const std::string answer = client.ReadResponse();
    EXPECT_EQ(StatusLine(answer), "HTTP/1.1 400 Bad Request") << bad.what;
    EXPECT_NE(answer.find("\r\nConnection: close\r\n"), std::string::npos) << bad.what;
    EXPECT_TRUE(client.ServerClosed()) << bad.what;
    ExpectServing(bad.what);
  }

  {
    TlsClient client(handler.Port());
    client.Write(std::string("POST ") + kHandlerPath + " HTTP/1.1\r\n" + host + "Content-Length: 100\r\n\r\nName=");
  }  // gone mid-request, without a TLS close
  ExpectServing("a client gone mid-request");

  {
    const int fd = Connect(handler.Port());
    const std::string plain = "GET / HTTP/1.1\r\n\r\n";
    ::send(fd, plain.data(), plain.size(), MSG_NOSIGNAL);
    char c = 0;
    EXPECT_LE(::recv(fd, &c, 1, 0), 0);  // plain HTTP on the TLS port: the handshake fails and it hangs up
    ::close(fd);
  }
  ExpectServing("plain HTTP instead of TLS");

  // The client refuses the handshake: curl without the demo CA does not trust the certificate.
  const CurlResult untrusted = Curl("'" + handler.Url(kFormPath) + "'");
  EXPECT_EQ(untrusted.exitCode, 60) << untrusted.output;
  ExpectServing("a handshake the client refused");

  // Clients that connect and say nothing, in TLS or not at all, do not make others wait.
  const int silent = Connect(handler.Port());
  TlsClient quiet(handler.Port());
  ExpectServing("silent clients");
  ::close(silent);
}

TEST_F(FormHandler, StopsCleanlyOnSigtermAndSigintEvenWithClientsConnected) {
  TlsClient idle(handler.Port());
  const auto start = std::chrono::steady_clock::now();
  const int status = handler.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(idle.ServerClosed());

  FormHandlerProcess second;
  EXPECT_EQ(second.Output().find("zq_formhandler: serving https://localhost:" + std::to_string(second.Port())), 0u)
      << second.Output();
  ASSERT_TRUE(second.Running());
  const int interrupted = second.Stop(SIGINT);
  ASSERT_TRUE(WIFEXITED(interrupted)) << interrupted;
  EXPECT_EQ(WEXITSTATUS(interrupted), 0);
}

}  // namespace
}  // namespace zq
