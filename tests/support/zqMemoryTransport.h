#pragma once
// An in-memory transport for the HTTP client: the test scripts what the peer sends (in pieces,
// each given by one read at most, so the test chooses the split points), how each connection
// ends (close, reset, stall) and how much the peer reads; it gets back what the client sent.
// No socket and no thread: a wait that nothing could end times out at once.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http/zqHttp.h"
#include "net/zqSocket.h"

namespace zq::test {

// What a connection does once every scripted byte has been read. CloseWithLast: the close
// comes with the last bytes, so that the read that gets them also finds the end.
enum class MemoryEnd { Close, CloseWithLast, Reset, Stall };

// One connection's script and what the client wrote on it.
struct MemoryConnectionScript {
  struct Piece {
    std::string bytes;
    int afterRequests;  // readable once the client has sent this many request heads
  };

  // Bytes the peer sends as one piece, once the client has sent afterRequests request heads.
  MemoryConnectionScript& Send(std::string bytes, int afterRequests = 1);
  // The same bytes cut at the given offsets (ascending; out-of-range ones are ignored).
  MemoryConnectionScript& SendSplit(const std::string& bytes, const std::vector<size_t>& offsets,
                                    int afterRequests = 1);
  MemoryConnectionScript& EndWith(MemoryEnd how) {
    end = how;
    return *this;
  }
  // The peer reads no more than this many bytes; a client writing more then waits (time-out).
  MemoryConnectionScript& ReadAtMost(int64_t count) {
    readLimit = count;
    return *this;
  }
  // Request heads (through their empty line) the client has written so far.
  int RequestsSent() const;

  // The transport's side, for the streams: recv and send as the socket calls answer them.
  bool Readable() const;
  // Every scripted byte has been read.
  bool Drained() const { return nextPiece >= pieces.size(); }
  int Receive(void* buffer, int size);
  int Take(const void* buffer, int size);

  // A live peer beside the scripted pieces: told of each run of bytes the client writes, it may
  // add pieces or change the end (a TLS server engine answering a handshake, say).
  std::function<void(MemoryConnectionScript&, std::string_view written)> respond;
  std::vector<Piece> pieces;
  MemoryEnd end = MemoryEnd::Close;
  int64_t readLimit = -1;
  std::string written;
  size_t nextPiece = 0;
  size_t offset = 0;  // into pieces[nextPiece]
  bool atSplit = false;
  bool closedByClient = false;
};

// The peer: one script per connection the client opens, in order; an open beyond them is refused.
class MemoryPeer {
public:
  MemoryConnectionScript& AddConnection();
  MemoryConnectionScript* Accept();
  int Opened() const { return opened_; }
  MemoryConnectionScript& Connection(size_t index) { return connections_.at(index); }

private:
  std::deque<MemoryConnectionScript> connections_;
  int opened_ = 0;
};

// A network stream of any kind (plain, SOCKS, TLS) whose socket calls go to a script.
template <typename Base = TzqNetworkStream>
class MemoryStreamOf : public Base {
public:
  template <typename... Arguments>
  explicit MemoryStreamOf(MemoryConnectionScript& script, Arguments&&... arguments)
      : Base(std::forward<Arguments>(arguments)...), script_(script) {}

  void UpdateLocalAddress() override {}
  void Disconnected() override {
    script_.closedByClient = true;
    Base::Disconnected();
  }
  int ReceiveRaw(void* buffer, int size) override { return script_.Receive(buffer, size); }
  int SendRaw(const void* buffer, int size) override { return script_.Take(buffer, size); }

private:
  MemoryConnectionScript& script_;
};

using MemoryNetworkStream = MemoryStreamOf<>;

class MemoryConnection : public TzqTcpClientConnection {
public:
  // Makes the connection active over stream, reading and writing script, and runs the
  // stream's start-up (a SOCKS exchange, a TLS handshake) as a connect would.
  void Open(std::unique_ptr<TzqNetworkStream> stream, MemoryConnectionScript& script);
  // Closed, the connection leaves its script: a later connect through it is refused.
  void SetActive(bool value) override;

protected:
  bool WaitForEvent(int32_t timeOut) override;
  TzqNetworkEvents EnumEvents() override;

private:
  MemoryConnectionScript* script_ = nullptr;
};

// The HTTP client over a memory peer (plain HTTP; no proxy).
class MemoryHttp : public TzqHttp {
public:
  explicit MemoryHttp(MemoryPeer& peer);
  ~MemoryHttp() override;

  TzqTcpClientConnection& GetConnection() override { return connection_; }
  void OpenConnection(const std::string& server, int32_t port) override;

private:
  MemoryPeer& peer_;
  MemoryConnection connection_;
};

}  // namespace zq::test
