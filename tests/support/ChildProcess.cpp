#include "support/ChildProcess.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

namespace tarsio::testing {

namespace {

std::map<std::string, ChildBody>& Bodies() {
  static std::map<std::string, ChildBody> bodies;
  return bodies;
}

}  // namespace

bool RegisterChildBody(const char* name, ChildBody body) {
  Bodies()[name] = body;
  return true;
}

int RunChildBody(const std::string& name) {
  const auto found = Bodies().find(name);
  if (found == Bodies().end()) {
    std::fprintf(stderr, "no child body named %s\n", name.c_str());
    return 2;
  }
  return found->second();
}

int RunChildProcess(const std::string& name, const std::string& environment) {
  const std::string command = environment + " TARSIO_TEST_CHILD=" + name + " " +
                              std::filesystem::read_symlink("/proc/self/exe").string();
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace tarsio::testing
