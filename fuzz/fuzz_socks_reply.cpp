// SOCKS 4, 4a and 5 replies, split at points drawn from a seed, read by a SOCKS stream over the
// in-memory transport. Invariants: a start-up that succeeds took at least a whole reply, and
// every byte after the replies reaches the caller once, in order, through the open tunnel.
// Input: a flag byte (version, with or without user name, numeric or named target), a seed
// byte, then the server's bytes.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/zqFuzzSplits.h"
#include "net/zqSocks.h"
#include "platform/zqSocketApi.h"
#include "tests/support/zqMemoryTransport.h"

using namespace zq;
using namespace zq::test;

namespace {

std::unique_ptr<TzqSocksNetworkStream> Stream(uint8_t flags, MemoryConnectionScript& script) {
  // The tunnel passes data through its inner stream once open: the same script serves both.
  auto inner = std::make_unique<MemoryNetworkStream>(script);
  switch (flags % 3) {
    case 0:
      return std::make_unique<MemoryStreamOf<TzqSocks4NetworkStream>>(script, std::move(inner));
    case 1:
      return std::make_unique<MemoryStreamOf<TzqSocks4aNetworkStream>>(script, std::move(inner));
    default:
      return std::make_unique<MemoryStreamOf<TzqSocks5NetworkStream>>(script, std::move(inner));
  }
}

// The length of the replies a successful start-up consists of.
size_t RepliesLength(const std::string& reply, bool five) {
  if (!five) return 8;
  size_t at = 2 + (reply.size() > 1 && reply[1] == 0x02 ? 2 : 0);
  if (reply.size() < at + 5) return std::string::npos;
  const uint8_t type = static_cast<uint8_t>(reply[at + 3]);
  const size_t address = type == 1 ? 4 : type == 4 ? 16 : type == 3 ? 1 + static_cast<uint8_t>(reply[at + 4]) : 0;
  return at + 4 + address + 2;
}

}  // namespace

// SOCKS 4 resolves a named target itself: the name answers without the machine's resolver, so
// no input waits on DNS or sends a query off this machine.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetHostOverride("example.test", "192.0.2.7");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zq::fuzz::ScriptedInput input;
  if (!zq::fuzz::TakeScriptedInput(data, size, input)) return 0;
  const uint8_t flags = input.flags;
  const std::string& reply = input.bytes;
  MemoryConnectionScript script;
  script.SendSplit(reply, input.Splits(13), 0);
  std::unique_ptr<TzqSocksNetworkStream> stream = Stream(flags, script);
  stream->SetTargetServer(flags & 8 ? "example.test" : "192.0.2.7");
  stream->SetTargetPort(443);
  if (flags & 16) {
    stream->SetUserName("user");
    stream->SetPassword("secret");
  }
  const bool five = flags % 3 == 2;
  MemoryConnection connection;
  try {
    zq::fuzz::OpenScripted(connection, std::move(stream), script);
  } catch (const EzqError&) {
    return 0;
  }
  // Exactly the replies were taken: what follows them reaches the caller whole and in order.
  const size_t replies = RepliesLength(reply, five);
  if (replies > reply.size() || zq::fuzz::ReadToEnd(connection) != reply.substr(replies)) __builtin_trap();
  return 0;
}
