// worker_thread URL: the GET blocks a worker thread while this one stays free to do other work
// (in a GUI: to paint and take input).
#include <chrono>
#include <cstdio>
#include <exception>
#include <future>
#include <iostream>
#include <string>

#include "http/zqHttp.h"

int main(int argc, char** argv) {
  if (argc != 2) return std::fputs("usage: worker_thread URL\n", stderr), 2;
  const std::string url = argv[1];
  // A client belongs to the thread that uses it: make it there.
  std::future<std::string> download = std::async(std::launch::async, [url] {
    zq::TzqHttp http;
    zq::TzqMemoryStream body;
    http.Get(url, nullptr, nullptr, &body);
    return body.DataString();
  });
  int ticks = 0;
  while (download.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) ++ticks;
  try {
    std::cout << download.get();
    std::fprintf(stderr, "%d ticks while waiting\n", ticks);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
}
