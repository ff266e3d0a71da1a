// Feeds arbitrary bytes as TLS records to a client engine after a real handshake, cut where
// the first byte says, behind one genuine record: records are decrypted where they lie in the
// input, so nothing may be written or read outside it, and no more plaintext may come out than
// bytes went in.

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/zqCrypto.h"
#include "platform/zqCryptoHandles.h"
#include "tls/zqSspiTls.h"

namespace {

using namespace zq;

// Where the server's certificate is kept: a file already unlinked, reached through a
// descriptor held open, so that nothing is left behind however the fuzzer ends. The client
// trusts that file alone, which is much quicker to load than the system store.
const std::string& CertificateFile() {
  static const std::string file = [] {
    const std::string name = "/tmp/zq-fuzz-tls-" + std::to_string(::getpid()) + ".pem";
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ::unlink(name.c_str());
    if (fd < 0) std::abort();
    return "/proc/self/fd/" + std::to_string(fd);
  }();
  return file;
}

// The server's certificate, made once: a self-signed P-256 certificate for localhost.
PCCERT_CONTEXT ServerCertificate() {
  static const PCCERT_CONTEXT context = [] {
    TzqEvpPkeyPtr key(EVP_EC_gen("P-256"));
    TzqX509Ptr certificate(X509_new());
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 86400);
    X509_NAME* name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(certificate.get(), name);
    X509_set_pubkey(certificate.get(), key.get());
    X509_sign(certificate.get(), key.get(), EVP_sha256());
    const std::string& file = CertificateFile();
    {
      TzqBioPtr out(BIO_new_file(file.c_str(), "w"));
      PEM_write_bio_X509(out.get(), certificate.get());
      PEM_write_bio_PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    }
    PCCERT_CONTEXT loaded = CertLoadPemFiles(file, "");
    if (loaded == nullptr) std::abort();
    return loaded;
  }();
  return context;
}

void Move(TzqMemoryStream& from, TzqMemoryStream& to) {
  to.Clear();
  to.WriteBuffer(from.Memory() + from.Position(), from.Size() - from.Position());
  to.SetPosition(0);
  from.Clear();
}

// A finished handshake between the two; false when it did not finish.
bool Handshake(TzqTlsClientSspi& client, TzqTlsServerSspi& server) {
  TzqCertificateList none(false), own(true);
  own.Add(new TzqCertificate(ServerCertificate()));
  TzqMemoryStream clientIo, serverIo;
  if (client.HandshakeStep(clientIo, none, true) != srSendToken) return false;
  for (int round = 0; round < 10; ++round) {
    Move(clientIo, serverIo);
    TzqTlsStepResult serverResult = server.HandshakeStep(serverIo, own, true);
    if (serverResult != srSendToken && serverResult != srOk) return false;
    Move(serverIo, clientIo);
    TzqTlsStepResult clientResult = client.HandshakeStep(clientIo, none, true);
    if (clientResult == srOkWithExtra) {
      TzqMemoryStream tickets;
      client.Decrypt(clientIo, tickets, clientIo);
    }
    if (clientResult == srOk || clientResult == srOkWithExtra) return serverResult == srOk;
    if (clientResult != srSendToken) return false;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  TzqTlsClientSspi client;
  TzqTlsServerSspi server;
  client.SetTargetName("localhost");
  client.SetCertificateFlags({cfIgnoreUnknownAuthority});
  ServerCertificate();
  client.SetCAFile(CertificateFile());
  const TzqTlsFlags flags = (data[0] & 1) != 0 ? TzqTlsFlags{tfUseTLS13} : TzqTlsFlags{tfUseTLS12};
  client.SetTLSFlags(flags);
  server.SetTLSFlags(flags);
  if (!Handshake(client, server)) std::abort();
  TzqMemoryStream plain("genuine"), wire;
  server.Encrypt(plain, wire, plain.Size());
  const size_t cut = data[1] % (size - 1);
  const std::string fuzzed(reinterpret_cast<const char*>(data) + 2, size - 2);
  const std::string input = wire.DataString() + fuzzed;
  TzqMemoryStream pending, output;
  try {
    for (const std::string& piece : {input.substr(0, cut), input.substr(cut)}) {
      pending.Seek(0, soEnd);
      pending.WriteString(piece);
      pending.SetPosition(0);
      if (client.Decrypt(pending, output, pending) == srOk) pending.Clear();
    }
  } catch (const EzqSSPIError&) {
  }
  if (static_cast<size_t>(output.Size()) > input.size()) std::abort();
  return 0;
}
