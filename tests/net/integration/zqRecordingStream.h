#pragma once
// A network stream that records its socket calls: the sizes asked of recv and what each recv
// and send returned, so tests can see how a transfer was cut into system calls.

#include <algorithm>
#include <vector>

#include "net/zqSocket.h"
#include "platform/zqSocketApi.h"

namespace zq::test {

class TzqRecordingStream : public TzqNetworkStream {
public:
  int ReceiveRaw(void* buffer, int size) override {
    asked.push_back(size);
    const int result = TzqNetworkStream::ReceiveRaw(buffer, size);
    received.push_back(result);
    return result;
  }
  int SendRaw(const void* buffer, int size) override {
    const int result = TzqNetworkStream::SendRaw(buffer, size);
    sent.push_back(result);
    return result;
  }
  // recv calls that found nothing to read.
  int WouldBlocks() const { return static_cast<int>(std::count(received.begin(), received.end(), SOCKET_ERROR)); }
  void Forget() {
    asked.clear();
    received.clear();
    sent.clear();
  }

  std::vector<int> asked;
  std::vector<int> received;
  std::vector<int> sent;
};

}  // namespace zq::test
