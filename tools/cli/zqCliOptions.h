#pragma once
// The zq command line, curl's options as far as the library has them, parsed into one record.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/zqError.h"

namespace zq::cli {

// A command line that cannot be run: what() says why.
class EzqUsageError : public EzqError {
public:
  using EzqError::EzqError;
};

enum class TzqCliAuth { None, Basic, Digest, Ntlm, Negotiate };
enum class TzqCliSocks { None, Socks4, Socks4a, Socks5 };

// One -F: a field, or a file when the value began with "@".
struct TzqCliFormPart {
  std::string name;
  std::string value;
  bool file = false;
};

struct TzqCliOptions {
  std::string url;
  std::string method;                                        // -X; empty: from the other options
  std::vector<std::pair<std::string, std::string>> headers;  // -H, in order
  std::vector<std::pair<std::string, std::string>> data;     // -d name=value
  std::vector<TzqCliFormPart> form;                          // -F
  std::string uploadFile;                                    // -T
  std::string outputFile;                                    // -o
  bool head = false;                                         // -I
  bool followRedirects = false;                              // -L
  int32_t maxRedirects = 50;                                 // --max-redirs; -1: no limit
  std::string user;                                          // -u user:pass
  TzqCliAuth auth = TzqCliAuth::None;
  std::string proxy;      // -x host:port
  std::string proxyUser;  // -U user:pass
  TzqCliSocks socks = TzqCliSocks::None;
  std::string socksServer;     // host:port
  std::string socksUser;       // --socks-user user:pass
  std::string caFile;          // --cacert
  bool insecure = false;       // -k
  int tlsMinimum = 0;          // 12 or 13 from --tlsv1.x; 0: default
  std::string cookieFile;      // -b
  std::string cookieJar;       // -c
  bool storedCookies = false;  // --stored-cookies: -c in the library's form
  bool compressed = false;
  int64_t limitRate = 0;  // bytes per second; 0: none
  int32_t maxTimeMs = 0;  // -m
  int32_t connectTimeoutMs = 0;
  bool verbose = false;
  bool silent = false;
  bool fail = false;

  // The method the options ask for: -X, else HEAD for -I, PUT for -T, POST for -d or -F, GET.
  std::string Method() const;
};

// argv[1..] into options; EzqUsageError for an unknown option, a missing or malformed value,
// no URL or two of them, or options that exclude each other.
TzqCliOptions ParseCliOptions(const std::vector<std::string>& arguments);

// "host:port" split; EzqUsageError when the port is not 1..65535. IPv6 goes in brackets.
std::pair<std::string, int32_t> SplitHostPort(const std::string& text, const std::string& option);
// "user:password" split at the first colon (no colon: an empty password).
std::pair<std::string, std::string> SplitCredentials(const std::string& text);

extern const char* const kCliUsage;

}  // namespace zq::cli
