// The CONNECT tunnel's response, split at points drawn from a seed, read by the HTTP proxy over
// the in-memory transport. Invariants: a tunnel opens only after a whole header (ended by an
// empty line), and every byte after that header reaches the caller once, in order.
// Input: a flag byte (request version, how the connection ends), a seed byte, the proxy's bytes.

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/zqFuzzSplits.h"
#include "http/zqHttpProxy.h"
#include "tests/support/zqMemoryTransport.h"

using namespace zq;
using namespace zq::test;

namespace {

// The borrowed connection is the only one: a proxy that would open its own is refused.
class ScriptedProxy : public TzqHttpProxy {
public:
  void OpenConnection(const std::string&, int32_t) override { RaiseSocketError(WSAECONNREFUSED); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zq::fuzz::ScriptedInput input;
  if (!zq::fuzz::TakeScriptedInput(data, size, input)) return 0;
  const uint8_t flags = input.flags;
  const std::string& response = input.bytes;
  MemoryConnectionScript script;
  script.SendSplit(response, input.Splits(31), 1);
  script.EndWith(flags & 2 ? MemoryEnd::Stall : MemoryEnd::Close);
  MemoryConnection connection;
  zq::fuzz::OpenScripted(connection, std::make_unique<MemoryNetworkStream>(script), script);
  ScriptedProxy proxy;
  proxy.SetRequestVersion(flags & 1 ? hvHttp1_1 : hvHttp1_0);
  try {
    proxy.OpenTunnelOn(connection, "example.test", 443);
  } catch (const EzqError&) {
    return 0;
  }
  if (proxy.StatusCode() < 200 || proxy.StatusCode() > 299) __builtin_trap();
  const std::string after = zq::fuzz::ReadToEnd(connection);
  if (after.size() > response.size()) __builtin_trap();
  const std::string header = response.substr(0, response.size() - after.size());
  if (response.compare(header.size(), std::string::npos, after) != 0) __builtin_trap();
  const bool ended = header.size() >= 2 && header.back() == '\n' &&
                     (header[header.size() - 2] == '\n' ||
                      (header.size() >= 3 && header[header.size() - 2] == '\r' && header[header.size() - 3] == '\n'));
  if (!ended) __builtin_trap();
  return 0;
}
