// The TLS read path after a real handshake (TLS 1.2 or 1.3) between the client and an OpenSSL
// server engine over memory. The input either is fed to the client as raw bytes, or is sent by
// the server as records (one bit flipped on request); either way in pieces split at points
// drawn from a seed. It reaches either the client engine alone, or the whole client network
// stream, whose handshake then runs through its own loops against the server engine as a live
// peer of the in-memory transport. Invariants: each read ends in data, a wait for more, or a
// clear error (never a crash, a hang or another exception); records that arrive intact give
// exactly the data sent, and a flipped bit never gives data that was not sent.
// Input: a flag byte (protocol, raw or records, flip, engine or stream), a seed byte, the bytes.

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "fuzz/zqFuzzSplits.h"
#include "platform/zqCrypto.h"
#include "tls/zqCertificate.h"
#include "tls/zqSspiTls.h"
#include "tls/zqTlsStream.h"

using namespace zq;
using namespace zq::test;

namespace {

// A self-signed P-256 certificate for "localhost" with its key, written once to a directory
// of this process's own.
struct ServerIdentity {
  std::string dir;
  std::string certificate;
  std::string key;

  ServerIdentity() {
    char pattern[] = "/tmp/zq-fuzz-tls-XXXXXX";
    dir = mkdtemp(pattern);
    certificate = dir + "/server.pem";
    key = dir + "/server.key";
    EVP_PKEY* pkey = EVP_EC_gen("P-256");
    X509* x509 = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(x509), 1);
    X509_gmtime_adj(X509_getm_notBefore(x509), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x509), 3600L * 24 * 365);
    X509_set_pubkey(x509, pkey);
    X509_NAME* name = X509_get_subject_name(x509);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1,
                               0);
    X509_set_issuer_name(x509, name);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, x509, x509, nullptr, nullptr, 0);
    X509_EXTENSION* san = X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, "DNS:localhost");
    X509_add_ext(x509, san, -1);
    X509_EXTENSION_free(san);
    X509_sign(x509, pkey, EVP_sha256());
    FILE* out = fopen(certificate.c_str(), "w");
    PEM_write_X509(out, x509);
    fclose(out);
    out = fopen(key.c_str(), "w");
    PEM_write_PrivateKey(out, pkey, nullptr, nullptr, 0, nullptr, nullptr);
    fclose(out);
    X509_free(x509);
    EVP_PKEY_free(pkey);
  }
  // A run that ends normally leaves nothing behind in /tmp.
  ~ServerIdentity() {
    std::remove(certificate.c_str());
    std::remove(key.c_str());
    ::rmdir(dir.c_str());
  }
};

void Transfer(TzqMemoryStream& from, TzqMemoryStream& to) {
  to.Clear();
  to.WriteBuffer(from.Memory() + from.Position(), from.Size() - from.Position());
  to.SetPosition(0);
  from.Clear();
}

struct Session {
  TzqTlsClientSspi client;
  TzqTlsServerSspi server;
  TzqCertificateList clientCertificates{true};
  TzqCertificateList serverCertificates{true};
  TzqMemoryStream early;  // what followed the handshake for the client (TLS 1.3 tickets)
  bool tls13;

  static const ServerIdentity& Identity() {
    static const ServerIdentity identity;
    return identity;
  }

  explicit Session(bool tls13) : tls13(tls13) {
    const ServerIdentity& identity = Identity();
    PCCERT_CONTEXT context = CertLoadPemFiles(identity.certificate, identity.key);
    serverCertificates.Add(new TzqCertificate(context));
    CertFreeCertificateContext(context);
    const TzqTlsFlags flags = tls13 ? TzqTlsFlags{tfUseTLS13} : TzqTlsFlags{tfUseTLS12};
    client.SetTLSFlags(flags);
    server.SetTLSFlags(flags);
    client.SetUseSystemTLSFlags(false);
    server.SetUseSystemTLSFlags(false);
    client.SetTargetName("localhost");
    // The server's own certificate as the only anchor: no system store loaded for each input.
    client.SetCAFile(identity.certificate);
    client.SetCertificateFlags({cfIgnoreCommonNameInvalid, cfIgnoreDateInvalid, cfIgnoreUnknownAuthority,
                                cfIgnoreRevocation, cfIgnoreWrongUsage, cfIgnoreChainPolicyErrors});
  }

  bool Handshake() {
    TzqMemoryStream clientIo, serverIo;
    if (client.HandshakeStep(clientIo, clientCertificates, false) != srSendToken) return false;
    for (int round = 0; round < 10; ++round) {
      Transfer(clientIo, serverIo);
      const TzqTlsStepResult serverResult = server.HandshakeStep(serverIo, serverCertificates, false);
      if (serverResult != srSendToken && serverResult != srOk) return false;
      Transfer(serverIo, clientIo);
      const TzqTlsStepResult clientResult = client.HandshakeStep(clientIo, clientCertificates, false);
      if (clientResult == srOk || clientResult == srOkWithExtra) {
        if (clientResult == srOkWithExtra) Transfer(clientIo, early);
        return true;
      }
      if (clientResult != srSendToken) return false;
    }
    return false;
  }
};

// Feeds wire to the client in pieces; returns the data it gave, or nothing after a clean error.
bool Read(Session& session, const std::string& wire, unsigned seed, std::string& data) {
  TzqMemoryStream pending;
  pending.WriteBuffer(session.early.Memory(), session.early.Size());
  TzqMemoryStream plain;
  try {
    for (size_t at = 0; at < wire.size() || at == 0;) {
      seed = seed * 1103515245u + 12345u;
      const size_t piece = seed == 0 ? wire.size() : 1 + (seed >> 16) % 700;
      pending.Seek(0, soEnd);
      pending.WriteBuffer(wire.data() + at, static_cast<int64_t>(std::min(piece, wire.size() - at)));
      pending.SetPosition(0);
      at += piece;
      // Whole records decrypt and are gone (srOk); a partial one stays for more bytes
      // (srPartialRecord, or srIncompleteRecord when nothing came out).
      pending.SetPosition(0);
      const TzqTlsStepResult result = session.client.Decrypt(pending, plain, pending);
      if (result == srOk) pending.Clear();
      if (result != srOk && result != srPartialRecord && result != srIncompleteRecord) break;
      if (at >= wire.size()) break;
    }
  } catch (const EzqSSPIError&) {
    return false;
  }
  data = plain.DataString();
  return true;
}

// The bytes the server sends after the handshake: the input itself, or the input protected as
// records with one bit flipped on request.
std::string Wire(Session& session, const zq::fuzz::ScriptedInput& input) {
  if (!(input.flags & 2)) return input.bytes;
  TzqMemoryStream source(input.bytes), encrypted;
  if (session.server.Encrypt(source, encrypted, source.Size()) != srOk) __builtin_trap();
  std::string wire = encrypted.DataString();
  if ((input.flags & 4) && !wire.empty())
    wire[(input.seed * 7919u) % wire.size()] ^= static_cast<char>(1 << (input.flags >> 5));
  return wire;
}

// The server engine answers each flight the client stream writes; once its side of the
// handshake is done it sends the wire, cut at the seed's split points, and closes.
void AnswerAsServer(Session& session, const zq::fuzz::ScriptedInput& input, std::string& pending,
                    MemoryConnectionScript& peer, std::string_view written) {
  if (peer.end != MemoryEnd::Stall) return;  // the handshake is over: nothing more is answered
  pending.append(written);
  TzqMemoryStream io;
  io.WriteBuffer(pending.data(), static_cast<int64_t>(pending.size()));
  io.SetPosition(0);
  const TzqTlsStepResult result = session.server.HandshakeStep(io, session.serverCertificates, false);
  if (result == srNeedMoreData) return;
  pending.clear();
  peer.Send(std::string(reinterpret_cast<const char*>(io.Memory()) + io.Position(),
                        static_cast<size_t>(io.Size() - io.Position())),
            0);
  if (result == srOk) {
    const std::string wire = Wire(session, input);
    peer.SendSplit(wire, input.Splits(700), 0);
    peer.EndWith(MemoryEnd::Close);
  } else if (result != srSendToken) {
    peer.EndWith(MemoryEnd::Reset);
  }
}

// The whole client stream over the memory transport; false after a clean error.
bool ReadThroughStream(Session& session, const zq::fuzz::ScriptedInput& input, std::string& data) {
  MemoryConnectionScript script;
  script.EndWith(MemoryEnd::Stall);
  std::string pending;
  script.respond = [&](MemoryConnectionScript& peer, std::string_view written) {
    AnswerAsServer(session, input, pending, peer, written);
  };
  auto stream = std::make_unique<MemoryStreamOf<TzqTlsNetworkStream>>(script);
  TzqTlsSettings settings;
  settings.tlsFlags = session.tls13 ? TzqTlsFlags{tfUseTLS13} : TzqTlsFlags{tfUseTLS12};
  settings.useSystemTlsFlags = false;
  settings.caFile = Session::Identity().certificate;
  stream->SetSettings(settings);
  stream->SetTargetName("localhost");
  MemoryConnection connection;
  // The handshake does not depend on the input: it must succeed.
  zq::fuzz::OpenScripted(connection, std::move(stream), script);
  TzqMemoryStream plain;
  try {
    while (connection.Active()) connection.ReadData(&plain);
  } catch (const EzqError&) {
    data = plain.DataString();
    return false;
  }
  data = plain.DataString();
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zq::fuzz::ScriptedInput input;
  if (size > 65536 || !zq::fuzz::TakeScriptedInput(data, size, input)) return 0;
  const uint8_t flags = input.flags;
  Session session(flags & 1);
  std::string received;
  bool clean = false;
  if (flags & 8) {
    clean = ReadThroughStream(session, input, received);
  } else {
    if (!session.Handshake()) __builtin_trap();
    clean = Read(session, Wire(session, input), input.seed, received);
  }
  if (!(flags & 2)) return 0;
  // Intact records give all the data; a damaged one never gives what was not sent.
  if (!(flags & 4) && (!clean || received != input.bytes)) __builtin_trap();
  if (input.bytes.compare(0, received.size(), received) != 0) __builtin_trap();
  return 0;
}
