// zq_formhandler: the demo form handler the form-post window talks to, over HTTPS on
// loopback. Usage: zq_formhandler --cert FILE --key FILE [--port N]
// It prints "port N" once it listens, and stops cleanly on SIGINT or SIGTERM.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/formhandler/zqFormHandler.h"
#include "tools/formhandler/zqFormHandlerServer.h"

namespace {

int gStopPipe[2] = {-1, -1};

void OnStopSignal(int) {
  const char byte = 0;
  [[maybe_unused]] const ssize_t written = ::write(gStopPipe[1], &byte, 1);
}

bool InstallStopSignals() {
  if (::pipe2(gStopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  ::signal(SIGPIPE, SIG_IGN);
  return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

int Usage() {
  std::fprintf(stderr, "usage: zq_formhandler --cert FILE --key FILE [--port N]\n");
  return 2;
}

bool ParsePort(const char* text, int32_t& port) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 0 || value > 65535) return false;
  port = static_cast<int32_t>(value);
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  zq::TzqFormHandlerOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) return Usage();
    const char* value = argv[++i];
    if (option == "--cert")
      options.CertificateFile = value;
    else if (option == "--key")
      options.KeyFile = value;
    else if (option == "--port") {
      if (!ParsePort(value, options.Port)) return Usage();
    } else {
      return Usage();
    }
  }
  if (options.CertificateFile.empty() || options.KeyFile.empty()) return Usage();
  if (!InstallStopSignals()) {
    std::perror("zq_formhandler");
    return 1;
  }
  try {
    zq::TzqFormHandlerServer server(options);
    std::printf("zq_formhandler: serving https://localhost:%d%s on %s\nport %d\n", server.Port(), zq::kFormPagePath,
                server.Addresses().c_str(), server.Port());
    std::fflush(stdout);
    server.Run(gStopPipe[0]);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zq_formhandler: %s\n", error.what());
    return 1;
  }
  return 0;
}
