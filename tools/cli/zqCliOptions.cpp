#include "tools/cli/zqCliOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

namespace zq::cli {

const char* const kCliUsage =
    "usage: zq [options] URL\n"
    "  -X METHOD            request method (any token)\n"
    "  -H 'Name: value'     extra request field (repeatable)\n"
    "  -d name=value        form field, URL-encoded (repeatable; POST)\n"
    "  -F name=value|@file  multipart field or file (repeatable; POST)\n"
    "  -T file              upload the file (PUT)\n"
    "  -o file              write the body to file instead of stdout\n"
    "  -I                   HEAD; write the response header\n"
    "  -L, --max-redirs N   follow redirects, at most N (-1: no limit)\n"
    "  -u user:pass         server credentials; --basic sends them at once,\n"
    "                       --digest, --ntlm, --negotiate answer only that scheme\n"
    "  -x host:port, -U user:pass   HTTP proxy and its credentials\n"
    "  --socks4|--socks4a|--socks5 host:port, --socks-user user:pass\n"
    "  --cacert file, -k, --tlsv1.2, --tlsv1.3\n"
    "  -b file, -c file     load, save cookies: Netscape cookie files (as curl), or with\n"
    "                       --stored-cookies the library's stored form (-b reads both)\n"
    "  --compressed, --no-compressed, --limit-rate N[k|m|g]\n"
    "  -m, --max-time s, --connect-timeout s\n"
    "  -v verbose, -s silent, -f fail on HTTP errors (exit 4)\n"
    "exit codes: 0 done, 1 local error, 2 usage, 3 network/TLS/protocol error, 4 HTTP error status\n";

namespace {

const char* const sUnknownOption = "unknown option: ";
const char* const sMissingValue = "option needs a value: ";
const char* const sBadNumber = "not a valid number for ";
const char* const sBadPort = "not a valid host:port for ";
const char* const sNoUrl = "no URL given";
const char* const sTwoUrls = "more than one URL given: ";
const char* const sNoName = "expected name=value for ";
const char* const sBodyTwice = "-d, -F, -T and -I exclude each other";

using Setter = std::function<void(TzqCliOptions&, const std::string&)>;

struct TzqOptionSpec {
  bool takesValue;
  Setter set;
};

double Number(const std::string& text, const std::string& option) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(value) || value < 0 || value > 2e9)
    throw EzqUsageError(sBadNumber + option + ": " + text);
  return value;
}

int32_t Milliseconds(const std::string& text, const std::string& option) {
  return static_cast<int32_t>(std::min(Number(text, option) * 1000.0, 2147483647.0));
}

int32_t Count(const std::string& text, const std::string& option) {
  if (text == "-1") return -1;
  const double value = Number(text, option);
  if (value != std::floor(value)) throw EzqUsageError(sBadNumber + option + ": " + text);
  return static_cast<int32_t>(value);
}

// A byte rate with an optional k, m or g suffix (powers of 1024, as curl counts).
int64_t Rate(const std::string& text, const std::string& option) {
  static const std::map<char, double> kUnits = {{'k', 1024.0}, {'m', 1048576.0}, {'g', 1073741824.0}};
  double unit = 1;
  std::string digits = text;
  if (!digits.empty()) {
    const auto found = kUnits.find(static_cast<char>(std::tolower(static_cast<unsigned char>(digits.back()))));
    if (found != kUnits.end()) {
      unit = found->second;
      digits.pop_back();
    }
  }
  const double rate = Number(digits, option) * unit;
  if (rate > 1e12) throw EzqUsageError(sBadNumber + option + ": " + text);
  return static_cast<int64_t>(rate);
}

std::pair<std::string, std::string> NameValue(const std::string& text, const std::string& option) {
  const size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0) throw EzqUsageError(sNoName + option + ": " + text);
  return {text.substr(0, equals), text.substr(equals + 1)};
}

std::pair<std::string, std::string> HeaderField(const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0) throw EzqUsageError("expected 'Name: value' for -H: " + text);
  const size_t start = text.find_first_not_of(" \t", colon + 1);
  return {text.substr(0, colon), start == std::string::npos ? std::string() : text.substr(start)};
}

Setter Flag(bool TzqCliOptions::*member) {
  return [member](TzqCliOptions& o, const std::string&) { o.*member = true; };
}

Setter Text(std::string TzqCliOptions::*member) {
  return [member](TzqCliOptions& o, const std::string& v) { o.*member = v; };
}

Setter Auth(TzqCliAuth kind) {
  return [kind](TzqCliOptions& o, const std::string&) { o.auth = kind; };
}

Setter Socks(TzqCliSocks kind, const std::string& option) {
  return [kind, option](TzqCliOptions& o, const std::string& v) {
    SplitHostPort(v, option);
    o.socks = kind;
    o.socksServer = v;
  };
}

const std::map<std::string, TzqOptionSpec>& Options() {
  static const std::map<std::string, TzqOptionSpec> kOptions = {
      {"-X", {true, Text(&TzqCliOptions::method)}},
      {"-H", {true, [](TzqCliOptions& o, const std::string& v) { o.headers.push_back(HeaderField(v)); }}},
      {"-d", {true, [](TzqCliOptions& o, const std::string& v) { o.data.push_back(NameValue(v, "-d")); }}},
      {"-F",
       {true,
        [](TzqCliOptions& o, const std::string& v) {
          auto [name, value] = NameValue(v, "-F");
          const bool file = !value.empty() && value[0] == '@';
          o.form.push_back({name, file ? value.substr(1) : value, file});
        }}},
      {"-T", {true, Text(&TzqCliOptions::uploadFile)}},
      {"-o", {true, Text(&TzqCliOptions::outputFile)}},
      {"-I", {false, Flag(&TzqCliOptions::head)}},
      {"-L", {false, Flag(&TzqCliOptions::followRedirects)}},
      {"--max-redirs",
       {true, [](TzqCliOptions& o, const std::string& v) { o.maxRedirects = Count(v, "--max-redirs"); }}},
      {"-u", {true, Text(&TzqCliOptions::user)}},
      {"--basic", {false, Auth(TzqCliAuth::Basic)}},
      {"--digest", {false, Auth(TzqCliAuth::Digest)}},
      {"--ntlm", {false, Auth(TzqCliAuth::Ntlm)}},
      {"--negotiate", {false, Auth(TzqCliAuth::Negotiate)}},
      {"-x",
       {true,
        [](TzqCliOptions& o, const std::string& v) {
          SplitHostPort(v, "-x");
          o.proxy = v;
        }}},
      {"-U", {true, Text(&TzqCliOptions::proxyUser)}},
      {"--socks4", {true, Socks(TzqCliSocks::Socks4, "--socks4")}},
      {"--socks4a", {true, Socks(TzqCliSocks::Socks4a, "--socks4a")}},
      {"--socks5", {true, Socks(TzqCliSocks::Socks5, "--socks5")}},
      {"--socks-user", {true, Text(&TzqCliOptions::socksUser)}},
      {"--cacert", {true, Text(&TzqCliOptions::caFile)}},
      {"-k", {false, Flag(&TzqCliOptions::insecure)}},
      {"--tlsv1.2", {false, [](TzqCliOptions& o, const std::string&) { o.tlsMinimum = 12; }}},
      {"--tlsv1.3", {false, [](TzqCliOptions& o, const std::string&) { o.tlsMinimum = 13; }}},
      {"-b", {true, Text(&TzqCliOptions::cookieFile)}},
      {"-c", {true, Text(&TzqCliOptions::cookieJar)}},
      {"--stored-cookies", {false, Flag(&TzqCliOptions::storedCookies)}},
      {"--compressed", {false, Flag(&TzqCliOptions::compressed)}},
      {"--no-compressed", {false, [](TzqCliOptions& o, const std::string&) { o.compressed = false; }}},
      {"--limit-rate", {true, [](TzqCliOptions& o, const std::string& v) { o.limitRate = Rate(v, "--limit-rate"); }}},
      {"-m", {true, [](TzqCliOptions& o, const std::string& v) { o.maxTimeMs = Milliseconds(v, "-m"); }}},
      {"--connect-timeout",
       {true,
        [](TzqCliOptions& o, const std::string& v) { o.connectTimeoutMs = Milliseconds(v, "--connect-timeout"); }}},
      {"-v", {false, Flag(&TzqCliOptions::verbose)}},
      {"-s", {false, Flag(&TzqCliOptions::silent)}},
      {"-f", {false, Flag(&TzqCliOptions::fail)}},
  };
  return kOptions;
}

// Long spellings of the short options.
const std::map<std::string, std::string>& Aliases() {
  static const std::map<std::string, std::string> kAliases = {
      {"--request", "-X"},     {"--header", "-H"},     {"--data", "-d"},       {"--form", "-F"},
      {"--upload-file", "-T"}, {"--output", "-o"},     {"--head", "-I"},       {"--location", "-L"},
      {"--user", "-u"},        {"--proxy", "-x"},      {"--proxy-user", "-U"}, {"--insecure", "-k"},
      {"--cookie", "-b"},      {"--cookie-jar", "-c"}, {"--max-time", "-m"},   {"--verbose", "-v"},
      {"--silent", "-s"},      {"--fail", "-f"}};
  return kAliases;
}

const TzqOptionSpec& Find(const std::string& name) {
  const auto alias = Aliases().find(name);
  const auto found = Options().find(alias != Aliases().end() ? alias->second : name);
  if (found == Options().end()) throw EzqUsageError(sUnknownOption + name);
  return found->second;
}

void CheckCombination(const TzqCliOptions& options) {
  if (options.url.empty()) throw EzqUsageError(sNoUrl);
  const int bodies = !options.data.empty() + !options.form.empty() + !options.uploadFile.empty() + options.head;
  if (bodies > 1) throw EzqUsageError(sBodyTwice);
}

}  // namespace

std::string TzqCliOptions::Method() const {
  if (!method.empty()) return method;
  if (head) return "HEAD";
  if (!uploadFile.empty()) return "PUT";
  if (!data.empty() || !form.empty()) return "POST";
  return "GET";
}

std::pair<std::string, int32_t> SplitHostPort(const std::string& text, const std::string& option) {
  const size_t colon = text.rfind(':');
  const bool bracketed = !text.empty() && text[0] == '[';
  std::string host = colon == std::string::npos ? text : text.substr(0, colon);
  if (bracketed) {
    if (host.size() < 2 || host.back() != ']') throw EzqUsageError(sBadPort + option + ": " + text);
    host = host.substr(1, host.size() - 2);
  }
  const std::string port = colon == std::string::npos ? std::string() : text.substr(colon + 1);
  char* end = nullptr;
  const long number = port.empty() ? 0 : std::strtol(port.c_str(), &end, 10);
  if (host.empty() || port.empty() || *end != '\0' || number < 1 || number > 65535 ||
      port.find_first_not_of("0123456789") != std::string::npos)
    throw EzqUsageError(sBadPort + option + ": " + text);
  return {host, static_cast<int32_t>(number)};
}

std::pair<std::string, std::string> SplitCredentials(const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return {text, std::string()};
  return {text.substr(0, colon), text.substr(colon + 1)};
}

TzqCliOptions ParseCliOptions(const std::vector<std::string>& arguments) {
  TzqCliOptions options;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    auto valueAfter = [&](const std::string& name) -> std::string {
      if (i + 1 >= arguments.size()) throw EzqUsageError(sMissingValue + name);
      return arguments[++i];
    };
    if (argument.size() > 2 && argument.compare(0, 2, "--") == 0) {
      const size_t equals = argument.find('=');
      const std::string name = argument.substr(0, equals);
      const TzqOptionSpec& spec = Find(name);
      if (!spec.takesValue && equals != std::string::npos) throw EzqUsageError(sUnknownOption + argument);
      spec.set(options, !spec.takesValue              ? std::string()
                        : equals != std::string::npos ? argument.substr(equals + 1)
                                                      : valueAfter(name));
    } else if (argument.size() > 1 && argument[0] == '-') {
      // Short flags may be grouped (-sSL); a value may follow its letter directly (-XPATCH).
      for (size_t at = 1; at < argument.size(); ++at) {
        const std::string name = std::string("-") + argument[at];
        const TzqOptionSpec& spec = Find(name);
        if (!spec.takesValue) {
          spec.set(options, std::string());
          continue;
        }
        spec.set(options, at + 1 < argument.size() ? argument.substr(at + 1) : valueAfter(name));
        break;
      }
    } else if (options.url.empty()) {
      options.url = argument;
    } else {
      throw EzqUsageError(sTwoUrls + argument);
    }
  }
  CheckCombination(options);
  return options;
}

}  // namespace zq::cli
