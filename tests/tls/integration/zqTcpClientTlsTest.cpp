// The TLS TCP client against real TLS servers on loopback (s_server, a SOCKS server) and
// against a scripted server that switches to TLS after a plain exchange.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/tls/integration/zqTlsPeers.h"
#include "tls/zqTcpClientTls.h"

namespace zq {
namespace {

using test::TlsCertificates;
using test::TlsPeer;

void Aim(TzqTcpClientTls& client, int port, TzqClientTlsMode mode = ctImplicit) {
  client.SetServer("localhost");
  client.SetPort(port);
  client.SetUseTLS(mode);
  client.SetTimeOut(10000);
}

void Write(TzqTcpClientTls& client, const std::string& data) {
  TzqMemoryStream source(data);
  client.GetConnection().WriteData(&source);
}

// Reads until count bytes are there (or the peer is gone).
std::string Read(TzqTcpClientTls& client, size_t count) {
  TzqMemoryStream data;
  for (int i = 0; i < 100000 && static_cast<size_t>(data.Size()) < count && client.Active(); ++i)
    client.GetConnection().ReadData(&data);
  return data.DataString();
}

std::string ReadUntilClosed(TzqTcpClientTls& client) {
  TzqMemoryStream data;
  client.GetConnection().SetReadUntilClosed(true);
  while (client.Active()) client.GetConnection().ReadData(&data);
  return data.DataString();
}

std::string Get(TzqTcpClientTls& client, const std::string& path = "/") {
  Write(client, "GET " + path + " HTTP/1.0\r\n\r\n");
  return ReadUntilClosed(client);
}

// Lines whose reversal s_server -rev sends back; count bytes in all.
std::string Lines(size_t count) {
  std::string text;
  for (size_t i = 0; text.size() < count; ++i) {
    std::string line = "line " + std::to_string(i) + " " + std::string(i % 90, static_cast<char>('a' + i % 26)) + "\n";
    text += line;
  }
  text.resize(count);
  if (!text.empty()) text.back() = '\n';
  return text;
}

std::string Reversed(const std::string& lines) {
  std::string result;
  for (size_t start = 0; start < lines.size();) {
    size_t end = lines.find('\n', start);
    std::string line = lines.substr(start, end - start);
    result += std::string(line.rbegin(), line.rend()) + "\n";
    start = end + 1;
  }
  return result;
}

struct TlsVersion {
  const char* option;
  TzqTlsFlags flags;
};

class TcpClientTlsData : public ::testing::TestWithParam<TlsVersion> {};

TEST_P(TcpClientTlsData, DataBothWaysInSizesAcrossRecords) {
  TlsPeer peer("server", {"-rev", GetParam().option});
  TzqTcpClientTls client;
  Aim(client, peer.Port());
  client.SetTLSFlags(GetParam().flags);
  client.Open();
  ASSERT_TRUE(client.Active());
  for (size_t size : {size_t{1}, size_t{100}, size_t{16383}, size_t{16385}, size_t{70000}, size_t{3} << 20}) {
    std::string lines = Lines(size);
    std::string echoed;
    // in pieces, so that neither side's socket buffers fill while the other waits
    for (size_t at = 0; at < lines.size();) {
      size_t end = std::min(lines.size(), lines.find('\n', std::min(lines.size() - 1, at + 65536)) + 1);
      Write(client, lines.substr(at, end - at));
      echoed += Read(client, end - at);
      at = end;
    }
    ASSERT_EQ(echoed.size(), lines.size());
    EXPECT_TRUE(echoed == Reversed(lines)) << "size " << size;
  }
  client.Close();
}

INSTANTIATE_TEST_SUITE_P(Versions, TcpClientTlsData,
                         ::testing::Values(TlsVersion{"-tls1_2", kDefaultTlsFlags},
                                           TlsVersion{"-tls1_3", {tfUseTLS12, tfUseTLS13}}),
                         [](const auto& info) { return std::string(info.param.option + 1); });

TEST(TcpClientTls, DownloadOfSeveralMebibytes) {
  TlsPeer peer("server", {"-WWW"});
  std::string file(5 << 20, '\0');
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<char>((i * 131) ^ (i >> 9));
  std::ofstream(peer.Run() + "/large.bin", std::ios::binary) << file;
  TzqTcpClientTls client;
  Aim(client, peer.Port());
  client.Open();
  std::string answer = Get(client, "/large.bin");
  size_t body = answer.find("\r\n\r\n");
  ASSERT_NE(body, std::string::npos);
  EXPECT_TRUE(answer.substr(body + 4) == file);
}

// A TLS 1.3 server that sends no tickets says nothing after its Finished until asked: the
// client is ready once its own Finished is out.
TEST(TcpClientTls, Tls13ServerWithoutTicketsWaitsForTheClient) {
  TlsPeer peer("server", {"-www", "-tls1_3", "-num_tickets", "0"});
  TzqTcpClientTls client;
  Aim(client, peer.Port());
  client.SetTLSFlags({tfUseTLS12, tfUseTLS13});
  client.Open();
  ASSERT_TRUE(client.Active());
  EXPECT_EQ(Get(client).substr(0, 15), "HTTP/1.0 200 ok");
}

TEST(TcpClientTls, ZeroBytesEndsCleanlyWithTheShutdownToken) {
  // Under TLS 1.3 the server writes its tickets with write(2), possibly after the client left.
  ::signal(SIGPIPE, SIG_IGN);
  int listener = test::ListenOn(false, 0);
  int port = test::LocalPort(listener);
  bool closeNotify = false;
  std::thread server([&] {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) return;
    int fd = ::accept(listener, nullptr, nullptr);
    test::OpenSslSession session(fd, "server");
    if (session.Accept()) closeNotify = session.PeerSentCloseNotify();
    ::close(fd);
  });
  TzqTcpClientTls client;
  Aim(client, port);
  client.Open();
  client.Close();
  server.join();
  ::close(listener);
  EXPECT_TRUE(closeNotify);
}

// A server that sends much more than one read takes, as fast as it can, from the moment the
// handshake ends: Open returns, and each read hands out a bounded part instead of buffering
// all that keeps arriving.
TEST(TcpClientTls, AFastSenderIsReadInBoundedParts) {
  constexpr size_t kTotal = size_t{8} << 20;
  const std::string block = Lines(1 << 16);
  std::atomic<size_t> written{0};
  ::signal(SIGPIPE, SIG_IGN);  // the server writes with write(2): a client gone early must not end the tests
  test::ScriptedServer server([&](int fd) {
    test::OpenSslSession session(fd, "server");
    if (session.Accept())
      for (size_t sent = 0; sent < kTotal; sent += block.size(), written = sent) session.Write(block);
  });
  TzqTcpClientTls client;
  Aim(client, server.Port());
  client.Open();
  // Let the server fill the socket buffers before the first read.
  for (size_t before = 0, i = 0; i < 100 && (before == 0 || before != written); ++i) {
    before = written;
    test::Pause(100);
  }
  ASSERT_GT(written.load(), size_t{512} << 10) << "too little queued for the test to mean anything";
  TzqMemoryStream data;
  for (int i = 0; i < 4; ++i) {
    const int64_t before = data.Size();
    client.GetConnection().ReadData(&data);
    EXPECT_LE(data.Size() - before, 300 << 10) << "read " << i;
  }
  client.GetConnection().SetReadUntilClosed(true);
  while (client.Active()) client.GetConnection().ReadData(&data);
  ASSERT_EQ(static_cast<size_t>(data.Size()), kTotal);
  const std::string received = data.DataString();
  for (size_t at = 0; at < kTotal; at += block.size())
    ASSERT_EQ(received.compare(at, block.size(), block), 0) << "at " << at;
}

// A read that ends inside a record keeps that part while the client writes; the next read
// completes it.
TEST(TcpClientTls, ARecordInPartSurvivesAWrite) {
  ::signal(SIGPIPE, SIG_IGN);
  test::ScriptedServer server([&](int fd) {
    test::OpenSslSession session(fd, "server");
    if (!session.Accept()) return;
    const std::string first = session.Seal("first\n"), second = session.Seal("second\n");
    test::WriteAll(fd, first + second.substr(0, 9));
    const std::string line = session.ReadLine();
    test::WriteAll(fd, second.substr(9));
    session.Write("echo " + line);
  });
  TzqTcpClientTls client;
  Aim(client, server.Port());
  client.SetTLSFlags({tfUseTLS12});
  client.Open();
  ASSERT_EQ(Read(client, 6), "first\n");
  Write(client, "ping\n");
  EXPECT_EQ(Read(client, 17), "second\necho ping\n");
  client.Close();
}

struct TlsRejection {
  const char* certificate;
  uint32_t code;
  TzqCertificateVerifyFlag ignore;
};

class TcpClientTlsVerification : public ::testing::TestWithParam<TlsRejection> {};

TEST_P(TcpClientTlsVerification, RejectedWithItsCodeAcceptedWithItsFlagOrTheEvent) {
  TlsPeer peer(GetParam().certificate, {"-www"});
  {
    TzqTcpClientTls client;
    Aim(client, peer.Port());
    try {
      client.Open();
      ADD_FAILURE() << "Open succeeded";
    } catch (const EzqSocketError& e) {
      EXPECT_EQ(static_cast<uint32_t>(e.ErrorCode()), GetParam().code);
      EXPECT_EQ(e.Message(), SspiErrorText(e.ErrorCode()));
    }
    EXPECT_FALSE(client.Active());
  }
  {
    TzqTcpClientTls client;
    Aim(client, peer.Port());
    client.SetCertificateFlags({GetParam().ignore});
    client.Open();
    EXPECT_EQ(Get(client).rfind("HTTP/1.0 200 ok", 0), 0u);
  }
  TzqTcpClientTls client;
  Aim(client, peer.Port());
  int calls = 0;
  client.OnVerifyServer = [&](TzqObject* sender, TzqCertificate* certificate, const std::string& text, int32_t code,
                              bool& verified) {
    ++calls;
    EXPECT_EQ(sender, &client);
    ASSERT_NE(certificate, nullptr);
    EXPECT_EQ(static_cast<uint32_t>(code), GetParam().code);
    EXPECT_EQ(text, SspiErrorText(code));
    EXPECT_FALSE(verified);
    verified = true;
  };
  client.Open();
  EXPECT_EQ(Get(client).rfind("HTTP/1.0 200 ok", 0), 0u);
  EXPECT_EQ(calls, 1);
}

INSTANTIATE_TEST_SUITE_P(Certificates, TcpClientTlsVerification,
                         ::testing::Values(TlsRejection{"expired", CERT_E_EXPIRED, cfIgnoreDateInvalid},
                                           TlsRejection{"wronghost", CERT_E_CN_NO_MATCH, cfIgnoreCommonNameInvalid},
                                           TlsRejection{"selfsigned", CERT_E_UNTRUSTEDROOT, cfIgnoreUnknownAuthority},
                                           TlsRejection{"unknownca", CERT_E_CHAINING, cfIgnoreUnknownAuthority}),
                         [](const auto& info) { return std::string(info.param.certificate); });

TEST(TcpClientTls, ATrustedServerIsVerifiedOnceAndTheEventSeesSuccess) {
  TlsPeer peer("server", {"-www"});
  TzqTcpClientTls client;
  Aim(client, peer.Port());
  int calls = 0;
  client.OnVerifyServer = [&](TzqObject*, TzqCertificate* certificate, const std::string&, int32_t code,
                              bool& verified) {
    ++calls;
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(verified);
    EXPECT_EQ(certificate->IssuedTo(), "localhost");
  };
  client.Open();
  EXPECT_EQ(Get(client).rfind("HTTP/1.0 200 ok", 0), 0u);
  EXPECT_EQ(calls, 1);
}

class TcpClientTlsClientCertificate : public ::testing::TestWithParam<TlsVersion> {};

TEST_P(TcpClientTlsClientCertificate, SuppliedThroughTheEventOrNone) {
  const TlsCertificates& pki = TlsCertificates::Get();
  TlsPeer peer("server", {"-www", "-verify", "1", "-CAfile", pki.File("ca.pem"), GetParam().option});
  auto certificate = pki.Load("client");
  {
    TzqTcpClientTls client;
    Aim(client, peer.Port());
    client.SetTLSFlags(GetParam().flags);
    int asked = 0;
    client.OnGetCertificate = [&](TzqObject* sender, TzqCertificate*& given, TzqCertificateList&, bool& handled) {
      ++asked;
      EXPECT_EQ(sender, &client);
      EXPECT_EQ(given, nullptr);
      given = certificate.get();
      handled = true;
    };
    client.Open();
    std::string page = Get(client);
    EXPECT_NE(page.find("CN=Test Client"), std::string::npos) << page;
    EXPECT_EQ(asked, 1);
  }
  TzqTcpClientTls client;
  Aim(client, peer.Port());
  client.SetTLSFlags(GetParam().flags);
  client.Open();
  EXPECT_NE(Get(client).find("no client certificate available"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Versions, TcpClientTlsClientCertificate,
                         ::testing::Values(TlsVersion{"-tls1_2", kDefaultTlsFlags},
                                           TlsVersion{"-tls1_3", {tfUseTLS12, tfUseTLS13}}),
                         [](const auto& info) { return std::string(info.param.option + 1); });

TEST(TcpClientTls, AServerThatRequiresACertificateRefusesNone) {
  const TlsCertificates& pki = TlsCertificates::Get();
  TlsPeer peer("server", {"-www", "-Verify", "1", "-CAfile", pki.File("ca.pem"), "-tls1_2"});
  TzqTcpClientTls client;
  Aim(client, peer.Port());
  EXPECT_THROW(
      {
        client.Open();
        Get(client);
      },
      EzqError);
}

TEST(TcpClientTls, StartTlsAfterAPlainExchange) {
  bool closeNotify = false;
  test::ScriptedServer server([&](int fd) {
    test::WriteAll(fd, "220 ready\r\n");
    if (test::ReadExactly(fd, 10) != "STARTTLS\r\n") throw std::runtime_error("no STARTTLS");
    test::WriteAll(fd, "220 go ahead\r\n");
    test::OpenSslSession session(fd, "server");
    if (!session.Accept()) throw std::runtime_error("TLS accept failed");
    std::string line = session.ReadLine();
    session.Write("echo " + line);
    closeNotify = session.PeerSentCloseNotify();
  });
  TzqTcpClientTls client;
  client.SetServer("localhost");
  client.SetPort(server.Port());
  client.SetTimeOut(10000);
  client.Open();
  EXPECT_EQ(Read(client, 11), "220 ready\r\n");
  Write(client, "STARTTLS\r\n");
  EXPECT_EQ(Read(client, 14), "220 go ahead\r\n");
  int changes = 0;
  client.OnChanged = [&](TzqObject*) { ++changes; };
  client.StartTls();
  EXPECT_EQ(client.UseTLS(), ctExplicit);
  EXPECT_EQ(changes, 1);
  Write(client, "hello\n");
  EXPECT_EQ(Read(client, 11), "echo hello\n");
  client.Close();
  test::Pause(200);
  EXPECT_TRUE(closeNotify);
  EXPECT_EQ(server.Errors(), "");
}

TEST(TcpClientTls, StartTlsOnAClosedConnectionFails) {
  TzqTcpClientTls client;
  try {
    client.StartTls();
    FAIL();
  } catch (const EzqSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), -6);
  }
  EXPECT_FALSE(client.Active());
}

// A relay that hands the server's bytes to the client one at a time.
TEST(TcpClientTls, APeerThatSendsOneByteAtATime) {
  TlsPeer peer("server", {"-rev", "-tls1_2"});
  test::ScriptedServer relay([&](int client) {
    int server = test::ConnectTo(peer.Port());
    const int on = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    for (bool open = true; open;) {
      pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      if (::poll(p, 2, 5000) <= 0) break;
      char buffer[65536];
      if (p[0].revents != 0) {
        ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        test::WriteAll(server, std::string(buffer, static_cast<size_t>(n)));
      }
      if (p[1].revents != 0) {
        ssize_t n = ::recv(server, buffer, sizeof buffer, 0);
        open = n > 0;
        for (ssize_t i = 0; i < n; ++i) {
          test::WriteAll(client, std::string(1, buffer[i]));
          std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
      }
    }
    ::close(server);
  });
  TzqTcpClientTls client;
  Aim(client, relay.Port());
  client.Open();
  std::string lines = Lines(3000);
  Write(client, lines);
  EXPECT_EQ(Read(client, lines.size()), Reversed(lines));
  client.Close();
}

TEST(TcpClientTls, ThroughASocks5Server) {
  TlsPeer peer("server", {"-www"});
  test::SocksPeer socks("microsocks", {"127.0.0.1"});
  TzqTcpClientTls client;
  Aim(client, peer.Port());
  client.FirewallSettings().SetServer("127.0.0.1");
  client.FirewallSettings().SetPort(socks.Port());
  client.FirewallSettings().SetFirewallType(ftSocks5);
  client.Open();
  EXPECT_EQ(Get(client).rfind("HTTP/1.0 200 ok", 0), 0u);
}

// s_server -www reports the session it served: "New, TLSv1.3, Cipher is ...".
TEST(TcpClientTls, DefaultsReachAServerThatSpeaksOnlyTls13) {
  TlsPeer peer("server", {"-www", "-tls1_3"});
  TzqTcpClientTls client;
  Aim(client, peer.Port());
  client.Open();
  const std::string page = Get(client);
  EXPECT_EQ(page.rfind("HTTP/1.0 200 ok", 0), 0u);
  EXPECT_NE(page.find("New, TLSv1.3, Cipher is"), std::string::npos) << page;
}

// Keys below security level 2 are refused whatever the ignore flags say; the event still
// decides last.
TEST(TcpClientTls, WeakServerKeysAreRefused) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> servers = {
      {"weak1024", {"-www", "-cipher", "DEFAULT:@SECLEVEL=0"}},
      {"weak512", {"-www", "-tls1_2", "-cipher", "DEFAULT:@SECLEVEL=0"}},
  };
  const TzqCertificateVerifyFlags allIgnored{cfIgnoreCommonNameInvalid, cfIgnoreDateInvalid, cfIgnoreUnknownAuthority,
                                             cfIgnoreRevocation,        cfIgnoreWrongUsage,  cfIgnoreChainPolicyErrors};
  for (const auto& [certificate, arguments] : servers) {
    SCOPED_TRACE(certificate);
    TlsPeer peer(certificate, arguments);
    for (const TzqCertificateVerifyFlags& flags : {TzqCertificateVerifyFlags{}, allIgnored}) {
      TzqTcpClientTls client;
      Aim(client, peer.Port());
      client.SetCertificateFlags(flags);
      try {
        client.Open();
        ADD_FAILURE() << "Open succeeded";
      } catch (const EzqSocketError& e) {
        EXPECT_EQ(static_cast<uint32_t>(e.ErrorCode()), NTE_BAD_KEY);
        EXPECT_NE(e.Message().find("weaker than security level 2"), std::string::npos) << e.Message();
      }
      EXPECT_FALSE(client.Active());
    }
  }
}

TEST(TcpClientTls, CAFileAndCAPathReplaceTheSystemStore) {
  const TlsCertificates& pki = TlsCertificates::Get();
  TlsPeer privateCa("unknownca", {"-www"});
  TlsPeer publicCa("server", {"-www"});
  auto opened = [&](const TlsPeer& peer, const std::string& file, const std::string& path) {
    TzqTcpClientTls client;
    Aim(client, peer.Port());
    client.SetCAFile(file);
    client.SetCAPath(path);
    try {
      client.Open();
    } catch (const EzqError& e) {
      EXPECT_FALSE(client.Active());
      return std::string(e.what());
    }
    return Get(client).substr(0, 15);
  };
  // The system store (the test CA) does not know the private CA; the file does.
  EXPECT_EQ(opened(privateCa, "", ""), SspiErrorText(static_cast<int32_t>(CERT_E_CHAINING)));
  EXPECT_EQ(opened(privateCa, pki.File("untrusted-ca.pem"), ""), "HTTP/1.0 200 ok");
  // Used instead of the system store, not beside it.
  EXPECT_EQ(opened(publicCa, "", ""), "HTTP/1.0 200 ok");
  EXPECT_EQ(opened(publicCa, pki.File("untrusted-ca.pem"), ""),
            SspiErrorText(static_cast<int32_t>(CERT_E_UNTRUSTEDROOT)));
  const std::string hashed = privateCa.Run() + "/hashed";
  std::filesystem::create_directories(hashed);
  std::filesystem::copy_file(pki.File("untrusted-ca.pem"), hashed + "/private.pem");
  ASSERT_EQ(std::system(("openssl rehash '" + hashed + "'").c_str()), 0);
  EXPECT_EQ(opened(privateCa, "", hashed), "HTTP/1.0 200 ok");
  EXPECT_EQ(opened(privateCa, privateCa.Run() + "/missing.pem", ""), "The system cannot find the file specified");
}

}  // namespace
}  // namespace zq
