#include "support/ChildProgram.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string_view>
#include <thread>

extern char** environ;

namespace tarsio::testing {

std::string ReadFileText(const std::string& path) {
  std::ifstream file(path);
  return {std::istreambuf_iterator<char>(file), {}};
}

double JsonNumber(const std::string& json, const std::string& key) {
  const size_t at = json.find("\"" + key + "\": ");
  if (at == std::string::npos || json.compare(at + key.size() + 4, 4, "null") == 0) return -1;
  return std::strtod(json.c_str() + at + key.size() + 4, nullptr);
}

ChildProgram::ChildProgram(std::vector<std::string> args, const std::string& dir,
                           const std::vector<std::string>& environment,
                           const std::vector<std::string>& dropPrefixes)
    : base_(dir + "/run" + std::to_string(++runs_)) {
  std::vector<std::string> env = environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view v = *e;
    bool drop = false;
    for (const std::string& prefix : dropPrefixes) drop = drop || v.starts_with(prefix);
    if (!drop) env.emplace_back(v);
  }
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  for (auto& e : env) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  for (int fd : {1, 2}) {
    const std::string file = base_ + (fd == 1 ? ".out" : ".err");
    posix_spawn_file_actions_addopen(&actions, fd, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
  }
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

void ChildProgram::Signal(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

ProgramResult ChildProgram::Wait(int timeoutMs) {
  ProgramResult r;
  if (pid_ <= 0) return r;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) != pid_) {
    if (std::chrono::steady_clock::now() >= deadline) ::kill(pid_, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
  // A program that could not be executed after the fork exits with 127.
  if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
  r.out = ReadFileText(base_ + ".out");
  r.err = ReadFileText(base_ + ".err");
  return r;
}

std::unique_ptr<ChildProgram> StartTarsio(const std::string& binary, const std::string& dir,
                                          std::vector<std::string> args,
                                          const std::string& registry) {
  args.insert(args.begin(), binary);
  return std::make_unique<ChildProgram>(
      std::move(args), dir,
      std::vector<std::string>{"TARSIO_REGISTRY=" + dir + "/" + registry, "TMPDIR=" + dir,
                               "TARSIO_AUDIO=null", "TARSIO_NO_REALTIME=1"},
      std::vector<std::string>{"TARSIO_", "TMPDIR="});
}

ProgramResult RunProgram(std::vector<std::string> args, const std::string& dir, int timeoutMs) {
  return ChildProgram(std::move(args), dir).Wait(timeoutMs);
}

}  // namespace tarsio::testing
