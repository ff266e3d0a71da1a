#pragma once
// Loopback helpers for the network integration tests: scripted servers that play exact bytes,
// free ports, and the SOCKS peers of tests/peers started and stopped by PID.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/zqPeerProcesses.h"
#include "tests/support/zqTestSupport.h"

namespace zq::test {

inline sockaddr_storage LoopbackAddress(bool ipv6, int port, socklen_t& length) {
  sockaddr_storage storage{};
  if (ipv6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_loopback;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    length = sizeof(sockaddr_in6);
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
    in4->sin_family = AF_INET;
    in4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    in4->sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof(sockaddr_in);
  }
  return storage;
}

// A listening socket on 127.0.0.1 or ::1 (port 0: any free one).
inline int ListenOn(bool ipv6, int port, int backlog = 8) {
  const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (ipv6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  socklen_t length = 0;
  sockaddr_storage address = LoopbackAddress(ipv6, port, length);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, backlog) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline int LocalPort(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return address.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port)
                                       : ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

// The low end of the system's ephemeral port range (what connect and bind to port 0 draw from).
inline int EphemeralPortsStart() {
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  int low = 32768;
  range >> low;
  return low;
}

// A port free on both 127.0.0.1 and ::1 right now, for a peer that binds it a moment later.
// Drawn below the ephemeral range, so that no connection made meanwhile (by this or any other
// process) can take it, and never the same one twice in a process.
inline int FreePort() {
  static std::mutex lock;
  static std::set<int> given;
  static std::mt19937 random(static_cast<unsigned>(::getpid()) * 2654435761u ^
                             static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::lock_guard<std::mutex> guard(lock);
  const int high = std::min(EphemeralPortsStart(), 65536) - 1;
  const int low = std::max(1024, high - 20000);
  for (int attempt = 0; attempt < 500; ++attempt) {
    const int port = std::uniform_int_distribution<int>(low, high)(random);
    if (given.count(port) != 0) continue;
    const int v4 = ListenOn(false, port);
    if (v4 < 0) continue;
    const int v6 = ListenOn(true, port);
    ::close(v4);
    if (v6 < 0) continue;
    ::close(v6);
    given.insert(port);
    return port;
  }
  throw std::runtime_error("no free loopback port");
}

// Socket calls for the scripts, each bounded in time; a failure throws.
inline std::string ReadExactly(int fd, size_t count, int timeoutMs = 5000) {
  std::string data;
  while (data.size() < count) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) throw std::runtime_error("script: read timed out");
    char buffer[65536];
    const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, count - data.size()), 0);
    if (n <= 0) throw std::runtime_error("script: peer closed while reading");
    data.append(buffer, static_cast<size_t>(n));
  }
  return data;
}

inline void WriteAll(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("script: write failed");
    sent += static_cast<size_t>(n);
  }
}

// Waits until the peer closes (recv gives 0) and returns what came before.
inline std::string ReadUntilClosed(int fd, int timeoutMs = 5000) {
  std::string data;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) throw std::runtime_error("script: peer did not close");
    char buffer[65536];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return data;
    data.append(buffer, static_cast<size_t>(n));
  }
}

inline void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A server on loopback that runs a script for each connection it accepts (one at a time),
// on its own thread. Errors of the script are kept for the test to check.
class ScriptedServer {
public:
  using Script = std::function<void(int fd)>;

  explicit ScriptedServer(Script script, bool ipv6 = false, int connections = 1)
      : script_(std::move(script)), listener_(ListenOn(ipv6, 0)), ipv6_(ipv6) {
    if (listener_ < 0) throw std::runtime_error("cannot listen on loopback");
    port_ = LocalPort(listener_);
    thread_ = std::thread([this, connections] { Run(connections); });
  }

  ~ScriptedServer() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
  }

  int Port() const { return port_; }
  std::string Address() const { return ipv6_ ? "::1" : "127.0.0.1"; }
  std::string Errors() {
    std::lock_guard<std::mutex> guard(lock_);
    return errors_;
  }
  int Accepted() const { return accepted_; }

private:
  void Run(int connections) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int served = 0; served < connections && !stop_;) {
      if (std::chrono::steady_clock::now() > deadline) break;
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 50) != 1) continue;
      const int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) continue;
      ++accepted_;
      ++served;
      try {
        script_(fd);
      } catch (const std::exception& e) {
        std::lock_guard<std::mutex> guard(lock_);
        errors_ += e.what();
        errors_ += "\n";
      }
      ::close(fd);
    }
  }

  Script script_;
  int listener_;
  bool ipv6_;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::mutex lock_;
  std::string errors_;
};

// A SOCKS server of tests/peers/socks-peer.sh; stopped by PID when destroyed.
class SocksPeer {
public:
  // kind and extra arguments as socks-peer.sh takes them; the port is chosen here.
  SocksPeer(const std::string& kind, const std::vector<std::string>& extra = {}) : port_(FreePort()) {
    std::vector<std::string> arguments = {kind, processes_.RunDir(), std::to_string(port_)};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    processes_.Start("socks-peer.sh", arguments);
  }

  int Port() const { return port_; }

private:
  PeerProcesses processes_;
  int port_;
};

}  // namespace zq::test
