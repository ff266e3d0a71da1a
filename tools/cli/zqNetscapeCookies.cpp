#include "tools/cli/zqNetscapeCookies.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "core/zqDateTime.h"
#include "core/zqError.h"
#include "core/zqText.h"

namespace zq::cli {

namespace {

const char* const sBadLine = "Cookie file line %d: %s";
const char* const kHttpOnlyPrefix = "#HttpOnly_";
const char* const kFileHeader = "# Netscape HTTP Cookie File\n";
// 9999-12-31T23:59:59Z: later expiries are kept as this.
constexpr int64_t kLatestExpiry = 253402300799;

std::vector<std::string_view> Split(std::string_view line, char separator) {
  std::vector<std::string_view> parts;
  for (size_t start = 0;;) {
    const size_t end = line.find(separator, start);
    parts.push_back(line.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

bool Flag(std::string_view text, const char* what, int line) {
  if (SameText(text, "TRUE")) return true;
  if (SameText(text, "FALSE")) return false;
  throw EzqReadError(Format(sBadLine, line, (std::string(what) + " is neither TRUE nor FALSE").c_str()));
}

TzqDateTime Expiry(std::string_view text, int line) {
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string_view::npos)
    throw EzqReadError(Format(sBadLine, line, "the expiry is not a number of seconds"));
  const int64_t seconds = std::min<int64_t>(std::stoll(std::string(text)), kLatestExpiry);
  if (seconds == 0) return -1.0;  // a session cookie
  return UtcToLocal(UnixMsToDateTime(seconds * 1000));
}

void CheckText(std::string_view text, int line) {
  for (const char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
      throw EzqReadError(Format(sBadLine, line, "a field holds a control byte"));
}

void ReadLine(std::string_view text, int line, TzqCookieItem& cookie) {
  const bool httpOnly = text.substr(0, 10) == kHttpOnlyPrefix;
  if (httpOnly) text.remove_prefix(10);
  const std::vector<std::string_view> fields = Split(text, '\t');
  // curl writes no seventh field for an empty value.
  if (fields.size() != 6 && fields.size() != 7)
    throw EzqReadError(Format(sBadLine, line, "not seven tab-separated fields"));
  for (const std::string_view field : fields) CheckText(field, line);
  const std::string_view value = fields.size() == 7 ? fields[6] : std::string_view();
  if (fields[5].size() + value.size() > kMaxCookieSize)
    throw EzqReadError(Format(sBadLine, line, "the cookie exceeds 4096 bytes"));
  // A domain that begins with "#" would read back as a comment.
  if (fields[0].empty() || fields[0][0] == '#') throw EzqReadError(Format(sBadLine, line, "no domain"));
  const bool subdomains = Flag(fields[1], "the subdomain flag", line);
  cookie.Domain = std::string(subdomains && fields[0][0] != '.' ? "." : "") + std::string(fields[0]);
  cookie.Path = fields[2].empty() ? std::string("/") : std::string(fields[2]);
  cookie.Secure = Flag(fields[3], "the secure flag", line);
  cookie.Expires = Expiry(fields[4], line);
  cookie.Name = std::string(fields[5]);
  cookie.Value = std::string(value);
  if (httpOnly) cookie.CookieData = cookie.Name + "=" + cookie.Value + "; HttpOnly";
}

}  // namespace

void ReadNetscapeCookies(std::string_view text, TzqCookieList& list) {
  std::vector<std::unique_ptr<TzqCookieItem>> read;
  int number = 0;
  for (std::string_view line : Split(text, '\n')) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || (line[0] == '#' && line.substr(0, 10) != kHttpOnlyPrefix)) continue;
    if (static_cast<int>(read.size()) == kMaxCookiesPerStore)
      throw EzqReadError(Format(sBadLine, number, "more than 3000 cookies"));
    read.push_back(std::make_unique<TzqCookieItem>());
    ReadLine(line, number, *read.back());
  }
  list.BeginUpdate();
  for (const auto& cookie : read) list.Add()->Assign(*cookie);
  list.EndUpdate();
}

std::string WriteNetscapeCookies(const TzqCookieList& list) {
  std::string text = kFileHeader;
  for (int i = 0; i < list.Count(); ++i) {
    const TzqCookieItem& cookie = *list.Items(i);
    const bool subdomains = !cookie.Domain.empty() && cookie.Domain[0] == '.';
    const int64_t expiry =
        cookie.Expires > 0 ? std::max<int64_t>(1, DateTimeToUnixMs(LocalToUtc(cookie.Expires)) / 1000) : 0;
    text += Format(
        "%s%s\t%s\t%s\t%s\t%lld\t%s\t%s\n", HasCookieFlag(cookie.CookieData, "HttpOnly") ? kHttpOnlyPrefix : "",
        cookie.Domain.c_str(), subdomains ? "TRUE" : "FALSE", cookie.Path.empty() ? "/" : cookie.Path.c_str(),
        cookie.Secure ? "TRUE" : "FALSE", static_cast<long long>(expiry), cookie.Name.c_str(), cookie.Value.c_str());
  }
  return text;
}

}  // namespace zq::cli
