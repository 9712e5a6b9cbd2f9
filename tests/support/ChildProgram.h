// Programs that end-to-end tests run as child processes: the built tarsio program, and third-party
// peers such as GStreamer's gst-launch-1.0. Each runs in a directory of the test's, with stdin
// from /dev/null and stdout and stderr captured into files there, and is killed when the test
// stops waiting for it.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace tarsio::testing {

/// The whole content of a text file ("" when it cannot be read).
std::string ReadFileText(const std::string& path);

/// The number after "key": in a JSON text (first occurrence); -1 for null or missing.
double JsonNumber(const std::string& json, const std::string& key);

struct ProgramResult {
  int exitCode = -1;  // -1: killed after its time ran out, or did not start
  std::string out, err;
};

class ChildProgram {
 public:
  /// Starts args[0] (a path, or a name looked up in PATH) in dir. Its environment is this
  /// process's without the variables whose names start with one of dropPrefixes, plus
  /// environment ("NAME=value" each).
  ChildProgram(std::vector<std::string> args, const std::string& dir,
               const std::vector<std::string>& environment = {},
               const std::vector<std::string>& dropPrefixes = {});
  ~ChildProgram() { Wait(0); }
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  /// False when the program could not be started (not found, not executable).
  bool Started() const { return pid_ > 0; }
  void Signal(int signal);
  /// Waits at most timeoutMs for the program to end (killing it then), and gives its exit code
  /// and output. Later calls give an empty result.
  ProgramResult Wait(int timeoutMs);
  /// What the program has written to stdout so far.
  std::string OutSoFar() const { return ReadFileText(base_ + ".out"); }

 private:
  static inline int runs_ = 0;
  std::string base_;
  pid_t pid_ = -1;
};

/// The tarsio program at binary, run in dir with its settings file dir/registry, the null sound
/// backend as default and no real-time priority; this process's TARSIO_ variables and TMPDIR are
/// not passed on (TMPDIR is dir).
std::unique_ptr<ChildProgram> StartTarsio(const std::string& binary, const std::string& dir,
                                          std::vector<std::string> args,
                                          const std::string& registry);

/// Runs a program to its end (at most timeoutMs) and gives its result.
ProgramResult RunProgram(std::vector<std::string> args, const std::string& dir, int timeoutMs);

}  // namespace tarsio::testing
