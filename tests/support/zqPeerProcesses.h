#pragma once
// Servers started for integration tests by the scripts of tests/peers and stopped by PID.

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/zqTestSupport.h"

namespace zq::test {

class PeerProcesses {
public:
  PeerProcesses() = default;
  ~PeerProcesses() { Stop(); }
  PeerProcesses(const PeerProcesses&) = delete;
  PeerProcesses& operator=(const PeerProcesses&) = delete;

  // Where the script keeps what it runs; it writes the PIDs it started, one a line, to "pids" there.
  std::string RunDir() const { return dir_.Path() + "/run"; }
  std::string Directory() const { return dir_.Path(); }

  // Runs `bash tests/peers/<script> <arguments>` with at most startSeconds to start; throws with
  // the script's output when it fails (after stopping whatever it had started).
  void Start(const std::string& script, const std::vector<std::string>& arguments, int startSeconds = 30);
  // SIGTERM to each process, SIGKILL when it has not gone within 3 s.
  void Stop();

private:
  TempDir dir_;
  std::vector<pid_t> pids_;
};

std::string ReadWholeFile(const std::string& path);

}  // namespace zq::test
