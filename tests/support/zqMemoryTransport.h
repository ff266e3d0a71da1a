#pragma once
// An in-memory transport for the HTTP client: the test scripts what the peer sends (in pieces,
// each given by one read at most, so the test chooses the split points), how each connection
// ends (close, reset, stall) and how much the peer reads; it gets back what the client sent.
// No socket and no thread: a wait that nothing could end times out at once.

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "http/zqHttp.h"
#include "net/zqSocket.h"

namespace zq::test {

// What a connection does once every scripted byte has been read.
enum class MemoryEnd { Close, Reset, Stall };

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

  std::vector<Piece> pieces;
  MemoryEnd end = MemoryEnd::Close;
  int64_t readLimit = -1;
  std::string written;
  size_t nextPiece = 0;
  size_t offset = 0;  // into pieces[nextPiece]
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

class MemoryNetworkStream : public TzqNetworkStream {
public:
  explicit MemoryNetworkStream(MemoryConnectionScript& script) : script_(script) {}
  std::string ClassName() const override { return "MemoryNetworkStream"; }

  bool Connect(TzqIPAddress& address, int32_t port) override;
  void UpdateLocalAddress() override {}
  void Disconnected() override { script_.closedByClient = true; }
  int ReceiveRaw(void* buffer, int size) override;
  int SendRaw(const void* buffer, int size) override;

  bool Readable() const;
  // Every scripted byte has been read.
  bool Drained() const { return script_.nextPiece >= script_.pieces.size(); }
  MemoryEnd End() const { return script_.end; }

private:
  MemoryConnectionScript& script_;
  bool atSplit_ = false;
};

class MemoryConnection : public TzqTcpClientConnection {
public:
  // Makes the connection active over stream and runs its start-up.
  void Open(std::unique_ptr<MemoryNetworkStream> stream);

protected:
  bool WaitForEvent(int32_t timeOut) override;
  TzqNetworkEvents EnumEvents() override;

private:
  MemoryNetworkStream* Memory() const;
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
