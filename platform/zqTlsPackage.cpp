#include "platform/zqTlsPackage.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "core/zqScopeGuard.h"

#include "platform/zqCrypto.h"
#include "platform/zqCryptoHandles.h"
#include "platform/zqTlsPackageBio.h"

namespace zq {

const char* const kTlsPackageName = "Microsoft Unified Security Protocol Provider";

namespace {

constexpr uint32_t kHeaderSize = 5;
// Room for the cipher's overhead (IV, MAC or tag, padding, an empty fragment before a CBC
// record) and for a post-handshake record (a key update) that has to go out first.
constexpr uint32_t kTrailerSize = 512;
constexpr uint32_t kMaximumMessage = 16384;
constexpr size_t kLargestRecord = 5 + 16384 + 2048;

// The length of the complete record at data, 0 when it is not all there yet, -1 when the
// bytes cannot start a TLS record.
int64_t RecordLength(const uint8_t* data, size_t size) {
  if (size >= 1 && (data[0] < 20 || data[0] > 24)) return -1;
  if (size >= 2 && data[1] != 3) return -1;
  if (size < 5) return 0;
  size_t length = 5 + (static_cast<size_t>(data[3]) << 8 | data[4]);
  if (length > kLargestRecord) return -1;
  return size >= length ? static_cast<int64_t>(length) : 0;
}

// The whole length of the record whose header starts at data, 0 when the header is not all
// there, -1 when the bytes cannot start a TLS record.
int64_t HeaderLength(const uint8_t* data, size_t size) {
  int64_t length = RecordLength(data, size);
  if (length != 0 || size < 5) return length;
  return static_cast<int64_t>(5 + (static_cast<size_t>(data[3]) << 8 | data[4]));
}

// How many bytes are still missing for the record that starts at data.
uint32_t MissingBytes(const uint8_t* data, size_t size) {
  if (size < 5) return static_cast<uint32_t>(5 - size);
  return static_cast<uint32_t>(5 + (static_cast<size_t>(data[3]) << 8 | data[4]) - size);
}

SECURITY_STATUS FailureStatus() {
  unsigned long error = ERR_peek_last_error();
  ERR_clear_error();
  if (ERR_GET_LIB(error) != ERR_LIB_SSL) return SEC_E_INTERNAL_ERROR;
  switch (ERR_GET_REASON(error)) {
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_NO_SHARED_CIPHER:
    case SSL_R_NO_CIPHERS_AVAILABLE:
    case SSL_R_VERSION_TOO_LOW:
    case SSL_R_VERSION_TOO_HIGH:
    case SSL_R_TLSV1_ALERT_INSUFFICIENT_SECURITY:
      return SEC_E_ALGORITHM_MISMATCH;
    case SSL_R_DECRYPTION_FAILED_OR_BAD_RECORD_MAC:
    case SSL_R_TLSV1_ALERT_DECRYPT_ERROR:
      return SEC_E_DECRYPT_FAILURE;
    case SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED:
    case SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE:
    case SSL_R_SSLV3_ALERT_BAD_CERTIFICATE:
    case SSL_R_SSLV3_ALERT_UNSUPPORTED_CERTIFICATE:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN:
    case SSL_R_TLSV1_ALERT_UNKNOWN_CA:
      return SEC_E_CERT_UNKNOWN;
    default:
      return SEC_E_ILLEGAL_MESSAGE;
  }
}

bool IsSelfIssued(X509* certificate) { return X509_check_issued(certificate, certificate) == X509_V_OK; }

// The chain that goes with our certificate: the certificates that came with it, the root only
// when asked for.
template <typename AddChainCertificate>
void AddChain(PCCERT_CONTEXT certificate, bool sendRoot, AddChainCertificate add) {
  stack_st_X509* store = CertStore(certificate);
  for (int i = 0; store != nullptr && i < sk_X509_num(store); ++i) {
    X509* item = sk_X509_value(store, i);
    if (sendRoot || !IsSelfIssued(item)) add(item);
  }
}

int ContextIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

// The highest and lowest version that the enabled-protocol bits name; false when they name
// none that OpenSSL can offer (SSL 2 and SSL 3 are never offered).
bool VersionRange(uint32_t bits, int& lowest, int& highest, uint64_t& gaps) {
  const struct {
    uint32_t mask;
    int version;
    uint64_t option;
  } versions[] = {
      {SP_PROT_TLS1_CLIENT | SP_PROT_TLS1_SERVER, TLS1_VERSION, SSL_OP_NO_TLSv1},
      {SP_PROT_TLS1_1_CLIENT | SP_PROT_TLS1_1_SERVER, TLS1_1_VERSION, SSL_OP_NO_TLSv1_1},
      {SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_2_SERVER, TLS1_2_VERSION, SSL_OP_NO_TLSv1_2},
      {SP_PROT_TLS1_3_CLIENT | SP_PROT_TLS1_3_SERVER, TLS1_3_VERSION, SSL_OP_NO_TLSv1_3},
  };
  lowest = highest = 0;
  gaps = 0;
  for (const auto& v : versions) {
    if ((bits & v.mask) == 0) {
      if (lowest != 0) gaps |= v.option;
      continue;
    }
    if (lowest == 0) lowest = v.version;
    highest = v.version;
  }
  return lowest != 0;
}

class TzqTlsCredentials : public TzqSecurityCredentials {
public:
  TzqTlsCredentials(TzqSslCtxPtr context, bool server, PCCERT_CONTEXT certificate, bool sendRoot)
      : context_(std::move(context)),
        server_(server),
        certificate_(CertDuplicateCertificateContext(certificate)),
        sendRoot_(sendRoot) {}
  ~TzqTlsCredentials() override { CertFreeCertificateContext(certificate_); }

  std::unique_ptr<TzqSecurityContext> NewContext() override;

  SSL_CTX* Context() const { return context_.get(); }
  bool Server() const { return server_; }
  PCCERT_CONTEXT Certificate() const { return certificate_; }
  bool SendRoot() const { return sendRoot_; }

private:
  TzqSslCtxPtr context_;
  bool server_;
  PCCERT_CONTEXT certificate_;
  bool sendRoot_;
};

class TzqTlsContext : public TzqSecurityContext {
public:
  // Null when OpenSSL cannot allocate the session.
  static std::unique_ptr<TzqTlsContext> Create(const TzqTlsCredentials& credentials);

  SECURITY_STATUS Initialize(TzqSecurityCredentials& credentials, const char* targetName, uint32_t request,
                             std::span<SecBuffer> input, TzqByteArray& output, uint32_t& attributes) override;
  SECURITY_STATUS Accept(TzqSecurityCredentials& credentials, uint32_t request, std::span<SecBuffer> input,
                         TzqByteArray& output, uint32_t& attributes) override;
  SECURITY_STATUS ApplyControl(std::span<SecBuffer> input) override;
  SECURITY_STATUS QueryAttribute(uint32_t attribute, void* buffer) override;
  SECURITY_STATUS Encrypt(std::span<SecBuffer> message) override;
  SECURITY_STATUS Decrypt(std::span<SecBuffer> message) override;

  // Client certificate selection: the credentials' certificate; without one, the first request
  // suspends the handshake so the caller can supply one, the second goes on without.
  int SelectCertificate();

private:
  TzqTlsContext(TzqSslPtr ssl, bool server) : ssl_(std::move(ssl)), server_(server) {}

  SECURITY_STATUS Step(std::span<SecBuffer> input, TzqByteArray& output);
  // Feeds OpenSSL the next whole record of the held bytes followed by data: the bytes of data
  // it used, 0 when the record is not all there yet (nothing is taken), -1 when malformed.
  int64_t FeedRecord(const uint8_t* data, size_t size);
  void Hold(const uint8_t* data, size_t size);
  uint32_t MissingFor(const uint8_t* data, size_t size) const;
  SECURITY_STATUS AfterHandshake(std::span<SecBuffer> input);
  SECURITY_STATUS Shutdown(TzqByteArray& output);
  void Feed(const uint8_t* data, size_t size) { io_.Keep(data, size); }
  TzqByteArray Drain() { return io_.TakeOutput(); }
  // Decrypts the record lent at data into its own bytes after the header; the plaintext size.
  int64_t OpenInPlace(uint8_t* data, size_t length, SECURITY_STATUS& status);
  // Decrypts what was fed into plain_ (a record that began in held bytes).
  int64_t OpenIntoCopy(SECURITY_STATUS& status);
  // After a read that produced no more plaintext: whether the session goes on (status set when not).
  bool ReadEnded(int result, SECURITY_STATUS& status);

  TzqTlsRecordIo io_;  // outlives the session, whose BIO refers to it
  TzqSslPtr ssl_;
  bool server_;
  bool started_ = false;
  bool finished_ = false;
  bool failed_ = false;
  bool shutdownRequested_ = false;
  bool peerClosed_ = false;
  bool certificateAsked_ = false;
  bool awaitingCredentials_ = false;
  size_t reofferedBytes_ = 0;  // input already taken when the step stopped for credentials
  // The start of a record the caller has handed over but OpenSSL has not been fed: it came
  // with a token the caller sends (it drops its input then), or after the end of a handshake.
  // It comes before the next input.
  TzqByteArray held_;
  const TzqTlsCredentials* current_ = nullptr;
  TzqByteArray plain_;
};

int CertificateCallback(SSL* ssl, void*) {
  auto* context = static_cast<TzqTlsContext*>(SSL_get_ex_data(ssl, ContextIndex()));
  return context != nullptr ? context->SelectCertificate() : 1;
}

int AcceptAnyPeer(int, X509_STORE_CTX*) { return 1; }

std::unique_ptr<TzqSecurityContext> TzqTlsCredentials::NewContext() { return TzqTlsContext::Create(*this); }

std::unique_ptr<TzqTlsContext> TzqTlsContext::Create(const TzqTlsCredentials& credentials) {
  TzqSslPtr ssl(SSL_new(credentials.Context()));
  if (ssl == nullptr) {
    ERR_clear_error();
    return nullptr;
  }
  SSL* session = ssl.get();
  std::unique_ptr<TzqTlsContext> context(new TzqTlsContext(std::move(ssl), credentials.Server()));
  TzqBioPtr bio = context->io_.NewBio();
  if (bio == nullptr || SSL_set_ex_data(session, ContextIndex(), context.get()) != 1) {
    ERR_clear_error();
    return nullptr;
  }
  BIO* transport = bio.release();
  SSL_set_bio(session, transport, transport);  // one reference, taken by the session
  return context;
}

int TzqTlsContext::SelectCertificate() {
  PCCERT_CONTEXT certificate = current_ != nullptr ? current_->Certificate() : nullptr;
  if (certificate != nullptr) {
    if (SSL_use_certificate(ssl_.get(), CertX509(certificate)) != 1 ||
        SSL_use_PrivateKey(ssl_.get(), CertPrivateKey(certificate)) != 1)
      return 0;
    AddChain(certificate, current_->SendRoot(), [this](X509* item) { SSL_add1_chain_cert(ssl_.get(), item); });
    return 1;
  }
  if (certificateAsked_) return 1;
  certificateAsked_ = true;
  return -1;
}

SECURITY_STATUS TzqTlsContext::Initialize(TzqSecurityCredentials& credentials, const char* targetName, uint32_t,
                                          std::span<SecBuffer> input, TzqByteArray& output, uint32_t& attributes) {
  attributes = ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT | ISC_REQ_CONFIDENTIALITY | ISC_REQ_STREAM;
  current_ = dynamic_cast<TzqTlsCredentials*>(&credentials);
  if (current_ == nullptr || server_) return SEC_E_UNSUPPORTED_FUNCTION;
  if (shutdownRequested_) return Shutdown(output);
  if (failed_) return SEC_E_CONTEXT_EXPIRED;
  if (!started_) {
    started_ = true;
    SSL_set_connect_state(ssl_.get());
    std::string target = targetName != nullptr ? targetName : "";
    // Only host names travel as server names: not addresses, not the date-time default.
    bool hostName =
        std::any_of(target.begin(), target.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)); }) &&
        target.find(':') == std::string::npos;
    if (hostName) SSL_set_tlsext_host_name(ssl_.get(), target.c_str());
  }
  if (finished_) return AfterHandshake(input);
  return Step(input, output);
}

SECURITY_STATUS TzqTlsContext::Accept(TzqSecurityCredentials& credentials, uint32_t request, std::span<SecBuffer> input,
                                      TzqByteArray& output, uint32_t& attributes) {
  attributes = request & (ASC_REQ_MUTUAL_AUTH | ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT |
                          ISC_REQ_CONFIDENTIALITY | ASC_REQ_STREAM);
  current_ = dynamic_cast<TzqTlsCredentials*>(&credentials);
  if (current_ == nullptr || !server_) return SEC_E_UNSUPPORTED_FUNCTION;
  if (shutdownRequested_) return Shutdown(output);
  if (failed_) return SEC_E_CONTEXT_EXPIRED;
  if (!started_) {
    started_ = true;
    SSL_set_accept_state(ssl_.get());
    if ((request & ASC_REQ_MUTUAL_AUTH) != 0)
      SSL_set_verify(ssl_.get(), SSL_VERIFY_PEER | SSL_VERIFY_CLIENT_ONCE, AcceptAnyPeer);
  }
  if (finished_) return AfterHandshake(input);
  return Step(input, output);
}

// Input offered to a finished handshake is application data: the client hands it back as
// EXTRA for decryption; the server keeps it for its next decryption.
SECURITY_STATUS TzqTlsContext::AfterHandshake(std::span<SecBuffer> input) {
  if (input.empty() || input[0].pvBuffer == nullptr || input[0].cbBuffer == 0) return SEC_E_OK;
  if (server_) {
    Hold(static_cast<const uint8_t*>(input[0].pvBuffer), input[0].cbBuffer);
  } else if (input.size() > 1) {
    input[1] = SecBuffer{input[0].cbBuffer, SECBUFFER_EXTRA, input[0].pvBuffer};
  }
  return SEC_E_OK;
}

int64_t TzqTlsContext::FeedRecord(const uint8_t* data, size_t size) {
  if (held_.empty()) {
    int64_t length = RecordLength(data, size);
    if (length > 0) io_.Lend(data, static_cast<size_t>(length));
    return length;
  }
  TzqByteArray head(held_);
  head.insert(head.end(), data, data + std::min<size_t>(size, 5));
  int64_t length = HeaderLength(head.data(), head.size());
  if (length <= 0) return length;
  if (held_.size() + size < static_cast<size_t>(length)) return 0;
  auto used = static_cast<int64_t>(static_cast<size_t>(length) - held_.size());
  Feed(held_.data(), held_.size());
  Feed(data, static_cast<size_t>(used));
  held_.clear();
  return used;
}

// Whole records go to OpenSSL at once, so what is held is never more than one record in part.
void TzqTlsContext::Hold(const uint8_t* data, size_t size) {
  held_.insert(held_.end(), data, data + size);
  size_t at = 0;
  for (int64_t length; (length = RecordLength(held_.data() + at, held_.size() - at)) > 0;
       at += static_cast<size_t>(length))
    Feed(held_.data() + at, static_cast<size_t>(length));
  held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(at));
}

uint32_t TzqTlsContext::MissingFor(const uint8_t* data, size_t size) const {
  TzqByteArray head(held_);
  head.insert(head.end(), data, data + size);
  return MissingBytes(head.data(), head.size());
}

SECURITY_STATUS TzqTlsContext::Step(std::span<SecBuffer> input, TzqByteArray& output) {
  TzqScopeGuard endLoan([this] { io_.EndLoan(); });
  const uint8_t* data = nullptr;
  size_t size = 0;
  if (!input.empty() && input[0].BufferType == SECBUFFER_TOKEN && input[0].pvBuffer != nullptr) {
    data = static_cast<const uint8_t*>(input[0].pvBuffer);
    size = input[0].cbBuffer;
  }
  SecBuffer* spare = input.size() > 1 ? &input[1] : nullptr;
  size_t taken = 0;
  if (awaitingCredentials_) {
    awaitingCredentials_ = false;
    taken = std::min(reofferedBytes_, size);
  }
  // The server is offered its whole input again after an incomplete message: take all of it
  // or nothing.
  if (server_) {
    for (size_t at = 0; at < size;) {
      int64_t length = RecordLength(data + at, size - at);
      if (length < 0) return SEC_E_ILLEGAL_MESSAGE;
      if (length == 0) {
        if (spare != nullptr) *spare = SecBuffer{MissingBytes(data + at, size - at), SECBUFFER_MISSING, nullptr};
        return SEC_E_INCOMPLETE_MESSAGE;
      }
      at += static_cast<size_t>(length);
    }
  }
  bool finished = false;
  for (;;) {
    ERR_clear_error();
    int result = SSL_do_handshake(ssl_.get());
    if (result == 1) {
      finished = true;
      break;
    }
    int error = SSL_get_error(ssl_.get(), result);
    if (error == SSL_ERROR_WANT_X509_LOOKUP) {
      awaitingCredentials_ = true;
      reofferedBytes_ = taken;
      return SEC_I_INCOMPLETE_CREDENTIALS;
    }
    if (error != SSL_ERROR_WANT_READ) {
      failed_ = true;
      Drain();  // the alert is not handed out: the failure is reported at once
      return FailureStatus();
    }
    int64_t used = FeedRecord(data + taken, size - taken);
    if (used < 0) {
      failed_ = true;
      return SEC_E_ILLEGAL_MESSAGE;
    }
    if (used == 0) break;
    taken += static_cast<size_t>(used);
  }
  output = Drain();
  size_t rest = size - taken;
  auto offerBack = [&] {
    if (rest > 0 && spare != nullptr)
      *spare = SecBuffer{static_cast<uint32_t>(rest), SECBUFFER_EXTRA, const_cast<uint8_t*>(data + taken)};
  };
  if (finished) {
    finished_ = true;
    if (output.empty() && held_.empty() && !server_) {
      offerBack();
      return SEC_E_OK;
    }
    Hold(data + taken, size - taken);  // the caller drops its input with the token
    return SEC_E_OK;
  }
  if (!output.empty()) {
    Hold(data + taken, size - taken);
    return SEC_I_CONTINUE_NEEDED;
  }
  if (taken == 0) {
    if (spare != nullptr) *spare = SecBuffer{MissingFor(data, size), SECBUFFER_MISSING, nullptr};
    return SEC_E_INCOMPLETE_MESSAGE;
  }
  offerBack();
  return SEC_I_CONTINUE_NEEDED;
}

SECURITY_STATUS TzqTlsContext::Shutdown(TzqByteArray& output) {
  if (finished_ && !failed_) {
    ERR_clear_error();
    SSL_shutdown(ssl_.get());
    ERR_clear_error();
  }
  output = Drain();
  return SEC_E_OK;
}

SECURITY_STATUS TzqTlsContext::ApplyControl(std::span<SecBuffer> input) {
  for (const SecBuffer& buffer : input) {
    if (buffer.BufferType != SECBUFFER_TOKEN || buffer.cbBuffer < 4 || buffer.pvBuffer == nullptr) continue;
    uint32_t control = 0;
    std::memcpy(&control, buffer.pvBuffer, sizeof control);
    if (control != SCHANNEL_SHUTDOWN) return SEC_E_UNSUPPORTED_FUNCTION;
    shutdownRequested_ = true;
    return SEC_E_OK;
  }
  return SEC_E_INVALID_TOKEN;
}

SECURITY_STATUS TzqTlsContext::QueryAttribute(uint32_t attribute, void* buffer) {
  switch (attribute) {
    case SECPKG_ATTR_STREAM_SIZES: {
      auto* sizes = static_cast<SecPkgContext_StreamSizes*>(buffer);
      *sizes = SecPkgContext_StreamSizes{kHeaderSize, kTrailerSize, kMaximumMessage, 4, 16};
      return SEC_E_OK;
    }
    case SECPKG_ATTR_REMOTE_CERT_CONTEXT: {
      X509* peer = SSL_get1_peer_certificate(ssl_.get());
      if (peer == nullptr) return SEC_E_NO_CREDENTIALS;
      TzqX509Ptr owned(peer);
      PCCERT_CONTEXT context = CertContextFromX509(peer, SSL_get_peer_cert_chain(ssl_.get()));
      if (context == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
      *static_cast<PCCERT_CONTEXT*>(buffer) = context;
      return SEC_E_OK;
    }
    case SECPKG_ATTR_CONNECTION_INFO: {
      if (!finished_) return SEC_E_INVALID_HANDLE;
      auto* info = static_cast<SecPkgContext_ConnectionInfo*>(buffer);
      *info = SecPkgContext_ConnectionInfo{};
      switch (SSL_version(ssl_.get())) {
        case TLS1_VERSION:
          info->dwProtocol = server_ ? SP_PROT_TLS1_SERVER : SP_PROT_TLS1_CLIENT;
          break;
        case TLS1_1_VERSION:
          info->dwProtocol = server_ ? SP_PROT_TLS1_1_SERVER : SP_PROT_TLS1_1_CLIENT;
          break;
        case TLS1_2_VERSION:
          info->dwProtocol = server_ ? SP_PROT_TLS1_2_SERVER : SP_PROT_TLS1_2_CLIENT;
          break;
        case TLS1_3_VERSION:
          info->dwProtocol = server_ ? SP_PROT_TLS1_3_SERVER : SP_PROT_TLS1_3_CLIENT;
          break;
        default:
          break;
      }
      info->dwCipherStrength = static_cast<uint32_t>(SSL_CIPHER_get_bits(SSL_get_current_cipher(ssl_.get()), nullptr));
      return SEC_E_OK;
    }
    default:
      return SEC_E_UNSUPPORTED_FUNCTION;
  }
}

SECURITY_STATUS TzqTlsContext::Encrypt(std::span<SecBuffer> message) {
  if (!finished_ || failed_) return SEC_E_CONTEXT_EXPIRED;
  if (message.size() < 3 || message[0].BufferType != SECBUFFER_STREAM_HEADER ||
      message[1].BufferType != SECBUFFER_DATA || message[2].BufferType != SECBUFFER_STREAM_TRAILER)
    return SEC_E_INVALID_TOKEN;
  SecBuffer& header = message[0];
  SecBuffer& data = message[1];
  SecBuffer& trailer = message[2];
  auto* start = static_cast<uint8_t*>(header.pvBuffer);
  if (start == nullptr || start + header.cbBuffer != data.pvBuffer ||
      static_cast<uint8_t*>(data.pvBuffer) + data.cbBuffer != trailer.pvBuffer || data.cbBuffer > kMaximumMessage)
    return SEC_E_INVALID_PARAMETER;
  size_t capacity = size_t{header.cbBuffer} + data.cbBuffer + trailer.cbBuffer;
  const void* plain = data.pvBuffer;
  // Records OpenSSL owes the peer (the answer to a key update) go out first; the plaintext
  // they would overwrite is moved aside.
  TzqByteArray owed = io_.TakeOutput();
  TzqByteArray aside;
  if (!owed.empty()) {
    if (owed.size() > capacity - data.cbBuffer - kHeaderSize) {
      failed_ = true;
      return SEC_E_BUFFER_TOO_SMALL;
    }
    aside.assign(static_cast<const uint8_t*>(data.pvBuffer),
                 static_cast<const uint8_t*>(data.pvBuffer) + data.cbBuffer);
    plain = aside.data();
    std::memcpy(start, owed.data(), owed.size());
  }
  // OpenSSL writes the record straight into the caller's buffer.
  io_.LendOutput(start + owed.size(), capacity - owed.size());
  ERR_clear_error();
  int written = data.cbBuffer > 0 ? SSL_write(ssl_.get(), plain, static_cast<int>(data.cbBuffer)) : 0;
  size_t total = owed.size() + io_.EndOutputLoan();
  if (written != static_cast<int>(data.cbBuffer)) {
    failed_ = true;
    return FailureStatus();
  }
  if (io_.HasKeptOutput()) {
    failed_ = true;  // the record is lost: the session cannot go on
    return SEC_E_BUFFER_TOO_SMALL;
  }
  auto sealed = static_cast<uint32_t>(total);
  header.cbBuffer = std::min(sealed, header.cbBuffer);
  data.cbBuffer = std::min(sealed - header.cbBuffer, data.cbBuffer);
  trailer.cbBuffer = sealed - header.cbBuffer - data.cbBuffer;
  return SEC_E_OK;
}

bool TzqTlsContext::ReadEnded(int result, SECURITY_STATUS& status) {
  int error = SSL_get_error(ssl_.get(), result);
  if (error == SSL_ERROR_WANT_READ) return true;
  if (error == SSL_ERROR_ZERO_RETURN) {
    peerClosed_ = true;
    status = SEC_I_CONTEXT_EXPIRED;
    return true;
  }
  failed_ = true;
  SECURITY_STATUS failure = FailureStatus();
  status = failure == SEC_E_ILLEGAL_MESSAGE ? SEC_E_DECRYPT_FAILURE : failure;
  return false;
}

// The plaintext of a record is never longer than the record's body, so it is written over the
// ciphertext the caller lent, as Schannel decrypts in place.
int64_t TzqTlsContext::OpenInPlace(uint8_t* data, size_t length, SECURITY_STATUS& status) {
  uint8_t* plain = data + kHeaderSize;
  const size_t room = length - kHeaderSize;
  uint8_t beyond = 0;  // plaintext that does not fit its own record would be a fault: caught, not written
  for (size_t produced = 0;;) {
    const bool fits = produced < room;
    ERR_clear_error();
    int n = SSL_read(ssl_.get(), fits ? plain + produced : &beyond, fits ? static_cast<int>(room - produced) : 1);
    if (n <= 0) return ReadEnded(n, status) ? static_cast<int64_t>(produced) : -1;
    if (!fits) {
      failed_ = true;
      status = SEC_E_BUFFER_TOO_SMALL;
      return -1;
    }
    produced += static_cast<size_t>(n);
  }
}

int64_t TzqTlsContext::OpenIntoCopy(SECURITY_STATUS& status) {
  plain_.clear();
  for (;;) {
    size_t at = plain_.size();
    plain_.resize(at + kMaximumMessage);
    ERR_clear_error();
    int n = SSL_read(ssl_.get(), plain_.data() + at, static_cast<int>(kMaximumMessage));
    plain_.resize(at + static_cast<size_t>(std::max(n, 0)));
    if (n > 0) continue;
    return ReadEnded(n, status) ? static_cast<int64_t>(plain_.size()) : -1;
  }
}

SECURITY_STATUS TzqTlsContext::Decrypt(std::span<SecBuffer> message) {
  if (message.size() < 4 || message[0].BufferType != SECBUFFER_DATA || message[0].pvBuffer == nullptr)
    return SEC_E_INVALID_TOKEN;
  if (!finished_ || failed_) return SEC_E_CONTEXT_EXPIRED;
  auto* data = static_cast<uint8_t*>(message[0].pvBuffer);
  size_t size = message[0].cbBuffer;
  if (peerClosed_) {
    message[0] = SecBuffer{0, SECBUFFER_DATA, data};
    return SEC_I_CONTEXT_EXPIRED;
  }
  // Records kept from the handshake are read first; their plaintext must not land on
  // ciphertext OpenSSL has yet to read.
  const bool inPlace = held_.empty() && !io_.HasKeptInput();
  TzqScopeGuard endLoan([this] { io_.EndLoan(); });
  int64_t length = FeedRecord(data, size);
  if (length < 0) {
    failed_ = true;
    return SEC_E_ILLEGAL_MESSAGE;
  }
  if (length == 0) {
    message[1] = SecBuffer{MissingFor(data, size), SECBUFFER_MISSING, nullptr};
    return SEC_E_INCOMPLETE_MESSAGE;
  }
  SECURITY_STATUS status = SEC_E_OK;
  int64_t produced = inPlace ? OpenInPlace(data, static_cast<size_t>(length), status) : OpenIntoCopy(status);
  if (produced < 0) return status;
  size_t rest = size - static_cast<size_t>(length);
  uint8_t* plain = inPlace ? data + kHeaderSize : plain_.data();
  message[0] = SecBuffer{kHeaderSize, SECBUFFER_STREAM_HEADER, data};
  message[1] = SecBuffer{static_cast<uint32_t>(produced), SECBUFFER_DATA, produced > 0 ? plain : data + kHeaderSize};
  message[2] = SecBuffer{0, SECBUFFER_STREAM_TRAILER, data + length};
  message[3] = rest > 0 ? SecBuffer{static_cast<uint32_t>(rest), SECBUFFER_EXTRA, data + length} : SecBuffer{};
  return status;
}

class TzqTlsPackage : public TzqSecurityPackage {
public:
  std::string Name() const override { return kTlsPackageName; }
  std::string Comment() const override { return "Schannel Security Package"; }
  uint32_t Capabilities() const override { return 0x107B3; }
  uint32_t MaxToken() const override { return 24576; }

  SECURITY_STATUS AcquireCredentials(const char*, uint32_t use, void* authData,
                                     std::unique_ptr<TzqSecurityCredentials>& credentials) override {
    const auto* record = static_cast<const SCHANNEL_CRED*>(authData);
    if (record != nullptr && record->dwVersion != SCHANNEL_CRED_VERSION) return SEC_E_UNKNOWN_CREDENTIALS;
    bool server = (use & SECPKG_CRED_INBOUND) != 0;
    if (!server && (use & SECPKG_CRED_OUTBOUND) == 0) return SEC_E_UNKNOWN_CREDENTIALS;
    PCCERT_CONTEXT certificate =
        record != nullptr && record->cCreds > 0 && record->paCred != nullptr ? record->paCred[0] : nullptr;
    if ((server && certificate == nullptr) || (certificate != nullptr && !CertHasPrivateKey(certificate)))
      return SEC_E_NO_CREDENTIALS;
    uint32_t flags = record != nullptr ? record->dwFlags : 0;
    TzqSslCtxPtr context(SSL_CTX_new(server ? TLS_server_method() : TLS_client_method()));
    if (context == nullptr) {
      ERR_clear_error();
      return SEC_E_INSUFFICIENT_MEMORY;
    }
    SECURITY_STATUS status =
        Configure(context.get(), server, record != nullptr ? record->grbitEnabledProtocols : 0, flags, certificate);
    if (status != SEC_E_OK) {
      ERR_clear_error();
      return status;
    }
    credentials =
        std::make_unique<TzqTlsCredentials>(std::move(context), server, certificate, (flags & SCH_SEND_ROOT_CERT) != 0);
    return SEC_E_OK;
  }

private:
  static SECURITY_STATUS Configure(SSL_CTX* context, bool server, uint32_t protocols, uint32_t flags,
                                   PCCERT_CONTEXT certificate) {
    SSL_CTX_set_options(context, SSL_OP_NO_SSLv3 | SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
    if (protocols != 0) {
      int lowest = 0, highest = 0;
      uint64_t gaps = 0;
      if (!VersionRange(protocols, lowest, highest, gaps)) return SEC_E_ALGORITHM_MISMATCH;
      SSL_CTX_set_min_proto_version(context, lowest);
      SSL_CTX_set_max_proto_version(context, highest);
      SSL_CTX_set_options(context, gaps);
    }
    if ((flags & SCH_USE_STRONG_CRYPTO) != 0 &&
        SSL_CTX_set_cipher_list(context, "ECDHE+AESGCM:ECDHE+CHACHA20:DHE+AESGCM:DHE+CHACHA20:!aNULL") != 1)
      return SEC_E_ALGORITHM_MISMATCH;
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    if (!server) {
      SSL_CTX_set_cert_cb(context, CertificateCallback, nullptr);
      return SEC_E_OK;
    }
    if (SSL_CTX_use_certificate(context, CertX509(certificate)) != 1 ||
        SSL_CTX_use_PrivateKey(context, CertPrivateKey(certificate)) != 1)
      return SEC_E_NO_CREDENTIALS;
    AddChain(certificate, (flags & SCH_SEND_ROOT_CERT) != 0,
             [context](X509* item) { SSL_CTX_add1_chain_cert(context, item); });
    return SEC_E_OK;
  }
};

}  // namespace

std::unique_ptr<TzqSecurityPackage> NewTlsPackage() { return std::make_unique<TzqTlsPackage>(); }

}  // namespace zq
