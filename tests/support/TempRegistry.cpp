#include "support/TempRegistry.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/RegistryStore.h"

namespace tarsio::testing {

namespace {
constexpr const char* kVariable = "TARSIO_REGISTRY";
}  // namespace

TempRegistry::TempRegistry() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarsio-reg-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  dir_ = pattern;
  path_ = dir_ + "/registry.reg";
  if (const char* previous = std::getenv(kVariable)) {
    hadEnv_ = true;
    previousEnv_ = previous;
  }
  ::setenv(kVariable, path_.c_str(), 1);
  RegistryStore::Instance().ReloadPathFromEnvironment();
}

TempRegistry::~TempRegistry() {
  RegistryStore::Instance().Flush();
  if (hadEnv_) {
    ::setenv(kVariable, previousEnv_.c_str(), 1);
  } else {
    ::unsetenv(kVariable);
  }
  RegistryStore::Instance().ReloadPathFromEnvironment();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string TempRegistry::FileText() const {
  RegistryStore::Instance().Flush();
  std::ifstream in(path_, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace tarsio::testing
