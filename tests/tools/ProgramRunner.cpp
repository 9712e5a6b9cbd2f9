#include "ProgramRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace tarsio::host::testing {

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::atomic<int> runCounter{0};

}  // namespace

ProgramRunner::ProgramRunner(std::vector<std::string> args, std::string scratchDir)
    : args_(std::move(args)), scratch_(std::move(scratchDir)) {
  const int n = runCounter.fetch_add(1);
  outPath_ = scratch_ + "/run" + std::to_string(n) + ".out";
  errPath_ = scratch_ + "/run" + std::to_string(n) + ".err";
}

ProgramRunner::~ProgramRunner() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

ProgramRunner& ProgramRunner::Env(const std::string& name, const std::string& value) {
  env_[name] = value;
  return *this;
}

ProgramRunner& ProgramRunner::WorkingDirectory(const std::string& dir) {
  cwd_ = dir;
  return *this;
}

void ProgramRunner::Start() {
  // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
  std::vector<std::string> argStrings{TARSIO_BINARY};
  argStrings.insert(argStrings.end(), args_.begin(), args_.end());
  std::vector<std::string> envStrings;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (env_.count(name) == 0) envStrings.push_back(entry);
  }
  for (const auto& [name, value] : env_) envStrings.push_back(name + "=" + value);
  std::vector<char*> argv, envp;
  for (auto& s : argStrings) argv.push_back(s.data());
  argv.push_back(nullptr);
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);

  const int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_ = ::fork();
  if (pid_ == 0) {
    if (!cwd_.empty() && ::chdir(cwd_.c_str()) != 0) ::_exit(126);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    const int devnull = ::open("/dev/null", O_RDONLY);
    ::dup2(devnull, STDIN_FILENO);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out);
  ::close(err);
}

ProgramResult ProgramRunner::Wait(int timeoutMs) {
  ProgramResult result;
  if (pid_ <= 0) return result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  for (;;) {
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      result.timedOut = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
  if (!result.timedOut && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  result.out = ReadFile(outPath_);
  result.err = ReadFile(errPath_);
  return result;
}

void ProgramRunner::Signal(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

}  // namespace tarsio::host::testing
