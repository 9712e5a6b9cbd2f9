// Runs the built tarsio program as a child process for the end-to-end tests: its own arguments,
// environment additions and working directory; stdout and stderr captured into files; killed
// when it outlives its time.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace tarsio::host::testing {

struct ProgramResult {
  int exitCode = -1;  // -1: killed (timed out) or did not run
  bool timedOut = false;
  std::string out;
  std::string err;
};

class ProgramRunner {
 public:
  /// args without the program; scratchDir receives the captured output.
  ProgramRunner(std::vector<std::string> args, std::string scratchDir);
  ~ProgramRunner();
  ProgramRunner(const ProgramRunner&) = delete;
  ProgramRunner& operator=(const ProgramRunner&) = delete;

  ProgramRunner& Env(const std::string& name, const std::string& value);
  ProgramRunner& WorkingDirectory(const std::string& dir);

  void Start();
  /// Waits at most timeoutMs, then kills the child.
  ProgramResult Wait(int timeoutMs);
  ProgramResult Run(int timeoutMs) {
    Start();
    return Wait(timeoutMs);
  }
  void Signal(int signal);

 private:
  std::vector<std::string> args_;
  std::string scratch_;
  std::map<std::string, std::string> env_;
  std::string cwd_;
  pid_t pid_ = -1;
  std::string outPath_;
  std::string errPath_;
};

}  // namespace tarsio::host::testing
