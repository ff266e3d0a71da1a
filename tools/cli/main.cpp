// zq: a command-line HTTP client on the zq library, with curl's options (zq --help).
#include <unistd.h>

#include <csignal>

#include <iostream>
#include <string>
#include <vector>

#include "tools/cli/zqCliOptions.h"
#include "tools/cli/zqCliTransfer.h"
#include "tools/cli/zqFdStream.h"

int main(int argc, char** argv) {
  using namespace zq::cli;
  // A closed output pipe is a write error of its own, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  if (arguments.size() == 1 && (arguments[0] == "--help" || arguments[0] == "-h")) {
    std::cout << kCliUsage;
    return ecDone;
  }
  TzqCliOptions options;
  try {
    options = ParseCliOptions(arguments);
  } catch (const EzqUsageError& error) {
    std::cerr << "zq: " << error.what() << "\n" << kCliUsage;
    return ecUsage;
  }
  TzqFdStream output(STDOUT_FILENO);
  TzqCliTransfer transfer(options, output, std::cerr, ::isatty(STDERR_FILENO) == 1);
  return transfer.Run();
}
