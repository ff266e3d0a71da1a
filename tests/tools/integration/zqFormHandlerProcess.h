#pragma once
// The demo form handler as its own process, as tools/run.sh starts it: the demo CA made by
// tools/demo-ca.sh under the build folder, the program on a free loopback port, stopped by PID.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

extern char** environ;

namespace zq::test {

class FormHandlerProcess {
public:
  static std::string CaDir() { return ZQ_DEMO_CA_DIR; }
  static std::string CaFile() { return CaDir() + "/ca.pem"; }
  static void MakeCa() {
    const std::string command = std::string("bash '") + ZQ_DEMO_CA_SCRIPT + "' '" + CaDir() + "'";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("demo-ca.sh failed");
  }

  FormHandlerProcess() {
    MakeCa();
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    const std::string cert = CaDir() + "/localhost.pem";
    const std::string key = CaDir() + "/localhost.key";
    const char* argv[] = {ZQ_FORMHANDLER, "--cert", cert.c_str(), "--key", key.c_str(), "--port", "0", nullptr};
    const int failed = posix_spawn(&pid_, ZQ_FORMHANDLER, &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    output_ = out[0];
    if (failed != 0) throw std::runtime_error("cannot start zq_formhandler");
    port_ = ReadPort();
  }
  ~FormHandlerProcess() {
    Stop();
    ::close(output_);
  }
  FormHandlerProcess(const FormHandlerProcess&) = delete;
  FormHandlerProcess& operator=(const FormHandlerProcess&) = delete;

  int Port() const { return port_; }
  std::string Url(const std::string& path) const { return "https://localhost:" + std::to_string(port_) + path; }
  std::string Output() const { return text_; }

  bool Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == 0) return true;
    exitStatus_ = status;
    pid_ = -1;
    return false;
  }

  // The signal, then SIGKILL after 5 s; the wait status (exit code 0: a clean stop).
  int Stop(int signal = SIGTERM) {
    if (!Running()) return exitStatus_;
    ::kill(pid_, signal);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (Running() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (Running()) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &exitStatus_, 0);
      pid_ = -1;
    }
    return exitStatus_;
  }

private:
  int ReadPort() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      const size_t at = text_.find("\nport ");
      const size_t end = at == std::string::npos ? at : text_.find('\n', at + 1);
      if (end != std::string::npos) return std::stoi(text_.substr(at + 6, end - at - 6));
      pollfd watched{output_, POLLIN, 0};
      if (::poll(&watched, 1, 100) <= 0) continue;
      char buffer[512];
      const ssize_t n = ::read(output_, buffer, sizeof buffer);
      if (n <= 0) break;
      text_.append(buffer, static_cast<size_t>(n));
    }
    Stop();
    throw std::runtime_error("zq_formhandler did not start: " + text_);
  }

  pid_t pid_ = -1;
  int output_ = -1;
  int port_ = 0;
  int exitStatus_ = -1;
  std::string text_;
};

}  // namespace zq::test
