#include "platform/zqSocketApi.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <unordered_map>

#include "core/zqSystem.h"

namespace zq {

namespace {

struct TzqErrorEntry {
  int wsa;
  int error;     // errno value, 0 when the entry is a getaddrinfo result
  int addrInfo;  // EAI_* value, 0 when the entry is an errno value
};

// Order matters where two system values share one Winsock number: the first entry of a
// Winsock number gives its text.
const TzqErrorEntry kErrorTable[] = {
    {WSA_NOT_ENOUGH_MEMORY, ENOMEM, 0},
    {WSAEINTR, EINTR, 0},
    {WSAENOTSOCK, ENOTSOCK, 0},
    {WSAENOTSOCK, EBADF, 0},
    {WSAEBADF, EBADF, 0},
    {WSAEACCES, EACCES, 0},
    {WSAEACCES, EPERM, 0},
    {WSAEFAULT, EFAULT, 0},
    {WSAEINVAL, EINVAL, 0},
    {WSAEMFILE, EMFILE, 0},
    {WSAEMFILE, ENFILE, 0},
    {WSAEWOULDBLOCK, EWOULDBLOCK, 0},
    {WSAEWOULDBLOCK, EAGAIN, 0},
    {WSAEINPROGRESS, EINPROGRESS, 0},
    {WSAEALREADY, EALREADY, 0},
    {WSAEDESTADDRREQ, EDESTADDRREQ, 0},
    {WSAEMSGSIZE, EMSGSIZE, 0},
    {WSAEPROTOTYPE, EPROTOTYPE, 0},
    {WSAENOPROTOOPT, ENOPROTOOPT, 0},
    {WSAEPROTONOSUPPORT, EPROTONOSUPPORT, 0},
    {WSAESOCKTNOSUPPORT, ESOCKTNOSUPPORT, 0},
    {WSAEOPNOTSUPP, EOPNOTSUPP, 0},
    {WSAEPFNOSUPPORT, EPFNOSUPPORT, 0},
    {WSAEAFNOSUPPORT, EAFNOSUPPORT, 0},
    {WSAEADDRINUSE, EADDRINUSE, 0},
    {WSAEADDRNOTAVAIL, EADDRNOTAVAIL, 0},
    {WSAENETDOWN, ENETDOWN, 0},
    {WSAENETUNREACH, ENETUNREACH, 0},
    {WSAENETRESET, ENETRESET, 0},
    {WSAECONNABORTED, ECONNABORTED, 0},
    {WSAECONNABORTED, EPIPE, 0},
    {WSAECONNRESET, ECONNRESET, 0},
    {WSAENOBUFS, ENOBUFS, 0},
    {WSAEISCONN, EISCONN, 0},
    {WSAENOTCONN, ENOTCONN, 0},
    {WSAESHUTDOWN, ESHUTDOWN, 0},
    {WSAETIMEDOUT, ETIMEDOUT, 0},
    {WSAECONNREFUSED, ECONNREFUSED, 0},
    {WSAELOOP, ELOOP, 0},
    {WSAENAMETOOLONG, ENAMETOOLONG, 0},
    {WSAEHOSTDOWN, EHOSTDOWN, 0},
    {WSAEHOSTUNREACH, EHOSTUNREACH, 0},
    {WSAHOST_NOT_FOUND, 0, EAI_NONAME},
    {WSATRY_AGAIN, 0, EAI_AGAIN},
    {WSANO_RECOVERY, 0, EAI_FAIL},
    {WSANO_DATA, 0, EAI_NODATA},
    {WSANO_DATA, 0, EAI_ADDRFAMILY},
    {WSAEAFNOSUPPORT, 0, EAI_FAMILY},
    {WSAESOCKTNOSUPPORT, 0, EAI_SOCKTYPE},
    {WSATYPE_NOT_FOUND, 0, EAI_SERVICE},
    {WSAEINVAL, 0, EAI_BADFLAGS},
    {WSA_NOT_ENOUGH_MEMORY, 0, EAI_MEMORY},
};

thread_local int tLastError = 0;
std::atomic<uint32_t> gConnectEventDelay{0};
std::atomic<bool> gAddressListFunctions{true};
std::mutex gHostOverridesLock;
std::unordered_map<std::string, std::string> gHostOverrides;

// What the socket service remembers of each socket it made.
struct TzqSocketState {
  TzqSocketEvent* event = nullptr;
  int32_t selected = 0;
  bool stream = false;
  bool listening = false;
  bool connecting = false;
  uint64_t connectTick = 0;
  bool writeArmed = false;
  bool readReported = false;
  bool closeReported = false;
  bool errorTaken = false;
  int error = 0;  // Winsock number of the socket's pending error, once taken
  // What a signal check found due, kept for the WSAEnumNetworkEvents that follows it (so that
  // a read after a wait asks the system nothing more); dropped by any call that changes it.
  bool foundKept = false;
  TzqNetworkEvents found;
};

std::mutex gSocketsLock;
std::unordered_map<TzqSocketHandle, TzqSocketState> gSockets;

int Fail(int wsaError) {
  tLastError = wsaError;
  return SOCKET_ERROR;
}

int FailErrno() { return Fail(WsaErrorFromErrno(errno)); }

int Checked(int result) { return result < 0 ? FailErrno() : result; }

// Holds the lock while a socket's state is looked at or changed.
class TzqStateAccess {
public:
  explicit TzqStateAccess(TzqSocketHandle s) : guard_(gSocketsLock) {
    auto it = gSockets.find(s);
    state_ = it == gSockets.end() ? nullptr : &it->second;
  }
  TzqSocketState* operator->() const { return state_; }
  TzqSocketState& operator*() const { return *state_; }
  explicit operator bool() const { return state_ != nullptr; }

private:
  std::lock_guard<std::mutex> guard_;
  TzqSocketState* state_;
};

void SetNoDelay(TzqSocketHandle s) {
  const int on = 1;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void Register(TzqSocketHandle s, bool stream) {
  std::lock_guard<std::mutex> guard(gSocketsLock);
  TzqSocketState state;
  state.stream = stream;
  gSockets[s] = state;
}

int BytesAvailable(TzqSocketHandle s) {
  int available = 0;
  return ::ioctl(s, FIONREAD, &available) == 0 ? available : 0;
}

short PollNow(TzqSocketHandle s, short events) {
  pollfd p{s, events, 0};
  return ::poll(&p, 1, 0) == 1 ? p.revents : 0;
}

constexpr short kAllEvents = POLLIN | POLLOUT | POLLRDHUP;

// Whether unread bytes wait, from a poll that asked for POLLIN. On a stream socket POLLIN
// without a hang-up means bytes; with one, only the count tells bytes from the bare close.
bool HasUnread(TzqSocketHandle s, const TzqSocketState& state, short revents) {
  if (state.stream && !(revents & (POLLRDHUP | POLLHUP | POLLERR))) return (revents & POLLIN) != 0;
  return BytesAvailable(s) > 0;
}

// An error already taken from the socket no longer shows in poll(); its FD_CLOSE is due anyway.
bool CloseDueUnpolled(const TzqSocketState& state) {
  return (state.selected & FD_CLOSE) && !state.closeReported && !state.connecting && !state.listening &&
         state.errorTaken && state.error != 0;
}

void DropFound(TzqSocketState& state) { state.foundKept = false; }

int TakeSocketError(TzqSocketHandle s, TzqSocketState& state) {
  if (!state.errorTaken) {
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length);
    state.error = error == 0 ? 0 : WsaErrorFromErrno(error);
    state.errorTaken = true;
  }
  return state.error;
}

int64_t ConnectDelayLeft(const TzqSocketState& state) {
  const uint32_t delay = gConnectEventDelay.load();
  if (delay == 0) return 0;
  return std::max<int64_t>(0, static_cast<int64_t>(state.connectTick + delay) - static_cast<int64_t>(GetTickCount64()));
}

void Report(TzqNetworkEvents& events, int32_t event, int bit, int error) {
  events.lNetworkEvents |= event;
  events.iErrorCode[bit] = error;
}

// The selected network events that are due, by revents of a poll just made (one that asked
// for kAllEvents, or for the events PollDescriptor named); changes nothing but the taken error.
TzqNetworkEvents DueEvents(TzqSocketHandle s, TzqSocketState& state, short revents) {
  TzqNetworkEvents events;
  if (state.connecting) {
    if ((state.selected & FD_CONNECT) && (revents & (POLLOUT | POLLERR | POLLHUP)) && ConnectDelayLeft(state) == 0)
      Report(events, FD_CONNECT, FD_CONNECT_BIT, TakeSocketError(s, state));
    return events;
  }
  if (state.listening) {
    if ((state.selected & FD_ACCEPT) && (revents & POLLIN)) Report(events, FD_ACCEPT, FD_ACCEPT_BIT, 0);
    return events;
  }
  const bool unread = HasUnread(s, state, revents);
  if ((state.selected & FD_READ) && !state.readReported && unread) Report(events, FD_READ, FD_READ_BIT, 0);
  // Reading SO_ERROR clears POLLERR, so an error taken earlier still counts.
  const bool failed = (revents & POLLERR) || (state.errorTaken && state.error != 0);
  if ((state.selected & FD_CLOSE) && !state.closeReported) {
    if (failed)
      Report(events, FD_CLOSE, FD_CLOSE_BIT, TakeSocketError(s, state));
    else if (!unread && (revents & (POLLIN | POLLRDHUP | POLLHUP)))
      Report(events, FD_CLOSE, FD_CLOSE_BIT, 0);
  }
  if ((state.selected & FD_WRITE) && state.writeArmed && (revents & POLLOUT) && !failed)
    Report(events, FD_WRITE, FD_WRITE_BIT, 0);
  return events;
}

void Consume(const TzqNetworkEvents& events, TzqSocketState& state) {
  DropFound(state);
  const int32_t due = events.lNetworkEvents;
  if (due & FD_CONNECT) {
    state.connecting = false;
    state.writeArmed = events.iErrorCode[FD_CONNECT_BIT] == 0;
  }
  if (due & FD_READ) state.readReported = true;
  if (due & FD_WRITE) state.writeArmed = false;
  if (due & FD_CLOSE) state.closeReported = true;
  if (due & (FD_CONNECT | FD_CLOSE)) state.errorTaken = false;
}

int NativeLevel(int level) { return level == SOL_SOCKET_WS ? SOL_SOCKET : level; }

int NativeOption(int level, int option) {
  if (level != SOL_SOCKET_WS) return option;
  switch (option) {
    case SO_BROADCAST_WS:
      return SO_BROADCAST;
    case SO_REUSEADDR_WS:
      return SO_REUSEADDR;
    case SO_SNDBUF_WS:
      return SO_SNDBUF;
    case SO_RCVBUF_WS:
      return SO_RCVBUF;
    default:
      return -1;
  }
}

}  // namespace

struct TzqSocketEventAccess {
  static TzqSocketHandle& Socket(TzqSocketEvent& event) { return event.socket_; }
};

int WsaErrorFromErrno(int error) {
  for (const auto& entry : kErrorTable)
    if (entry.error == error && entry.addrInfo == 0) return entry.wsa;
  return error;
}

int WsaErrorFromAddrInfo(int result) {
  if (result == 0) return 0;
  if (result == EAI_SYSTEM) return WsaErrorFromErrno(errno);
  for (const auto& entry : kErrorTable)
    if (entry.addrInfo == result) return entry.wsa;
  return WSANO_RECOVERY;
}

std::string WsaErrorText(int wsaError) {
  for (const auto& entry : kErrorTable) {
    if (entry.wsa != wsaError) continue;
    return entry.addrInfo != 0 ? std::string(gai_strerror(entry.addrInfo)) : ErrnoText(entry.error);
  }
  return ErrnoText(wsaError);
}

int WSAGetLastError() { return tLastError; }
void WSASetLastError(int error) { tLastError = error; }

int NativeFamily(int32_t wsaFamily) {
  switch (wsaFamily) {
    case kAfUnspec:
      return AF_UNSPEC;
    case kAfInet:
      return AF_INET;
    case kAfInet6:
      return AF_INET6;
    default:
      return -1;
  }
}

int32_t WsaFamily(int nativeFamily) {
  switch (nativeFamily) {
    case AF_INET:
      return kAfInet;
    case AF_INET6:
      return kAfInet6;
    default:
      return 0;
  }
}

TzqSocketEvent::~TzqSocketEvent() {
  if (socket_ == INVALID_SOCKET) return;
  TzqStateAccess state(socket_);
  if (state && state->event == this) {
    state->event = nullptr;
    state->selected = 0;
  }
}

int TzqSocketEvent::PollDescriptor(short& events, int64_t& timeoutHint) {
  if (socket_ == INVALID_SOCKET) return -1;
  TzqStateAccess state(socket_);
  if (!state || state->selected == 0 || state->closeReported) return -1;
  if (state->connecting) {
    const int64_t left = ConnectDelayLeft(*state);
    if (left > 0) {
      timeoutHint = timeoutHint < 0 ? left : std::min(timeoutHint, left);
      return -1;
    }
    events = POLLOUT;
    return socket_;
  }
  events = 0;
  if (state->listening) {
    if (state->selected & FD_ACCEPT) events = POLLIN;
    return socket_;
  }
  if (CloseDueUnpolled(*state)) timeoutHint = 0;
  const bool closeSelected = (state->selected & FD_CLOSE) != 0;
  if ((state->selected & FD_WRITE) && state->writeArmed) events |= POLLOUT;
  // Waiting for bytes, the close is waited for too, and no count is needed to choose.
  if ((state->selected & FD_READ) && !state->readReported) {
    events |= closeSelected ? POLLIN | POLLRDHUP : POLLIN;
    return socket_;
  }
  const int available = BytesAvailable(socket_);
  if (closeSelected && available == 0) events |= POLLIN | POLLRDHUP;
  // A hang-up that cannot be reported before the unread data is taken must not keep waking
  // the waiter.
  if (available > 0 && state->readReported && (PollNow(socket_, 0) & POLLHUP) && !(events & POLLOUT)) return -1;
  return socket_;
}

namespace {

bool TakeDue(TzqSocketHandle s, TzqSocketState& state, short revents) {
  const TzqNetworkEvents due = DueEvents(s, state, revents);
  if (due.lNetworkEvents == 0) return false;
  state.found = due;
  state.foundKept = true;
  return true;
}

}  // namespace

bool TzqSocketEvent::TakeSignal() {
  if (socket_ == INVALID_SOCKET) return false;
  TzqStateAccess state(socket_);
  return state && TakeDue(socket_, *state, PollNow(socket_, kAllEvents));
}

bool TzqSocketEvent::TakeSignalAfterPoll(short revents) {
  if (socket_ == INVALID_SOCKET) return false;
  TzqStateAccess state(socket_);
  return state && TakeDue(socket_, *state, revents);
}

void SetConnectEventDelay(uint32_t milliseconds) { gConnectEventDelay = milliseconds; }
void SetAddressListFunctionsAvailable(bool available) { gAddressListFunctions = available; }
bool AddressListFunctionsAvailable() { return gAddressListFunctions; }

void SetHostOverride(const std::string& name, const std::string& literal) {
  std::lock_guard<std::mutex> guard(gHostOverridesLock);
  if (literal.empty())
    gHostOverrides.erase(name);
  else
    gHostOverrides[name] = literal;
}

std::string NumericHostFor(const std::string& name) {
  std::lock_guard<std::mutex> guard(gHostOverridesLock);
  const auto found = gHostOverrides.find(name);
  return found == gHostOverrides.end() ? std::string() : found->second;
}

namespace winsock {

TzqSocketHandle socket(int32_t family, int type, int protocol) {
  const int native = NativeFamily(family);
  if (native < 0 || native == AF_UNSPEC) return Fail(WSAEAFNOSUPPORT);
  const TzqSocketHandle s = ::socket(native, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
  if (s < 0) return FailErrno();
  if (type == SOCK_STREAM) SetNoDelay(s);
  Register(s, type == SOCK_STREAM);
  return s;
}

int closesocket(TzqSocketHandle s) {
  {
    std::lock_guard<std::mutex> guard(gSocketsLock);
    auto it = gSockets.find(s);
    if (it == gSockets.end()) return Fail(WSAENOTSOCK);
    if (it->second.event != nullptr) TzqSocketEventAccess::Socket(*it->second.event) = INVALID_SOCKET;
    gSockets.erase(it);
  }
  return Checked(::close(s));
}

namespace {

void ForgetFound(TzqSocketHandle s) {
  TzqStateAccess state(s);
  if (state) DropFound(*state);
}

// A receive, whatever it got, re-arms FD_READ and ends what the last signal check found.
void AfterReceive(TzqSocketHandle s) {
  TzqStateAccess state(s);
  if (!state) return;
  state->readReported = false;
  DropFound(*state);
}

}  // namespace

int shutdown(TzqSocketHandle s, int how) {
  ForgetFound(s);
  return Checked(::shutdown(s, how));
}

int connect(TzqSocketHandle s, const sockaddr* name, int nameLength) {
  const int result = ::connect(s, name, static_cast<socklen_t>(nameLength));
  TzqStateAccess state(s);
  if (state) DropFound(*state);
  if (result == 0) {
    if (state) state->writeArmed = true;
    return 0;
  }
  if (errno != EINPROGRESS) return FailErrno();
  if (state) {
    state->connecting = true;
    state->connectTick = GetTickCount64();
    state->errorTaken = false;
  }
  return Fail(WSAEWOULDBLOCK);
}

int bind(TzqSocketHandle s, const sockaddr* name, int nameLength) {
  return Checked(::bind(s, name, static_cast<socklen_t>(nameLength)));
}

int listen(TzqSocketHandle s, int backlog) {
  if (::listen(s, backlog) < 0) return FailErrno();
  TzqStateAccess state(s);
  if (state) state->listening = true;
  return 0;
}

TzqSocketHandle accept(TzqSocketHandle s, sockaddr* address, int* addressLength) {
  socklen_t length = addressLength != nullptr ? static_cast<socklen_t>(*addressLength) : 0;
  const TzqSocketHandle accepted =
      ::accept4(s, address, addressLength != nullptr ? &length : nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  ForgetFound(s);
  if (accepted < 0) return FailErrno();
  if (addressLength != nullptr) *addressLength = static_cast<int>(length);
  SetNoDelay(accepted);
  Register(accepted, true);
  TzqStateAccess state(accepted);
  state->writeArmed = true;
  return accepted;
}

int getsockname(TzqSocketHandle s, sockaddr* name, int* nameLength) {
  socklen_t length = static_cast<socklen_t>(*nameLength);
  if (::getsockname(s, name, &length) < 0) return FailErrno();
  *nameLength = static_cast<int>(length);
  return 0;
}

int send(TzqSocketHandle s, const void* buffer, int length, int flags) {
  const ssize_t sent = ::send(s, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
  if (sent >= 0) return static_cast<int>(sent);
  const int error = errno;
  {
    TzqStateAccess state(s);
    if (state) {
      DropFound(*state);
      if (error == EAGAIN || error == EWOULDBLOCK) state->writeArmed = true;
    }
  }
  return Fail(WsaErrorFromErrno(error));
}

int recv(TzqSocketHandle s, void* buffer, int length, int flags) {
  const ssize_t received = ::recv(s, buffer, static_cast<size_t>(length), flags);
  const int error = errno;
  AfterReceive(s);
  if (received >= 0) return static_cast<int>(received);
  return Fail(WsaErrorFromErrno(error));
}

int sendto(TzqSocketHandle s, const void* buffer, int length, int flags, const sockaddr* to, int toLength) {
  const ssize_t sent =
      ::sendto(s, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL, to, static_cast<socklen_t>(toLength));
  return sent >= 0 ? static_cast<int>(sent) : FailErrno();
}

int recvfrom(TzqSocketHandle s, void* buffer, int length, int flags, sockaddr* from, int* fromLength) {
  socklen_t size = fromLength != nullptr ? static_cast<socklen_t>(*fromLength) : 0;
  const ssize_t received =
      ::recvfrom(s, buffer, static_cast<size_t>(length), flags, from, fromLength != nullptr ? &size : nullptr);
  const int error = errno;
  AfterReceive(s);
  if (received < 0) return Fail(WsaErrorFromErrno(error));
  if (fromLength != nullptr) *fromLength = static_cast<int>(size);
  return static_cast<int>(received);
}

int setsockopt(TzqSocketHandle s, int level, int option, const void* value, int length) {
  const int native = NativeOption(level, option);
  if (native < 0) return Fail(WSAENOPROTOOPT);
  return Checked(::setsockopt(s, NativeLevel(level), native, value, static_cast<socklen_t>(length)));
}

int ioctlsocket(TzqSocketHandle s, unsigned long command, unsigned long* argument) {
  if (command == FIONREAD_WS) {
    int available = 0;
    if (::ioctl(s, FIONREAD, &available) < 0) return FailErrno();
    *argument = static_cast<unsigned long>(available);
    return 0;
  }
  if (command != FIONBIO_WS) return Fail(WSAEINVAL);
  const int flags = ::fcntl(s, F_GETFL);
  if (flags < 0) return FailErrno();
  return Checked(::fcntl(s, F_SETFL, *argument != 0 ? flags | O_NONBLOCK : flags & ~O_NONBLOCK));
}

int WSAEventSelect(TzqSocketHandle s, TzqSocketEvent* event, int32_t networkEvents) {
  TzqStateAccess state(s);
  if (!state) return Fail(WSAENOTSOCK);
  if (state->event != nullptr && state->event != event) TzqSocketEventAccess::Socket(*state->event) = INVALID_SOCKET;
  DropFound(*state);
  state->event = event;
  state->selected = event != nullptr ? networkEvents : 0;
  if (event != nullptr) TzqSocketEventAccess::Socket(*event) = s;
  return 0;
}

int WSAEnumNetworkEvents(TzqSocketHandle s, TzqSocketEvent*, TzqNetworkEvents* events) {
  TzqStateAccess state(s);
  if (!state) return Fail(WSAENOTSOCK);
  *events = state->foundKept ? state->found : DueEvents(s, *state, PollNow(s, kAllEvents));
  Consume(*events, *state);
  return 0;
}

int getaddrinfo(const char* host, const char* service, const addrinfo* hints, addrinfo** result) {
  *result = nullptr;
  if (!gAddressListFunctions) return WSANO_RECOVERY;
  addrinfo native{};
  if (hints != nullptr) native = *hints;
  const int family = NativeFamily(native.ai_family);
  if (family < 0) return WSAEAFNOSUPPORT;
  native.ai_family = family;
  if (native.ai_socktype == 0 && native.ai_protocol == 0) native.ai_socktype = SOCK_STREAM;
  // A caller asking whether host is itself numeric gets the system's answer.
  const bool named = host != nullptr && !(native.ai_flags & AI_NUMERICHOST);
  const std::string numeric = named ? NumericHostFor(host) : std::string();
  if (!numeric.empty()) native.ai_flags |= AI_NUMERICHOST;
  return WsaErrorFromAddrInfo(::getaddrinfo(numeric.empty() ? host : numeric.c_str(), service, &native, result));
}

void freeaddrinfo(addrinfo* list) {
  if (list != nullptr) ::freeaddrinfo(list);
}

uint32_t inet_addr(const char* text) { return ::inet_addr(text); }

std::string inet_ntoa(uint32_t networkOrderAddress) {
  in_addr address{};
  address.s_addr = networkOrderAddress;
  char text[INET_ADDRSTRLEN] = {};
  return ::inet_ntop(AF_INET, &address, text, sizeof text) != nullptr ? std::string(text) : std::string();
}

uint16_t HostToNetwork16(uint16_t value) { return htons(value); }
uint16_t NetworkToHost16(uint16_t value) { return ntohs(value); }

}  // namespace winsock

}  // namespace zq
