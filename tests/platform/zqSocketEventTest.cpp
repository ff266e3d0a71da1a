// Socket events over a loopback connection: what a wait finds is what the enumeration after it
// reports, and a read that follows a wait asks the system for nothing but the poll and the recv.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <string>

#include "platform/zqMessagePump.h"
#include "platform/zqSocketApi.h"
#include "tests/platform/zqSystemCallCount.h"

namespace zq {
namespace {

constexpr int32_t kStreamEvents = FD_READ | FD_WRITE | FD_CLOSE;

// A client socket of the socket service connected to a plain one (the peer), its event
// selected for kStreamEvents; the FD_WRITE that follows the connect is taken unless kept.
class TzqEventPair {
public:
  explicit TzqEventPair(bool keepWrite = false) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(::listen(listener, 1), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    client_ = winsock::socket(kAfInet, SOCK_STREAM, IPPROTO_TCP);
    winsock::WSAEventSelect(client_, &event_, FD_CONNECT);
    winsock::connect(client_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    EXPECT_EQ(Next(), FD_CONNECT);
    peer_ = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    winsock::WSAEventSelect(client_, &event_, kStreamEvents);
    if (!keepWrite) {
      EXPECT_EQ(Next(), FD_WRITE);
    }
  }
  ~TzqEventPair() {
    winsock::closesocket(client_);
    if (peer_ >= 0) ::close(peer_);
  }

  // Waits (2 s at most) and enumerates: the events, 0 after a time-out.
  int32_t Next() {
    if (!Wait()) return 0;
    return Enumerate();
  }
  bool Wait() {
    TzqWaitable* objects[1] = {&event_};
    return MsgWaitForMultipleObjects(objects, 2000, 0) == 0;
  }
  int32_t Enumerate() {
    TzqNetworkEvents events;
    EXPECT_EQ(winsock::WSAEnumNetworkEvents(client_, &event_, &events), 0);
    return events.lNetworkEvents;
  }
  // Sends from the peer and returns once the bytes can be read at the client.
  void PeerSends(const std::string& bytes) {
    ASSERT_EQ(::send(peer_, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    pollfd p{client_, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 2000), 1);
  }
  void PeerCloses() {
    ::close(peer_);
    peer_ = -1;
  }
  std::string Receive() {
    char buffer[64];
    const int received = winsock::recv(client_, buffer, sizeof buffer, 0);
    return received > 0 ? std::string(buffer, static_cast<size_t>(received)) : std::string();
  }

private:
  TzqSocketEvent event_;
  TzqSocketHandle client_ = INVALID_SOCKET;
  int peer_ = -1;
};

TEST(SocketEvents, AReadAfterAWaitCostsOnePollAndOneRecv) {
  TzqEventPair pair;
  pair.PeerSends("answer");
  test::CountSystemCalls(true);
  const int32_t events = pair.Next();
  const std::string received = pair.Receive();
  test::CountSystemCalls(false);
  EXPECT_EQ(events, FD_READ);
  EXPECT_EQ(received, "answer");
  const test::TzqSystemCalls calls = test::SystemCallsCounted();
  EXPECT_EQ(calls.polls, 1);
  EXPECT_EQ(calls.ioctls, 0);
  EXPECT_EQ(calls.recvs, 1);
}

// Events that come due after the wait are reported by the next enumeration; a call on the
// socket in between makes the enumeration look afresh.
TEST(SocketEvents, AnEnumerationReportsWhatItsWaitFound) {
  TzqEventPair pair(true);
  ASSERT_TRUE(pair.Wait());
  pair.PeerSends("first");
  EXPECT_EQ(pair.Enumerate(), FD_WRITE);
  EXPECT_EQ(pair.Next(), FD_READ);
  EXPECT_EQ(pair.Receive(), "first");

  pair.PeerSends("again");
  ASSERT_TRUE(pair.Wait());
  EXPECT_EQ(pair.Receive(), "again");
  EXPECT_EQ(pair.Enumerate(), 0);

  pair.PeerSends("second");
  ASSERT_TRUE(pair.Wait());
  pair.PeerCloses();
  EXPECT_EQ(pair.Enumerate(), FD_READ);
  EXPECT_EQ(pair.Receive(), "second");
  EXPECT_EQ(pair.Next(), FD_CLOSE);
}

// Bytes and the close in one go: the bytes first, the close once they are read.
TEST(SocketEvents, TheCloseWaitsForTheBytesBeforeIt) {
  TzqEventPair pair;
  pair.PeerSends("last words");
  pair.PeerCloses();
  EXPECT_EQ(pair.Next(), FD_READ);
  EXPECT_EQ(pair.Receive(), "last words");
  EXPECT_EQ(pair.Next(), FD_CLOSE);
}

}  // namespace
}  // namespace zq
