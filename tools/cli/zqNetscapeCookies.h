#pragma once
// Cookie files in the Netscape format that curl (-b, -c) and browsers' exports use: one cookie
// a line, seven tab-separated fields (domain, subdomains TRUE/FALSE, path, secure TRUE/FALSE,
// expiry in seconds since 1970 UTC or 0 for a session cookie, name, value); "#" starts a
// comment except in the "#HttpOnly_" prefix of a domain.

#include <string>
#include <string_view>

#include "http/zqCookieManager.h"

namespace zq::cli {

// All or nothing: a malformed line (field count, flag, expiry, control bytes) or a file past
// the store's limits raises EzqReadError naming the line, and list is left as it was.
void ReadNetscapeCookies(std::string_view text, TzqCookieList& list);
std::string WriteNetscapeCookies(const TzqCookieList& list);

}  // namespace zq::cli
