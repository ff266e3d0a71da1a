// proxies URL http|socks4|socks4a|socks5 HOST PORT: fetches URL through a proxy.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

#include "http/zqHttp.h"

int main(int argc, char** argv) {
  if (argc != 5) return std::fputs("usage: proxies URL http|socks4|socks4a|socks5 HOST PORT\n", stderr), 2;
  const std::string kind = argv[2];
  try {
    zq::TzqHttp http;
    if (kind == "http") {  // https URLs go through a CONNECT tunnel
      http.ProxySettings().SetServer(argv[3]);
      http.ProxySettings().SetPort(std::atoi(argv[4]));
    } else {
      zq::TzqFirewallSettings& socks = http.FirewallSettings();
      socks.SetFirewallType(kind == "socks4" ? zq::ftSocks4 : kind == "socks4a" ? zq::ftSocks4a : zq::ftSocks5);
      socks.SetServer(argv[3]);
      socks.SetPort(std::atoi(argv[4]));
    }
    zq::TzqMemoryStream body;
    http.Get(argv[1], nullptr, nullptr, &body);
    std::cout << body.DataString();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
}
