#include "tests/support/zqPeerProcesses.h"

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace zq::test {

namespace {

std::string Quoted(const std::string& argument) {
  std::string result = "'";
  for (char c : argument) result += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return result + "'";
}

// Gone, or a zombie left to its new parent.
bool Gone(pid_t pid) {
  const std::string stat = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
  const auto close = stat.rfind(')');
  return stat.empty() || (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z');
}

}  // namespace

std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

void PeerProcesses::Start(const std::string& script, const std::vector<std::string>& arguments, int startSeconds) {
  std::string command =
      "timeout " + std::to_string(startSeconds) + " bash " + Quoted(std::string(ZQ_PEERS_DIR) + "/" + script);
  for (const auto& argument : arguments) command += " " + Quoted(argument);
  const std::string log = dir_.Path() + "/start.log";
  command += " > " + Quoted(log) + " 2>&1";
  const int status = std::system(command.c_str());
  std::ifstream pids(RunDir() + "/pids");
  for (pid_t pid; pids >> pid;) pids_.push_back(pid);
  if (status != 0) {
    Stop();
    throw std::runtime_error("starting " + script + " failed: " + ReadWholeFile(log));
  }
}

void PeerProcesses::Stop() {
  for (pid_t pid : pids_) {
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 150 && !Gone(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!Gone(pid)) ::kill(pid, SIGKILL);
  }
  pids_.clear();
}

}  // namespace zq::test
