#include "net/zqSocks.h"

#include <netinet/in.h>

#include <cstring>

#include "codec/zqUtils.h"

namespace zq {

namespace {

const char* const sRequestGranted = "Request granted";
const char* const sSocks4Rejected = "SOCKS error: request rejected or failed";
const char* const sSocks4NoIdentd =
    "SOCKS error: request rejected becasue SOCKS server cannot connect to identd on the client";
const char* const sSocks4IdentdMismatch =
    "SOCKS error: request rejected because the client program and identd report different user-ids";
const char* const sSocksUnknownError = "Unknown SOCKS error occured";

const char* const kSocks5Texts[] = {
    "Succeeded",
    "General SOCKS server failure",
    "SOCKS error: connection not allowed by ruleset",
    "SOCKS error: Network unreachable",
    "SOCKS error: Host unreachable",
    "SOCKS error: Connection refused",
    "SOCKS error: TTL expired",
    "SOCKS error: Command not supported",
    "SOCKS error: Address type not supported",
};

[[noreturn]] void RaiseSocks(const std::string& message, int code) { throw EzqSocksFirewallError(message, code); }

// A reply of another version is no answer to the request: its code byte means nothing.
void CheckVersion(uint8_t version, uint8_t expected) {
  if (version != expected) RaiseSocks(Format(sSocksWrongVersion, version, expected), kSocksWrongVersionCode);
}

void Append(TzqByteArray& bytes, const std::string& text) { bytes.insert(bytes.end(), text.begin(), text.end()); }

void AppendPort(TzqByteArray& bytes, int32_t port) {
  int index = static_cast<int>(bytes.size());
  bytes.resize(bytes.size() + 2);
  PutUInt16BigEndian(static_cast<uint16_t>(port), bytes, index);
}

// The address bytes of a numeric address text (4 or 16), empty for anything else.
TzqByteArray AddressBytes(const std::string& text) {
  if (!TzqIPAddress::IsIPAddress(text)) return {};
  const auto address = TzqIPAddress::ParseAddress(text);
  if (address->Family() == kAfInet6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address->SockAddr());
    return TzqByteArray(in6->sin6_addr.s6_addr, in6->sin6_addr.s6_addr + 16);
  }
  const auto* in4 = reinterpret_cast<const sockaddr_in*>(address->SockAddr());
  const auto* bytes = reinterpret_cast<const uint8_t*>(&in4->sin_addr.s_addr);
  return TzqByteArray(bytes, bytes + 4);
}

void AppendIPv4(TzqByteArray& request, const TzqByteArray& address, const std::string& target) {
  if (address.size() != 4) RaiseSocks(Format(sSocks4NeedsIPv4, target.c_str()), kInvalidAddressFamilyCode);
  request.insert(request.end(), address.begin(), address.end());
}

}  // namespace

std::string Socks4ErrorText(int code) {
  switch (code) {
    case 90:
      return sRequestGranted;
    case 91:
      return sSocks4Rejected;
    case 92:
      return sSocks4NoIdentd;
    case 93:
      return sSocks4IdentdMismatch;
    default:
      return sSocksUnknownError;
  }
}

std::string Socks5ErrorText(int code) {
  if (code >= 0 && code < static_cast<int>(std::size(kSocks5Texts))) return kSocks5Texts[code];
  return sSocksUnknownError;
}

// ---------------------------------------------------------------------------------------------
// TzqSocksNetworkStream

TzqSocksNetworkStream::TzqSocksNetworkStream(std::unique_ptr<TzqNetworkStream> inner) : inner_(std::move(inner)) {
  if (!inner_) inner_ = std::make_unique<TzqNetworkStream>();
  SetPendingAction(kPendingWrite);
}

TzqSocksNetworkStream::~TzqSocksNetworkStream() = default;

void TzqSocksNetworkStream::TakeOverInnerAction() {
  const uint8_t action = inner_->PendingAction();
  inner_->ClearPendingAction();
  SetPendingAction(action);
}

// The connection looks at this stream's flags; in pass-through they are the inner stream's.
void TzqSocksNetworkStream::SyncFromInner() {
  if (inner_->NeedClose()) SetNeedClose(true);
  SetZeroRead(inner_->ZeroRead());
}

void TzqSocksNetworkStream::SetConnection(TzqConnection* connection) {
  TzqNetworkStream::SetConnection(connection);
  inner_->SetConnection(connection);
}

void TzqSocksNetworkStream::AssignFrom(const TzqNetworkStream& other) {
  TzqNetworkStream::AssignFrom(other);
  const auto* socks = dynamic_cast<const TzqSocksNetworkStream*>(&other);
  if (socks == nullptr) return;
  targetServer_ = socks->targetServer_;
  targetPort_ = socks->targetPort_;
  userName_ = socks->userName_;
  password_ = socks->password_;
}

bool TzqSocksNetworkStream::Connect(TzqIPAddress& address, int32_t port) {
  state_ = ssStart;
  return TzqNetworkStream::Connect(address, port);
}

void TzqSocksNetworkStream::UpdateLocalAddress() {
  TzqNetworkStream::UpdateLocalAddress();
  inner_->UpdateLocalAddress();
}

void TzqSocksNetworkStream::PrepareClose(bool notifyPeer) {
  ClearPendingAction();
  inner_->PrepareClose(notifyPeer);
  if (state_ == ssPassThrough) TakeOverInnerAction();
}

void TzqSocksNetworkStream::NotifyReady() {
  if (state_ == ssAccepted) {
    state_ = ssPassThrough;
    BeforeConnect();
  } else if (state_ == ssPassThrough) {
    inner_->NotifyReady();
  }
}

void TzqSocksNetworkStream::Accepted() {
  state_ = ssAccepted;
  NotifyReady();
}

bool TzqSocksNetworkStream::ReadReply() {
  TzqConnection& connection = RequireConnection();
  const int64_t wanted = ExpectedReplyLength() - readBuffer_.Size();
  ResetCounter();
  connection.SetReadLimit(wanted);
  bool result = false;
  try {
    readBuffer_.Seek(0, soEnd);
    result = TzqNetworkStream::ReadToStream(&readBuffer_);
  } catch (...) {
    connection.SetReadLimit(-1);
    throw;
  }
  connection.SetReadLimit(-1);
  SetHasReadData(result);
  readBuffer_.SetPosition(0);
  if (ParseReply(readBuffer_.ReadRemaining())) {
    readBuffer_.SetSize(0);
  } else if (ZeroRead()) {
    // The server hung up in the middle of its reply.
    RaiseSocketError(WSAECONNABORTED);
  }
  return result;
}

bool TzqSocksNetworkStream::ReadToStream(TzqStream* stream) {
  if (state_ != ssPassThrough) return ReadReply();
  ClearPendingAction();
  const bool result = inner_->ReadToStream(stream);
  TakeOverInnerAction();
  SyncFromInner();
  return result;
}

bool TzqSocksNetworkStream::WriteFromStream(TzqStream* stream) {
  if (state_ == ssPassThrough) {
    ClearPendingAction();
    const bool result = inner_->WriteFromStream(stream);
    TakeOverInnerAction();
    SyncFromInner();
    return result;
  }
  ClearPendingAction();
  if (!request_) {
    request_ = std::make_unique<TzqMemoryStream>();
    request_->WriteBytes(BuildRequest());
    request_->SetPosition(0);
  }
  ResetCounter();
  if (!TzqNetworkStream::WriteFromStream(request_.get())) {
    SetPendingAction(kPendingWrite);
    return false;
  }
  request_.reset();
  SetPendingAction(kPendingRead);
  return true;
}

int32_t TzqSocksNetworkStream::GetReadBatchSize() {
  return state_ == ssPassThrough ? inner_->GetReadBatchSize() : TzqNetworkStream::GetReadBatchSize();
}

int32_t TzqSocksNetworkStream::GetWriteBatchSize() {
  return state_ == ssPassThrough ? inner_->GetWriteBatchSize() : TzqNetworkStream::GetWriteBatchSize();
}

bool TzqSocksNetworkStream::IsLimitReached() {
  return state_ == ssPassThrough ? inner_->IsLimitReached() : TzqNetworkStream::IsLimitReached();
}

void TzqSocksNetworkStream::ResetCounter() {
  TzqNetworkStream::ResetCounter();
  inner_->ResetCounter();
}

// Handshake bytes count against the read limit (so that no byte past a reply is taken) but
// are no progress.
void TzqSocksNetworkStream::AddBytes(int64_t n) {
  if (state_ == ssPassThrough)
    inner_->AddBytes(n);
  else
    CountBytes(n);
}

void TzqSocksNetworkStream::BeforeConnect() {
  if (state_ == ssPassThrough) {
    ClearPendingAction();
    inner_->BeforeConnect();
    TakeOverInnerAction();
    return;
  }
  state_ = ssStart;
  readBuffer_.SetSize(0);
  request_.reset();
  SetPendingAction(kPendingWrite);
}

void TzqSocksNetworkStream::EnableBroadcast() {}
void TzqSocksNetworkStream::Listen() {}
void TzqSocksNetworkStream::Accept() {}
void TzqSocksNetworkStream::BeforeAccept() {}
bool TzqSocksNetworkStream::ReceiveFrom(TzqByteArray&, TzqIPAddress&, int32_t&) { return false; }
bool TzqSocksNetworkStream::SendTo(TzqStream*, TzqIPAddress&, int32_t) { return false; }

TzqByteArray TzqSocksNetworkStream::NumericTarget() const { return AddressBytes(targetServer_); }

// ---------------------------------------------------------------------------------------------
// SOCKS 4 and 4a

void TzqSocks4NetworkStream::AppendCommand(TzqByteArray& request) const {
  request.push_back(0x04);
  request.push_back(0x01);
  AppendPort(request, TargetPort());
}

void TzqSocks4NetworkStream::AppendUserId(TzqByteArray& request) const {
  Append(request, UserName());
  request.push_back(0);
}

TzqByteArray TzqSocks4NetworkStream::BuildRequest() {
  TzqByteArray request;
  AppendCommand(request);
  const bool preferIPv6 = RequireConnection().UseIpV6();
  TzqByteArray address = AddressBytes(ResolveHostAddress(TargetServer(), preferIPv6));
  // SOCKS 4 carries IPv4 only: a host that also has an IPv4 address is reached through it.
  if (address.size() != 4 && preferIPv6) address = AddressBytes(ResolveHostAddress(TargetServer(), false));
  AppendIPv4(request, address, TargetServer());
  AppendUserId(request);
  return request;
}

bool TzqSocks4NetworkStream::ParseReply(const TzqByteArray& reply) {
  if (reply.size() < 8) {
    SetPendingAction(kPendingRead);
    return false;
  }
  CheckVersion(reply[0], 0);
  if (reply[1] != 90) RaiseSocks(Socks4ErrorText(reply[1]), reply[1]);
  Accepted();
  return true;
}

int32_t TzqSocks4NetworkStream::ExpectedReplyLength() { return 8; }

TzqByteArray TzqSocks4aNetworkStream::BuildRequest() {
  TzqByteArray request;
  AppendCommand(request);
  const TzqByteArray address = NumericTarget();
  const bool named = address.empty();
  if (named)
    request.insert(request.end(), {0, 0, 0, 1});
  else
    AppendIPv4(request, address, TargetServer());
  AppendUserId(request);
  if (named) {
    Append(request, TargetServer());
    request.push_back(0);
  }
  return request;
}

// ---------------------------------------------------------------------------------------------
// SOCKS 5

bool TzqSocks5NetworkStream::Connect(TzqIPAddress& address, int32_t port) {
  expectedLength_ = 0;
  return TzqSocksNetworkStream::Connect(address, port);
}

void TzqSocks5NetworkStream::CheckFieldLengths() const {
  const auto check = [](const std::string& value, const char* what) {
    if (value.size() > 255) RaiseSocks(Format(sSocksFieldTooLong, what), kSocksFieldTooLongCode);
  };
  check(UserName(), "user name");
  check(Password(), "password");
  if (NumericTarget().empty()) check(TargetServer(), "host name");
}

TzqByteArray TzqSocks5NetworkStream::Greeting() {
  // Everything is checked before the first byte goes out.
  CheckFieldLengths();
  expectedLength_ = 2;
  return {0x05, 0x01, static_cast<uint8_t>(UserName().empty() ? 0x00 : 0x02)};
}

TzqByteArray TzqSocks5NetworkStream::Login() {
  expectedLength_ = 2;
  TzqByteArray request{0x01, static_cast<uint8_t>(UserName().size())};
  Append(request, UserName());
  request.push_back(static_cast<uint8_t>(Password().size()));
  Append(request, Password());
  return request;
}

TzqByteArray TzqSocks5NetworkStream::ConnectRequest() {
  expectedLength_ = 10;
  TzqByteArray request{0x05, 0x01, 0x00};
  const TzqByteArray address = NumericTarget();
  if (address.empty()) {
    request.push_back(0x03);
    request.push_back(static_cast<uint8_t>(TargetServer().size()));
    Append(request, TargetServer());
  } else {
    request.push_back(address.size() == 16 ? 0x04 : 0x01);
    request.insert(request.end(), address.begin(), address.end());
  }
  AppendPort(request, TargetPort());
  return request;
}

TzqByteArray TzqSocks5NetworkStream::BuildRequest() {
  switch (State()) {
    case ssStart:
      return Greeting();
    case ssAuthenticate:
      return Login();
    default:
      return ConnectRequest();
  }
}

bool TzqSocks5NetworkStream::ParseConnectReply(const TzqByteArray& reply) {
  CheckVersion(reply[0], 5);
  if (reply[1] != 0) RaiseSocks(Socks5ErrorText(reply[1]), reply[1]);
  const uint8_t addressType = reply[3];
  if (addressType != 1 && addressType != 4) RaiseSocks(sSocksAddressTypeNotSupported, addressType);
  if (addressType == 4 && reply.size() < 22) {
    expectedLength_ = 22;
    SetPendingAction(kPendingRead);
    return false;
  }
  Accepted();
  return true;
}

bool TzqSocks5NetworkStream::ParseReply(const TzqByteArray& reply) {
  if (reply.size() < static_cast<size_t>(expectedLength_)) {
    SetPendingAction(kPendingRead);
    return false;
  }
  switch (State()) {
    case ssStart:
      CheckVersion(reply[0], 5);
      if (reply[1] == 0)
        SetState(ssConnectRequest);
      else if (reply[1] == 2)
        SetState(ssAuthenticate);
      else
        RaiseSocks(sSocksNoAcceptableMethods, reply[1]);
      SetPendingAction(kPendingWrite);
      return true;
    case ssAuthenticate:
      CheckVersion(reply[0], 1);
      if (reply[1] != 0) RaiseSocks(sSocksAuthenticationFailed, reply[1]);
      SetState(ssConnectRequest);
      SetPendingAction(kPendingWrite);
      return true;
    default:
      return ParseConnectReply(reply);
  }
}

int32_t TzqSocks5NetworkStream::ExpectedReplyLength() { return expectedLength_; }

}  // namespace zq
