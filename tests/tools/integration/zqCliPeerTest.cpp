// The zq program against the project's peers (nginx, httpbin, squid, dante, Apache with NTLM and
// Kerberos), next to curl with the same options: the same bytes written and the same kind of
// outcome.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/zqLoopback.h"
#include "tests/support/zqPeerProcesses.h"
#include "tests/tls/zqTlsTestCertificates.h"

namespace zq {
namespace {

using test::PeerProcesses;
using test::ReadWholeFile;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// program with arguments, bounded to 30 s, stdout and stderr kept.
Outcome Run(const std::string& program, const std::vector<std::string>& arguments) {
  test::TempDir dir;
  std::string command = "timeout 30 " + Quoted(program);
  for (const std::string& argument : arguments) command += " " + Quoted(argument);
  command += " > " + dir.File("out") + " 2> " + dir.File("err") + " < /dev/null";
  const int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadWholeFile(dir.File("out")), ReadWholeFile(dir.File("err"))};
}

Outcome Zq(const std::vector<std::string>& arguments) { return Run(ZQ_CLI, arguments); }
Outcome Curl(const std::vector<std::string>& arguments) { return Run("curl", arguments); }

// nginx-peer.sh with the test PKI.
class Nginx {
public:
  Nginx() : http_(test::FreePort()), https_(test::FreePort()) {
    const test::TlsCertificates& pki = test::TlsCertificates::Get();
    processes_.Start("nginx-peer.sh", {processes_.RunDir(), std::to_string(http_), std::to_string(https_),
                                       pki.File("server.pem"), pki.File("server.key")});
  }
  std::string Http(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(http_) + path; }
  std::string Https(const std::string& path) const { return "https://localhost:" + std::to_string(https_) + path; }
  std::string File(const std::string& name) const { return ReadWholeFile(processes_.RunDir() + "/www/" + name); }

private:
  PeerProcesses processes_;
  int http_;
  int https_;
};

// One kind of a peer script whose first arguments are KIND RUNDIR PORT, then any more it takes.
class Peer {
public:
  Peer(const std::string& script, const std::string& kind, const std::vector<std::string>& more = {})
      : port_(test::FreePort()) {
    ::chmod(processes_.Directory().c_str(), 0755);
    std::vector<std::string> arguments{kind, processes_.RunDir(), std::to_string(port_)};
    arguments.insert(arguments.end(), more.begin(), more.end());
    processes_.Start(script, arguments, 60);
  }
  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string RunDir() const { return processes_.RunDir(); }

private:
  PeerProcesses processes_;
  int port_;
};

class CliPeer : public ::testing::Test {
protected:
  static const Nginx& NginxPeer() {
    if (!nginx_) nginx_ = std::make_unique<Nginx>();
    return *nginx_;
  }
  static const Peer& Httpbin() { return Lazy(httpbin_, "auth-peer.sh", "httpbin"); }
  static const Peer& Squid() { return Lazy(squid_, "squid-peer.sh", "open"); }
  static const Peer& Dante() { return Lazy(dante_, "socks-peer.sh", "dante-noauth"); }
  static const Peer& SquidBasic() { return Lazy(squidBasic_, "squid-peer.sh", "basic"); }
  static const Peer& DanteUserPass() { return Lazy(danteUserPass_, "socks-peer.sh", "dante-userpass"); }
  // Apache with /ntlm/ (TESTDOM\ntlmuser / ntlmpass) and /krb/ (krbuser / krbpass), and its KDC.
  static const Peer& Gssapi() {
    if (!gssapi_)
      gssapi_ = std::make_unique<Peer>("auth-peer.sh", "apache-gssapi", std::vector{std::to_string(test::FreePort())});
    return *gssapi_;
  }
  static void TearDownTestSuite() {
    nginx_.reset();
    httpbin_.reset();
    squid_.reset();
    dante_.reset();
    squidBasic_.reset();
    danteUserPass_.reset();
    gssapi_.reset();
  }
  static std::string CaFile() { return test::TlsCertificates::Get().File("ca.pem"); }

  // zq and curl with the same arguments: both succeed and write the same bytes.
  static std::string SameAsCurl(const std::vector<std::string>& arguments) {
    const Outcome zq = Zq(arguments);
    const Outcome curl = Curl(arguments);
    EXPECT_EQ(zq.code, 0) << zq.err;
    EXPECT_EQ(curl.code, 0) << curl.err;
    EXPECT_EQ(zq.out.size(), curl.out.size());
    EXPECT_TRUE(zq.out == curl.out) << zq.out.substr(0, 200) << "\n--- curl:\n" << curl.out.substr(0, 200);
    return zq.out;
  }

private:
  static const Peer& Lazy(std::unique_ptr<Peer>& peer, const std::string& script, const std::string& kind) {
    if (!peer) peer = std::make_unique<Peer>(script, kind);
    return *peer;
  }
  static inline std::unique_ptr<Nginx> nginx_;
  static inline std::unique_ptr<Peer> httpbin_;
  static inline std::unique_ptr<Peer> squid_;
  static inline std::unique_ptr<Peer> dante_;
  static inline std::unique_ptr<Peer> squidBasic_;
  static inline std::unique_ptr<Peer> danteUserPass_;
  static inline std::unique_ptr<Peer> gssapi_;
};

TEST_F(CliPeer, BodiesOverHttpAndHttpsAreTheBytesCurlWrites) {
  const Nginx& nginx = NginxPeer();
  EXPECT_EQ(SameAsCurl({"-s", nginx.Http("/hello.txt")}), "hello world\n");
  EXPECT_EQ(SameAsCurl({"-s", "--cacert", CaFile(), nginx.Https("/large.bin")}), nginx.File("large.bin"));
  // gzip-coded and chunked, decoded by both
  EXPECT_EQ(SameAsCurl({"-s", "--compressed", "--tlsv1.2", "--cacert", CaFile(), nginx.Https("/lorem.txt")}),
            nginx.File("lorem.txt"));
  SameAsCurl({"-s", nginx.Http("/chunked/page.txt")});
  EXPECT_EQ(SameAsCurl({"-s", "-L", "--max-redirs", "2", nginx.Http("/hop2")}), "hello world\n");
  // Past the limit nothing is written; without -L the redirect's own body is the answer.
  const Outcome loop = Zq({"-L", "--max-redirs", "2", nginx.Http("/loop")});
  EXPECT_EQ(loop.code, 4);
  EXPECT_EQ(loop.out, "");
  EXPECT_EQ(loop.err, "zq: Maximum (2) redirects followed\n");
  EXPECT_EQ(Curl({"-s", "-L", "--max-redirs", "2", nginx.Http("/loop")}).code, 47);
  EXPECT_EQ(Zq({"-s", "-L", "--max-redirs", "0", nginx.Http("/r301")}).code, 4);
  SameAsCurl({"-s", nginx.Http("/r301")});
  EXPECT_EQ(SameAsCurl({"-s", nginx.Http("/status/404")}), "not found\n");

  test::TempDir dir;
  EXPECT_EQ(Zq({"-s", "-o", dir.File("out.bin"), nginx.Http("/large.bin")}).code, 0);
  EXPECT_TRUE(ReadWholeFile(dir.File("out.bin")) == nginx.File("large.bin"));
}

// --limit-rate counts bytes a second, as curl does: 3 MiB at 2 MiB/s take about 1.5 s.
TEST_F(CliPeer, LimitRateSlowsTheTransfer) {
  const Nginx& nginx = NginxPeer();
  const auto start = std::chrono::steady_clock::now();
  const Outcome limited = Zq({"-s", "--limit-rate", "2m", nginx.Http("/large.bin")});
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(limited.code, 0);
  EXPECT_TRUE(limited.out == nginx.File("large.bin"));
  EXPECT_GE(elapsed, std::chrono::milliseconds(1000));
  EXPECT_LT(elapsed, std::chrono::seconds(6));
}

TEST_F(CliPeer, UploadCustomMethodsAndFailures) {
  const Nginx& nginx = NginxPeer();
  test::TempDir dir;
  std::string data;
  for (int i = 0; data.size() < 300000; ++i) data += "upload line " + std::to_string(i) + "\n";
  std::ofstream(dir.File("up.txt"), std::ios::binary) << data;
  // To a URL ending in "/" the file goes under its own name.
  EXPECT_EQ(Zq({"-s", "-f", "-T", dir.File("up.txt"), nginx.Http("/dav/")}).code, 0);
  EXPECT_TRUE(nginx.File("dav/up.txt") == data);
  EXPECT_EQ(Zq({"-s", "-f", "-X", "DELETE", nginx.Http("/dav/up.txt")}).code, 0);
  const Outcome gone = Zq({"-f", nginx.Http("/dav/up.txt")});
  EXPECT_EQ(gone.code, 4);
  EXPECT_EQ(gone.out, "");
  EXPECT_TRUE(Has(gone.err, "404")) << gone.err;
  EXPECT_EQ(Curl({"-s", "-f", nginx.Http("/dav/up.txt")}).code, 22);
  EXPECT_EQ(SameAsCurl({"-s", "-X", "OPTIONS", nginx.Http("/form")}), "posted\n");

  EXPECT_EQ(Zq({"-X", "BAD METHOD", nginx.Http("/")}).code, 2);
  EXPECT_EQ(Zq({"--no-such-option", nginx.Http("/")}).code, 2);
  EXPECT_EQ(Zq({"-s", "http://127.0.0.1:" + std::to_string(test::FreePort()) + "/"}).code, 3);
  // The test CA is trusted only when named: without it the handshake fails, -k ignores that.
  const Outcome untrusted = Zq({"--cacert", dir.File("up.txt"), nginx.Https("/hello.txt")});
  EXPECT_EQ(untrusted.code, 3) << untrusted.err;
  EXPECT_EQ(Zq({"-s", "-k", "--cacert", dir.File("up.txt"), nginx.Https("/hello.txt")}).out, "hello world\n");
  EXPECT_EQ(Zq({"-s", "-o", dir.File("no/such/dir/file"), nginx.Http("/hello.txt")}).code, 1);
}

TEST_F(CliPeer, HeadAndVerboseTraces) {
  const Nginx& nginx = NginxPeer();
  const Outcome head = Zq({"-s", "-I", nginx.Http("/hello.txt")});
  EXPECT_EQ(head.code, 0);
  EXPECT_TRUE(head.out.rfind("HTTP/1.1 200 OK\r\n", 0) == 0) << head.out;
  EXPECT_TRUE(Has(head.out, "\r\nContent-Length: 12\r\n")) << head.out;
  EXPECT_TRUE(head.out.size() > 4 && head.out.compare(head.out.size() - 4, 4, "\r\n\r\n") == 0);
  const Outcome verbose = Zq({"-v", "-H", "X-Trace: on", nginx.Http("/hello.txt")});
  EXPECT_EQ(verbose.out, "hello world\n");
  EXPECT_TRUE(Has(verbose.err, "> GET /hello.txt HTTP/1.1\n")) << verbose.err;
  EXPECT_TRUE(Has(verbose.err, "> X-Trace: on\n")) << verbose.err;
  EXPECT_TRUE(Has(verbose.err, "< HTTP/1.1 200 OK\n")) << verbose.err;
}

TEST_F(CliPeer, HttpbinFormsAuthorizationCookiesAndTime) {
  const Peer& httpbin = Httpbin();
  const Outcome form = Zq({"-s", "-d", "name=Ann & Bob", "-d", "n=1", httpbin.Url("/post")});
  EXPECT_TRUE(Has(form.out, "\"name\":\"Ann & Bob\"")) << form.out;
  test::TempDir dir;
  std::ofstream(dir.File("note.txt")) << "file body\n";
  const Outcome multipart = Zq({"-s", "-F", "who=Ann", "-F", "up=@" + dir.File("note.txt"), httpbin.Url("/post")});
  EXPECT_TRUE(Has(multipart.out, "\"up\":\"file body\\n\"")) << multipart.out;
  EXPECT_TRUE(Has(multipart.out, "\"who\":\"Ann\"")) << multipart.out;

  SameAsCurl({"-s", "-u", "user:passwd", "--digest", httpbin.Url("/digest-auth/auth/user/passwd")});
  // A scheme asked for answers only its own challenge, as curl's does.
  for (const char* other : {"--ntlm", "--negotiate"}) {
    EXPECT_EQ(Zq({"-s", "-f", "-u", "user:passwd", other, httpbin.Url("/digest-auth/auth/user/passwd")}).code, 4)
        << other;
  }
  SameAsCurl({"-s", "-u", "u:p", "--basic", httpbin.Url("/basic-auth/u/p")});
  EXPECT_EQ(Zq({"-s", "-f", "-u", "u:wrong", httpbin.Url("/basic-auth/u/p")}).code, 4);

  // Cookies kept across runs in the library's stored form, and in Netscape files both ways
  // between zq and curl.
  const std::string jar = dir.File("jar");
  EXPECT_EQ(Zq({"-s", "-L", "--stored-cookies", "-c", jar, httpbin.Url("/cookies/set?k=v")}).code, 0);
  EXPECT_TRUE(Has(Zq({"-s", "-b", jar, httpbin.Url("/cookies")}).out, "\"k\":\"v\""));
  EXPECT_EQ(Curl({"-s", "-L", "-c", dir.File("curl.txt"), httpbin.Url("/cookies/set?fromcurl=1")}).code, 0);
  EXPECT_EQ(SameAsCurl({"-s", "-b", dir.File("curl.txt"), httpbin.Url("/cookies")}),
            "{\"cookies\":{\"fromcurl\":\"1\"}}\n");
  EXPECT_EQ(Zq({"-s", "-L", "-c", dir.File("zq.txt"), httpbin.Url("/cookies/set?fromzq=2")}).code, 0);
  EXPECT_TRUE(ReadWholeFile(dir.File("zq.txt")).rfind("# Netscape HTTP Cookie File\n", 0) == 0);
  EXPECT_EQ(SameAsCurl({"-s", "-b", dir.File("zq.txt"), httpbin.Url("/cookies")}),
            "{\"cookies\":{\"fromzq\":\"2\"}}\n");
  // A file that is no cookie file fails the run and is not overwritten as its jar.
  EXPECT_EQ(Zq({"-s", "-b", dir.File("note.txt"), "-c", dir.File("note.txt"), httpbin.Url("/cookies")}).code, 1);
  EXPECT_EQ(ReadWholeFile(dir.File("note.txt")), "file body\n");

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Zq({"-s", "-m", "1", httpbin.Url("/delay/5")}).code, 3);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
}

TEST_F(CliPeer, ThroughSquidAndSocks) {
  const Nginx& nginx = NginxPeer();
  EXPECT_EQ(SameAsCurl({"-s", "-x", Squid().Address(), nginx.Http("/lorem.txt")}), nginx.File("lorem.txt"));
  EXPECT_EQ(SameAsCurl({"-s", "-x", Squid().Address(), "--cacert", CaFile(), nginx.Https("/hello.txt")}),
            "hello world\n");
  EXPECT_EQ(SameAsCurl({"-s", "--socks5", Dante().Address(), nginx.Http("/hello.txt")}), "hello world\n");
  EXPECT_EQ(SameAsCurl({"-s", "--socks4", Dante().Address(), nginx.Http("/hello.txt")}), "hello world\n");
}

TEST_F(CliPeer, ProxyAndSocksCredentials) {
  const Nginx& nginx = NginxPeer();
  EXPECT_EQ(SameAsCurl({"-s", "-x", SquidBasic().Address(), "-U", "proxyuser:proxypass", nginx.Http("/hello.txt")}),
            "hello world\n");
  const Outcome refused = Zq({"-f", "-x", SquidBasic().Address(), "-U", "proxyuser:wrong", nginx.Http("/hello.txt")});
  EXPECT_EQ(refused.code, 4);
  EXPECT_TRUE(Has(refused.err, "407")) << refused.err;
  // curl takes SOCKS credentials in a proxy URL.
  const Outcome zq = Zq(
      {"-s", "--socks5", DanteUserPass().Address(), "--socks-user", "socksuser:sockspass", nginx.Http("/large.bin")});
  const Outcome curl =
      Curl({"-s", "-x", "socks5://socksuser:sockspass@" + DanteUserPass().Address(), nginx.Http("/large.bin")});
  EXPECT_EQ(zq.code, 0) << zq.err;
  EXPECT_EQ(curl.code, 0) << curl.err;
  EXPECT_TRUE(zq.out == curl.out && zq.out == nginx.File("large.bin"));
  EXPECT_EQ(
      Zq({"-s", "--socks5", DanteUserPass().Address(), "--socks-user", "socksuser:wrong", nginx.Http("/hello.txt")})
          .code,
      3);
}

// The peer's Kerberos realm for the programs run, with a ticket cache of the test's own that
// kinit fills; restored when the test ends. MIT Kerberos frees objects of its OpenSSL back end
// only when it is unloaded, after a sanitized zq's leak check, and they can be told apart only
// by that library: the check leaves them out in the programs run here.
class KerberosScope {
public:
  explicit KerberosScope(const Peer& peer) {
    ::setenv("KRB5_CONFIG", (peer.RunDir() + "/krb5.conf").c_str(), 1);
    ::setenv("KRB5CCNAME", ("FILE:" + dir_.File("ccache")).c_str(), 1);
    std::ofstream(dir_.File("lsan.supp")) << "leak:libcrypto.so\n";
    ::setenv("LSAN_OPTIONS", ("suppressions=" + dir_.File("lsan.supp")).c_str(), 1);
  }
  ~KerberosScope() {
    ::unsetenv("KRB5_CONFIG");
    ::unsetenv("KRB5CCNAME");
    ::unsetenv("LSAN_OPTIONS");
  }
  KerberosScope(const KerberosScope&) = delete;
  KerberosScope& operator=(const KerberosScope&) = delete;

  bool Kinit(const std::string& principal, const std::string& password) const {
    const std::string command =
        "printf '%s\\n' " + Quoted(password) + " | timeout 30 kinit " + Quoted(principal) + " > /dev/null 2>&1";
    return std::system(command.c_str()) == 0;
  }

private:
  test::TempDir dir_;
};

// curl's NTLM negotiate message lacks the version field gss-ntlmssp insists on, so this server
// refuses curl's --ntlm before any password is checked; zq is held to the file's bytes instead.
TEST_F(CliPeer, NtlmAnswersOnlyNtlmWithThePasswordChecked) {
  const Peer& apache = Gssapi();
  const std::string url = apache.Url("/ntlm/hello.txt");
  const Outcome good = Zq({"-s", "-f", "--ntlm", "-u", "TESTDOM\\ntlmuser:ntlmpass", url});
  EXPECT_EQ(good.code, 0) << good.err;
  EXPECT_EQ(good.out, "hello world\n");
  // The server offers Negotiate first; --ntlm answers with NTLM alone, on one connection.
  const Outcome traced = Zq({"-v", "--ntlm", "-u", "TESTDOM\\ntlmuser:ntlmpass", url});
  EXPECT_EQ(traced.out, "hello world\n");
  EXPECT_TRUE(Has(traced.err, "> Authorization: NTLM ")) << traced.err;
  EXPECT_FALSE(Has(traced.err, "> Authorization: Negotiate")) << traced.err;
  EXPECT_TRUE(Has(traced.err, "< HTTP/1.1 200 OK\n")) << traced.err;

  const Outcome wrong = Zq({"-f", "--ntlm", "-u", "TESTDOM\\ntlmuser:wrong", url});
  EXPECT_EQ(wrong.code, 4);
  EXPECT_EQ(wrong.out, "");
  EXPECT_TRUE(Has(wrong.err, "401")) << wrong.err;
  EXPECT_EQ(Curl({"-s", "-f", "--ntlm", "-u", "TESTDOM\\ntlmuser:wrong", url}).code, 22);
}

TEST_F(CliPeer, NegotiateWithATicketAsCurlUsesIt) {
  const Peer& apache = Gssapi();
  const KerberosScope kerberos(apache);
  const std::string url = apache.Url("/krb/hello.txt");
  // No ticket yet: both end at the server's 401.
  const Outcome none = Zq({"-f", "--negotiate", "-u", ":", url});
  EXPECT_EQ(none.code, 4);
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.err, "zq: HTTP/1.1 401 Unauthorized\n");
  EXPECT_EQ(Curl({"-s", "-f", "--negotiate", "-u", ":", url}).code, 22);

  ASSERT_TRUE(kerberos.Kinit("krbuser@TEST.LOCAL", "krbpass"));
  EXPECT_EQ(SameAsCurl({"-s", "--negotiate", "-u", ":", url}), "hello world\n");
  const Outcome traced = Zq({"-v", "--negotiate", url});
  EXPECT_EQ(traced.out, "hello world\n");
  EXPECT_TRUE(Has(traced.err, "> Authorization: Negotiate ")) << traced.err;
  // A ticket does not make --ntlm answer Negotiate.
  EXPECT_EQ(Zq({"-s", "-f", "--ntlm", url}).code, 4);
}

// Explicit credentials get their own ticket, without a cache: beyond what curl's --negotiate does.
TEST_F(CliPeer, NegotiateWithAPassword) {
  const Peer& apache = Gssapi();
  const KerberosScope kerberos(apache);
  const std::string url = apache.Url("/krb/hello.txt");
  const Outcome good = Zq({"-s", "-f", "--negotiate", "-u", "krbuser:krbpass", url});
  EXPECT_EQ(good.code, 0) << good.err;
  EXPECT_EQ(good.out, "hello world\n");
  // The KDC refuses the password before the server is answered: no HTTP status to report.
  const Outcome wrong = Zq({"-f", "--negotiate", "-u", "krbuser:wrong", url});
  EXPECT_EQ(wrong.code, 3);
  EXPECT_EQ(wrong.out, "");
  EXPECT_TRUE(Has(wrong.err, "8009030C")) << wrong.err;
}

}  // namespace
}  // namespace zq
