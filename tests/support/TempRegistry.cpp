#include "support/TempRegistry.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/RegistryStore.h"
#include "support/ScopedEnv.h"
#include "support/WavTestFiles.h"

namespace tarsio::testing {

namespace {
constexpr const char* kVariable = "TARSIO_REGISTRY";
}  // namespace

TempRegistry::TempRegistry() {
  dir_ = MakeTempDirectory("tarsio-reg-");
  if (dir_.empty()) std::abort();
  path_ = dir_ + "/registry.reg";
  if (const char* previous = std::getenv(kVariable)) {
    hadEnv_ = true;
    previousEnv_ = previous;
  }
  ScopedEnv::Set(kVariable, path_.c_str());
  RegistryStore::Instance().ReloadPathFromEnvironment();
}

TempRegistry::~TempRegistry() {
  RegistryStore::Instance().Flush();
  if (hadEnv_) {
    ScopedEnv::Set(kVariable, previousEnv_.c_str());
  } else {
    ScopedEnv::Unset(kVariable);
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
