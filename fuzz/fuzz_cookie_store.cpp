// Responses with many Set-Cookie fields from several hosts go into one store, which then selects
// cookies for several URLs. Invariants: no stored cookie over the size limit, the per-domain and
// per-store limits hold, no host-only cookie goes to another host (a subdomain included), and
// the Cookie field never carries more than name=value pairs.
// Input: responses separated by an empty line; each starts with a byte choosing the responding
// host and path, then one Set-Cookie value a line.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "core/zqStringList.h"
#include "core/zqText.h"
#include "http/zqCookieManager.h"

using namespace zq;

namespace {

const char* const kHosts[] = {"example.com",        "www.example.com", "a.b.example.com", "example.co.uk",
                              "shop.example.co.uk", "localhost",       "192.0.2.1",       "EXAMPLE.com"};
const char* const kPaths[] = {"/", "/a/b?c", "/a/", "/x/y/z"};
constexpr int kHostCount = sizeof kHosts / sizeof *kHosts;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return text;
}

void Receive(TzqCookieManager& manager, std::string_view response) {
  if (response.empty()) return;
  const uint8_t choice = static_cast<uint8_t>(response[0]);
  TzqStringList values;
  values.SetText(response.substr(1));
  TzqStringList lines;
  lines.Add("HTTP/1.1 200 OK");
  for (int i = 0; i < values.Count(); ++i) lines.Add("Set-Cookie: " + values[i]);
  TzqCookieList received;
  received.ParseResponseCookies(lines, kHosts[choice % kHostCount], choice & 0x80 ? 443 : 80,
                                kPaths[(choice >> 3) % 4]);
  manager.StoreCookies(received);
}

void CheckStore(TzqCookieList& stored) {
  std::map<std::string, int> perDomain;
  if (stored.Count() > kMaxCookiesPerStore) __builtin_trap();
  for (int i = 0; i < stored.Count(); ++i) {
    const TzqCookieItem& cookie = *stored.Items(i);
    if (cookie.Name.size() + cookie.Value.size() > kMaxCookieSize) __builtin_trap();
    std::string domain = Lower(cookie.Domain);
    if (!domain.empty() && domain[0] == '.') domain.erase(0, 1);
    if (++perDomain[domain] > kMaxCookiesPerDomain) __builtin_trap();
  }
}

void CheckSelection(TzqCookieManager& manager, const std::string& host, bool secure, const std::string& path) {
  TzqCookieList selected;
  manager.SelectCookies(selected, host, secure, secure ? 443 : 80, path);
  for (int i = 0; i < selected.Count(); ++i) {
    const TzqCookieItem& cookie = *selected.Items(i);
    const bool hostOnly = cookie.Domain.empty() || cookie.Domain[0] != '.';
    if (hostOnly && Lower(cookie.Domain) != Lower(host)) __builtin_trap();
    if (!CookieDomainMatches(cookie.Domain, host)) __builtin_trap();
    if (cookie.Secure && !secure) __builtin_trap();
    // A pair whose name or value holds a separator would smuggle attributes or other cookies.
    if ((cookie.Name + cookie.Value).find_first_of(";\r\n") != std::string::npos) __builtin_trap();
  }
  TzqStringList request;
  request.Add("GET / HTTP/1.1");
  selected.SetRequestCookies(request);
  std::string expected;
  for (int i = 0; i < selected.Count(); ++i)
    expected += (i > 0 ? "; " : "") + selected.Items(i)->Name + "=" + selected.Items(i)->Value;
  int fields = 0;
  for (int i = 1; i < request.Count(); ++i) {
    if (!SameText(request[i].substr(0, 7), "Cookie:")) continue;
    ++fields;
    if (Trim(request[i].substr(7)) != Trim(expected)) __builtin_trap();
  }
  if (fields > 1 || (selected.Count() > 0 && fields != 1)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  TzqCookieManager manager;
  size_t from = 0;
  while (from <= input.size()) {
    const size_t end = input.find("\n\n", from);
    Receive(manager, input.substr(from, end == std::string_view::npos ? std::string_view::npos : end - from));
    if (end == std::string_view::npos) break;
    from = end + 2;
  }
  CheckStore(manager.Cookies());
  for (const char* host : kHosts)
    for (const char* path : kPaths) CheckSelection(manager, host, path[1] == 'a', path);
  return 0;
}
