// A whole HTTP exchange over the in-memory transport: the input is the server's first response,
// split at points drawn from a seed, followed (on the same connection, after the second request)
// by a well-formed second response. Invariants: a call that succeeds delivered exactly what a
// plain Content-Length announced; a short body is never a success; the second call on a kept
// connection gets its own response, never bytes left from the first, even when the server sent
// more than one response before the second request.
// Input: a flag byte (method, silent errors, how the connection ends), a seed byte, the response.

#include <cstdint>
#include <string>
#include <vector>

#include "core/zqText.h"
#include "fuzz/zqFuzzSplits.h"
#include "tests/support/zqMemoryTransport.h"

using namespace zq;
using namespace zq::test;

namespace {

const char* const kSecond = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nsecond";
const MemoryEnd kEnds[] = {MemoryEnd::Close, MemoryEnd::CloseWithLast, MemoryEnd::Reset, MemoryEnd::Stall};

// The one Content-Length of a header that announces its body by length alone; -1 otherwise.
int64_t PlainLength(const TzqStringList& lines) {
  int64_t length = -1;
  int seen = 0;
  for (int i = 1; i < lines.Count(); ++i) {
    const std::string& line = lines[i];
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string name = Trim(line.substr(0, colon));
    const std::string value = Trim(line.substr(colon + 1));
    if (SameText(name, "Transfer-Encoding") || SameText(name, "Content-Encoding")) return -1;
    if (!SameText(name, "Content-Length")) continue;
    if (++seen > 1 || value.empty() || value.size() > 12 || value.find_first_not_of("0123456789") != std::string::npos)
      return -1;
    length = std::stoll(value);
  }
  return length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zq::fuzz::ScriptedInput input;
  if (!zq::fuzz::TakeScriptedInput(data, size, input)) return 0;
  const uint8_t flags = input.flags;
  const bool head = flags & 1;
  MemoryPeer peer;
  peer.AddConnection().SendSplit(input.bytes, input.Splits(97), 1).Send(kSecond, 2).EndWith(kEnds[(flags >> 2) % 4]);
  MemoryHttp client(peer);
  client.SetSilentHTTP(flags & 2);
  client.SetTimeOut(1000);

  TzqStringList header;
  TzqMemoryStream body;
  bool first = false;
  try {
    if (head)
      client.Head("http://example.test/", &header);
    else
      client.Get("http://example.test/", nullptr, &header, &body);
    first = true;
  } catch (const EzqError&) {
  }
  if (first && !head) {
    const int32_t status = client.StatusCode();
    const int64_t length = PlainLength(header);
    const bool bodiless = status < 200 || status == 204 || status == 304;
    if (length >= 0 && !bodiless && body.Size() != length) __builtin_trap();
  }
  if (!first || !client.Active() || peer.Opened() != 1) return 0;
  TzqMemoryStream second;
  try {
    client.Get("http://example.test/", nullptr, nullptr, &second);
  } catch (const EzqError&) {
    return 0;
  }
  // A kept connection answered the second request with the second response, or a new one did.
  if (peer.Opened() == 1 && second.DataString() != "second") __builtin_trap();
  return 0;
}
