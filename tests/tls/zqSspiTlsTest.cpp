#include "tls/zqSspiTls.h"

#include <gtest/gtest.h>

#include <memory>

#include "tests/support/zqTestSupport.h"
#include "tests/tls/zqTlsTestCertificates.h"
#include "tests/tls/zqTlsTestStreams.h"

namespace zq {
namespace {

using test::TlsCertificates;

TEST(TlsFlags, ProtocolBitsFollowTheFlags) {
  EXPECT_EQ(TlsProtocolBits(kDefaultTlsFlags, false), 0xA80u);
  EXPECT_EQ(TlsProtocolBits(kDefaultTlsFlags, true), 0x540u);
  // SSL 2 is dropped whenever TLS 1.2 is asked for too
  EXPECT_EQ(TlsProtocolBits({tfUseSSL2, tfUseTLS12}, false), 0x800u);
  EXPECT_EQ(TlsProtocolBits({tfUseSSL2, tfUseSSL3}, true), 0x14u);
  EXPECT_EQ(TlsProtocolBits({tfUseTLS13}, false), SP_PROT_TLS1_3_CLIENT);
  EXPECT_EQ(CertificateCheckFlags({cfIgnoreCommonNameInvalid, cfIgnoreDateInvalid, cfIgnoreUnknownAuthority,
                                   cfIgnoreRevocation, cfIgnoreWrongUsage}),
            0x3380u);
  EXPECT_EQ(ChainPolicyFlags({cfIgnoreChainPolicyErrors}), 0xFFFFu);
  EXPECT_EQ(CertificateCheckFlags({cfIgnoreChainPolicyErrors}), 0u);
  // the revocation members are exclusive: the first present wins
  EXPECT_EQ(ChainBuildFlags({rfCheckAll, rfCheckEndOnly}), 0x10000000u);
  EXPECT_EQ(ChainBuildFlags({rfCheckAll, rfExcludeRoot}), 0x20000000u);
  EXPECT_EQ(ChainBuildFlags({rfExcludeRoot, rfCacheEndCert, rfAccumulativeTimeout}), 0x48000001u);
}

TEST(TlsMapStatus, KnownStatusesMapAndOthersRaiseWithTheFallback) {
  EXPECT_EQ(MapStatus(SEC_E_OK, -4), srOk);
  EXPECT_EQ(MapStatus(SEC_I_CONTINUE_NEEDED, -4), srContinue);
  EXPECT_EQ(MapStatus(SEC_I_COMPLETE_NEEDED, -4), srSendFinal);
  EXPECT_EQ(MapStatus(SEC_I_CONTEXT_EXPIRED, -4), srClosed);
  EXPECT_EQ(MapStatus(SEC_I_RENEGOTIATE, -4), srRenegotiate);
  EXPECT_EQ(MapStatus(SEC_E_INCOMPLETE_MESSAGE, -4), srIncompleteRecord);
  try {
    MapStatus(0x0ABCDEF0, -4);
    FAIL();
  } catch (const EzqSSPIError& e) {
    EXPECT_STREQ(e.what(), "AcquireCredentials failed");
    EXPECT_EQ(e.ErrorCode(), 0x0ABCDEF0);
  }
}

TEST(TlsSspi, PackageFoundAtConstructionAndNameRules) {
  TzqTlsClientSspi client;
  EXPECT_EQ(client.PackageIndex(), 0);
  EXPECT_STREQ(client.PackageName(), "Microsoft Unified Security Protocol Provider");
  EXPECT_TRUE(client.TLSFlags() == kDefaultTlsFlags);
  EXPECT_TRUE(client.UseSystemTLSFlags());
  // the default target is a day count
  EXPECT_GT(std::stod(client.TargetName()), 40000.0);
  client.SetSecurityPackage("   ");
  EXPECT_STREQ(client.PackageName(), "Microsoft Unified Security Protocol Provider");
  client.SetSecurityPackage(" Other ");
  EXPECT_STREQ(client.PackageName(), " Other ");
}

// A client and a server engine talking through memory, the way the TLS stream drives them.
class TlsSession : public ::testing::Test {
protected:
  void SetUp() override {
    serverCertificates_.Add(TlsCertificates::Get().Load("server").release());
    client_.SetTargetName("localhost");
  }

  void UseServerCertificate(const std::string& name) {
    serverCertificates_.Clear();
    serverCertificates_.Add(TlsCertificates::Get().Load(name).release());
  }

  // Moves what one side left in its stream over to the other side's input.
  static void Transfer(TzqMemoryStream& from, TzqMemoryStream& to) {
    to.Clear();
    to.WriteBuffer(from.Memory() + from.Position(), from.Size() - from.Position());
    to.SetPosition(0);
    from.Clear();
  }

  // Runs a handshake to its end; returns the client's last result.
  TzqTlsStepResult Handshake(TzqTlsClientSspi& client, TzqTlsServerSspi& server) {
    TzqMemoryStream clientIo, serverIo;
    TzqTlsStepResult clientResult = client.HandshakeStep(clientIo, clientCertificates_, false);
    EXPECT_EQ(clientResult, srSendToken);
    for (int round = 0; round < 10; ++round) {
      Transfer(clientIo, serverIo);
      TzqTlsStepResult serverResult = server.HandshakeStep(serverIo, serverCertificates_, false);
      if (serverResult != srSendToken && serverResult != srOk) return serverResult;
      Transfer(serverIo, clientIo);
      clientResult = client.HandshakeStep(clientIo, clientCertificates_, false);
      if (clientResult == srCertificateNeeded) {
        ++certificateRequests_;
        if (nextClientCertificate_) clientCertificates_.Add(nextClientCertificate_.release());
        clientResult = client.HandshakeStep(clientIo, clientCertificates_, true);
      }
      if (clientResult == srOk || clientResult == srOkWithExtra) {
        serverDone_ = serverResult == srOk;
        // what followed the handshake (TLS 1.3 tickets) is record data for the client
        TzqMemoryStream plain;
        if (clientResult == srOkWithExtra) {
          EXPECT_EQ(client.Decrypt(clientIo, plain, clientIo), srOk);
        }
        EXPECT_EQ(plain.Size(), 0);
        return clientResult;
      }
      if (clientResult != srSendToken) return clientResult;
    }
    ADD_FAILURE() << "handshake did not end";
    return srNoAction;
  }
  TzqTlsStepResult Handshake() { return Handshake(client_, server_); }

  // Protects data on one side and decrypts it on the other.
  static std::string Send(TzqTlsSspi& from, TzqTlsSspi& to, const std::string& data) {
    TzqMemoryStream source(data), wire, plain;
    EXPECT_EQ(from.Encrypt(source, wire, static_cast<int64_t>(data.size())), srOk);
    EXPECT_EQ(source.Position(), 0);
    EXPECT_EQ(wire.Position(), 0);
    EXPECT_EQ(to.Decrypt(wire, plain, wire), data.empty() ? srIncompleteRecord : srOk);
    return plain.DataString();
  }

  static std::string Record(TzqTlsSspi& from, const std::string& data) {
    TzqMemoryStream source(data), wire;
    from.Encrypt(source, wire, source.Size());
    return wire.DataString();
  }

  TzqTlsClientSspi client_;
  TzqTlsServerSspi server_;
  TzqCertificateList clientCertificates_{true};
  TzqCertificateList serverCertificates_{true};
  std::unique_ptr<TzqCertificate> nextClientCertificate_;
  int certificateRequests_ = 0;
  bool serverDone_ = false;
};

TEST_F(TlsSession, Tls12HandshakeVerifiesTheServerAndCarriesDataBothWays) {
  ASSERT_EQ(Handshake(), srOk);
  EXPECT_TRUE(serverDone_);
  EXPECT_EQ(client_.NegotiatedProtocol(), SP_PROT_TLS1_2_CLIENT);
  EXPECT_EQ(client_.NegotiatedCipherStrength(), 256u);  // OpenSSL's first choice, AES-256-GCM
  EXPECT_EQ(TzqTlsClientSspi().NegotiatedCipherStrength(), 0u);
  EXPECT_TRUE(client_.ServerVerified());
  EXPECT_EQ(client_.LastStatus(), 0);
  ASSERT_NE(client_.PeerCertificate(), nullptr);
  EXPECT_EQ(client_.PeerCertificate()->IssuedTo(), "localhost");
  EXPECT_EQ(Send(client_, server_, "GET / HTTP/1.1\r\n\r\n"), "GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(Send(server_, client_, "HTTP/1.1 200 OK\r\n"), "HTTP/1.1 200 OK\r\n");
  EXPECT_EQ(Send(client_, server_, ""), "");
  const SecPkgContext_StreamSizes& sizes = client_.GetStreamSizes();
  EXPECT_EQ(sizes.cbHeader, 5u);
  EXPECT_EQ(sizes.cbMaximumMessage, 16384u);
}

TEST_F(TlsSession, Tls13HandshakeWhenAskedFor) {
  client_.SetTLSFlags({tfUseTLS12, tfUseTLS13});
  server_.SetTLSFlags({tfUseTLS12, tfUseTLS13});
  ASSERT_EQ(Handshake(), srOkWithExtra);
  EXPECT_EQ(client_.NegotiatedProtocol(), SP_PROT_TLS1_3_CLIENT);
  EXPECT_TRUE(client_.ServerVerified());
  std::string large(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 + i / 251);
  EXPECT_EQ(Send(client_, server_, large), large);
  EXPECT_EQ(Send(server_, client_, large), large);
}

// The client's Finished ends a TLS 1.3 handshake; records sent right behind it reach the
// server in the same input as the Finished, and the server's tickets are record data.
TEST_F(TlsSession, Tls13ClientFinishedIsItsLastTokenAndRecordsMayFollowIt) {
  client_.SetTLSFlags({tfUseTLS12, tfUseTLS13});
  server_.SetTLSFlags({tfUseTLS12, tfUseTLS13});
  TzqMemoryStream clientIo, serverIo;
  ASSERT_EQ(client_.HandshakeStep(clientIo, clientCertificates_, false), srSendToken);
  EXPECT_FALSE(client_.HandshakeComplete());
  Transfer(clientIo, serverIo);
  ASSERT_EQ(server_.HandshakeStep(serverIo, serverCertificates_, false), srSendToken);
  Transfer(serverIo, clientIo);
  ASSERT_EQ(client_.HandshakeStep(clientIo, clientCertificates_, false), srSendToken);
  EXPECT_TRUE(client_.HandshakeComplete());
  EXPECT_TRUE(client_.ServerVerified());

  std::string wire = clientIo.DataString();
  wire += Record(client_, "first");
  wire += Record(client_, "second");
  clientIo.Clear();
  serverIo.Clear();
  serverIo.WriteString(wire);
  serverIo.SetPosition(0);
  ASSERT_EQ(server_.HandshakeStep(serverIo, serverCertificates_, false), srOk);
  EXPECT_TRUE(server_.HandshakeComplete());
  TzqMemoryStream tickets(serverIo.DataString()), nothing;
  EXPECT_EQ(client_.Decrypt(tickets, nothing, tickets), srOk);
  EXPECT_EQ(nothing.Size(), 0);

  TzqMemoryStream third(Record(client_, "third")), plain;
  EXPECT_EQ(server_.Decrypt(third, plain, third), srOk);
  EXPECT_EQ(plain.DataString(), "firstsecondthird");
  EXPECT_EQ(Send(server_, client_, "reply"), "reply");
}

TEST_F(TlsSession, NoCommonProtocolFailsWithAClearError) {
  client_.SetTLSFlags({tfUseTLS13});
  server_.SetTLSFlags({tfUseTLS12});
  try {
    Handshake();
    FAIL();
  } catch (const EzqSSPIError& e) {
    EXPECT_EQ(e.ErrorCode(), SEC_E_ALGORITHM_MISMATCH);
  }
  TzqTlsClientSspi onlySsl;
  onlySsl.SetTLSFlags({tfUseSSL2, tfUseSSL3});
  TzqMemoryStream io;
  TzqCertificateList none(false);
  try {
    onlySsl.HandshakeStep(io, none, false);
    FAIL();
  } catch (const EzqSSPIError& e) {
    EXPECT_EQ(e.ErrorCode(), SEC_E_ALGORITHM_MISMATCH);
  }
}

TEST_F(TlsSession, RecordsSplitAnywhereAreKeptUntilComplete) {
  ASSERT_EQ(Handshake(), srOk);
  TzqMemoryStream source(std::string(40000, 'r')), wire;
  ASSERT_EQ(client_.Encrypt(source, wire, 40000), srOk);  // three records
  std::string records = wire.DataString();
  // A received block of 5 bytes or fewer is kept whole, and so is a partial record.
  TzqMemoryStream input, plain;
  std::string received;
  for (size_t at = 0; at < records.size();) {
    size_t piece = std::min<size_t>(records.size() - at, at % 3 == 0 ? 1 : 7001);
    test::Append(input, records.substr(at, piece));
    at += piece;
    TzqTlsStepResult result = server_.Decrypt(input, plain, input);
    EXPECT_TRUE(result == srOk || result == srIncompleteRecord || result == srPartialRecord) << result;
    if (result == srOk) input.Clear();
  }
  EXPECT_EQ(plain.DataString(), std::string(40000, 'r'));
}

// The server's flights reach the client a few bytes at a time, handled the way the TLS stream
// does: more bytes are appended after an incomplete step, a new flight replaces the input.
TEST_F(TlsSession, HandshakeFlightsArrivingInSmallPieces) {
  for (TzqTlsFlags flags : {kDefaultTlsFlags, TzqTlsFlags{tfUseTLS12, tfUseTLS13}}) {
    TzqTlsClientSspi client;
    TzqTlsServerSspi server;
    client.SetTargetName("localhost");
    client.SetTLSFlags(flags);
    server.SetTLSFlags(flags);
    TzqMemoryStream clientIo, serverIo;
    ASSERT_EQ(client.HandshakeStep(clientIo, clientCertificates_, false), srSendToken);
    TzqTlsStepResult clientState = srAwaitingPeer;
    for (int round = 0; round < 10 && clientState != srOk && clientState != srOkWithExtra; ++round) {
      Transfer(clientIo, serverIo);
      TzqTlsStepResult serverState = server.HandshakeStep(serverIo, serverCertificates_, false);
      ASSERT_TRUE(serverState == srSendToken || serverState == srOk);
      std::string flight = serverIo.DataString();
      serverIo.Clear();
      clientState = srAwaitingPeer;
      for (size_t at = 0; at < flight.size() && clientState != srSendToken;) {
        size_t piece = std::min<size_t>(flight.size() - at, 1 + at % 4);
        if (clientState == srNeedMoreData) {
          test::Append(clientIo, flight.substr(at, piece));
        } else {
          clientIo.Clear();
          clientIo.WriteString(flight.substr(at, piece));
          clientIo.SetPosition(0);
        }
        at += piece;
        clientState = client.HandshakeStep(clientIo, clientCertificates_, false);
        ASSERT_TRUE(clientState == srNeedMoreData || clientState == srSendToken || clientState == srOk ||
                    clientState == srOkWithExtra || clientState == srNoAction)
            << clientState;
        if (clientState == srNoAction) clientState = srAwaitingPeer;  // all taken, nothing to say yet
      }
    }
    EXPECT_TRUE(client.ServerVerified());
    TzqMemoryStream plain;
    if (clientState == srOkWithExtra) client.Decrypt(clientIo, plain, clientIo);
    EXPECT_EQ(Send(client, server, "after the pieces"), "after the pieces");
  }
}

TEST_F(TlsSession, TwoRecordsAndPartOfAThirdDecryptTwoAndKeepThree) {
  ASSERT_EQ(Handshake(), srOk);
  std::string wire = Record(client_, "first");
  wire += Record(client_, "second");
  wire += Record(client_, "third").substr(0, 3);
  TzqMemoryStream input(wire), plain;
  EXPECT_EQ(server_.Decrypt(input, plain, input), srPartialRecord);
  EXPECT_EQ(plain.DataString(), "firstsecond");
  EXPECT_EQ(input.Size() - input.Position(), 3);
}

// Records are decrypted where they lie in the input: a record cut at any byte is kept (from
// the start of the input) and completed by what follows, under both protocol versions.
TEST_F(TlsSession, RecordsCutAtEveryByteComplete) {
  for (TzqTlsFlags flags : {kDefaultTlsFlags, TzqTlsFlags{tfUseTLS12, tfUseTLS13}}) {
    TzqTlsClientSspi client;
    TzqTlsServerSspi server;
    client.SetTargetName("localhost");
    client.SetTLSFlags(flags);
    server.SetTLSFlags(flags);
    ASSERT_NE(Handshake(client, server), srNoAction);
    for (size_t cut = 0;; ++cut) {
      const std::string first = "first " + std::to_string(cut), second = "second " + std::to_string(cut);
      std::string wire = Record(server, first);
      wire += Record(server, second);
      if (cut >= wire.size()) break;
      TzqMemoryStream input(wire.substr(0, cut)), plain;
      SCOPED_TRACE(cut);
      TzqTlsStepResult result = client.Decrypt(input, plain, input);
      if (result == srOk) input.Clear();
      test::Append(input, wire.substr(cut));
      EXPECT_EQ(client.Decrypt(input, plain, input), srOk) << "cut " << cut;
      EXPECT_EQ(plain.DataString(), first + second) << "cut " << cut;
    }
  }
}

// Many records in one input all come out; a close_notify among them ends the session after
// the records before it, and what follows it is not read.
TEST_F(TlsSession, ManyRecordsInOneInputAndACloseNotifyAmongThem) {
  ASSERT_EQ(Handshake(), srOk);
  std::string wire, expected;
  for (int i = 0; i < 200; ++i) {
    std::string piece = std::string(static_cast<size_t>(i * 37 % 500), static_cast<char>('a' + i % 26)) + "|";
    wire += Record(server_, piece);
    expected += piece;
  }
  TzqMemoryStream input(wire), plain;
  EXPECT_EQ(client_.Decrypt(input, plain, input), srOk);
  EXPECT_TRUE(plain.DataString() == expected);

  TzqMemoryStream token;
  std::string tail = Record(server_, "last");
  ASSERT_EQ(server_.CloseSession(token), srSendFinal);
  TzqMemoryStream closing(tail + token.DataString() + "trailing bytes");
  plain.Clear();
  EXPECT_EQ(client_.Decrypt(closing, plain, closing), srClosed);
  EXPECT_EQ(plain.DataString(), "last");
  test::Append(closing, "more bytes after the end");
  EXPECT_EQ(client_.Decrypt(closing, plain, closing), srClosed);
  EXPECT_EQ(plain.DataString(), "last");
}

// Records go at the destination's position, after what it holds, whether the destination is
// memory or not; both positions are left where they were.
TEST_F(TlsSession, EncryptAppendsToMemoryAndToOtherStreams) {
  ASSERT_EQ(Handshake(), srOk);
  const std::string data(40000, 'q');
  TzqMemoryStream source(data), memory("kept");
  memory.Seek(0, soEnd);
  ASSERT_EQ(client_.Encrypt(source, memory, source.Size()), srOk);
  EXPECT_EQ(memory.Position(), 4);
  EXPECT_EQ(source.Position(), 0);
  const std::string wire = memory.DataString();
  EXPECT_EQ(wire.substr(0, 4), "kept");

  test::TempDir dir;
  TzqFileStream file(dir.Path() + "/records", fmCreate);
  ASSERT_EQ(client_.Encrypt(source, file, source.Size()), srOk);
  EXPECT_EQ(file.Position(), 0);
  TzqMemoryStream fromFile;
  fromFile.CopyFrom(file, 0);

  TzqMemoryStream input(wire.substr(4) + fromFile.DataString()), plain;
  EXPECT_EQ(server_.Decrypt(input, plain, input), srOk);
  EXPECT_TRUE(plain.DataString() == data + data);
}

TEST_F(TlsSession, EncryptCutsLargeDataIntoMaximumSizeRecordsInOrder) {
  ASSERT_EQ(Handshake(), srOk);
  std::string data(2 * 16384 + 100, 'x');
  std::string wire = Record(client_, data);
  size_t records = 0;
  for (size_t at = 0; at + 5 <= wire.size(); ++records)
    at += 5 + (static_cast<uint8_t>(wire[at + 3]) << 8 | static_cast<uint8_t>(wire[at + 4]));
  EXPECT_EQ(records, 3u);
}

TEST_F(TlsSession, ServerAsksForAClientCertificate) {
  server_.SetRequireClientCertificate(true);
  nextClientCertificate_ = TlsCertificates::Get().Load("client");
  ASSERT_EQ(Handshake(), srOk);
  EXPECT_EQ(certificateRequests_, 1);
  EXPECT_TRUE(serverDone_);
  ASSERT_NE(server_.PeerCertificate(), nullptr);
  EXPECT_EQ(server_.PeerCertificate()->IssuedTo(), "Test Client");
}

TEST_F(TlsSession, ServerAsksForAClientCertificateAndNoneIsGiven) {
  server_.SetRequireClientCertificate(true);
  ASSERT_EQ(Handshake(), srOk);  // the server here takes a session without one
  EXPECT_EQ(certificateRequests_, 1);
  EXPECT_EQ(server_.PeerCertificate(), nullptr);
}

TEST_F(TlsSession, CloseSessionProducesTheShutdownTokenThePeerSeesAsClosed) {
  ASSERT_EQ(Handshake(), srOk);
  TzqMemoryStream token;
  EXPECT_EQ(client_.CloseSession(token), srSendFinal);
  EXPECT_GT(token.Size(), 0);
  EXPECT_FALSE(client_.HasContext());
  EXPECT_FALSE(client_.ServerVerified());
  TzqMemoryStream plain;
  EXPECT_EQ(server_.Decrypt(token, plain, token), srClosed);
  // a close after the peer ended the session still answers with its own token
  TzqMemoryStream answer;
  EXPECT_EQ(server_.CloseSession(answer), srSendFinal);
  EXPECT_GT(answer.Size(), 0);
  // without a context there is nothing to send
  TzqTlsClientSspi idle;
  EXPECT_EQ(idle.CloseSession(answer), srOk);
}

struct TlsRejection {
  const char* certificate;
  uint32_t code;
  TzqCertificateVerifyFlag ignore;
};

class TlsVerification : public TlsSession, public ::testing::WithParamInterface<TlsRejection> {};

TEST_P(TlsVerification, RejectedWithItsCodeAndAcceptedWithItsIgnoreFlag) {
  UseServerCertificate(GetParam().certificate);
  ASSERT_EQ(Handshake(), srOk);
  EXPECT_FALSE(client_.ServerVerified());
  EXPECT_EQ(static_cast<uint32_t>(client_.LastStatus()), GetParam().code);
  ASSERT_NE(client_.PeerCertificate(), nullptr);

  TzqTlsClientSspi relaxed;
  TzqTlsServerSspi server;
  relaxed.SetTargetName("localhost");
  relaxed.SetCertificateFlags({GetParam().ignore});
  ASSERT_EQ(Handshake(relaxed, server), srOk);
  EXPECT_TRUE(relaxed.ServerVerified());
  EXPECT_EQ(relaxed.LastStatus(), 0);
}

INSTANTIATE_TEST_SUITE_P(Certificates, TlsVerification,
                         ::testing::Values(TlsRejection{"expired", CERT_E_EXPIRED, cfIgnoreDateInvalid},
                                           TlsRejection{"wronghost", CERT_E_CN_NO_MATCH, cfIgnoreCommonNameInvalid},
                                           TlsRejection{"selfsigned", CERT_E_UNTRUSTEDROOT, cfIgnoreUnknownAuthority},
                                           TlsRejection{"unknownca", CERT_E_CHAINING, cfIgnoreUnknownAuthority}),
                         [](const auto& info) { return std::string(info.param.certificate); });

}  // namespace
}  // namespace zq
