// Feeds arbitrary Set-Cookie fields through parsing, the store, selection, the Cookie field
// and the stored form. Input: the host on the first line, then one field value a line.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/zqStream.h"
#include "core/zqStringList.h"
#include "http/zqCookieManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t newline = input.find('\n');
  if (newline == std::string_view::npos) return 0;
  const std::string host(input.substr(0, newline));
  zq::TzqStringList response;
  response.Add("HTTP/1.1 200 OK");
  zq::TzqStringList values;
  values.SetText(input.substr(newline + 1));
  for (int i = 0; i < values.Count(); ++i) {
    response.Add((i % 2 ? "Set-Cookie2: " : "Set-Cookie: ") + values[i]);
    zq::TzqDateTime date = 0;
    if (zq::ParseCookieDate(values[i], date) && date < -109207.0) std::abort();  // before 1601
  }

  zq::TzqCookieList received;
  received.ParseResponseCookies(response, host, 80, "/a/b?c");
  for (int i = 0; i < received.Count(); ++i) {
    const zq::TzqCookieItem& cookie = *received.Items(i);
    // Nothing outside the responding host gets through.
    if (!zq::CookieDomainMatches(cookie.Domain, host) || cookie.Path.empty()) std::abort();
  }
  zq::TzqCookieManager manager;
  manager.StoreCookies(received);
  zq::TzqCookieList selected;
  manager.SelectCookies(selected, host, true, 80, "/a/b/c");
  zq::TzqStringList request;
  selected.SetRequestCookies(request);

  zq::TzqMemoryStream stream;
  received.SaveToStream(stream);
  stream.SetPosition(0);
  zq::TzqCookieList loaded;
  loaded.LoadFromStream(stream);
  if (loaded.Count() != received.Count() || stream.Position() != stream.Size()) std::abort();
  return 0;
}
