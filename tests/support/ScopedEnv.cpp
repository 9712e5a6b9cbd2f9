#include "support/ScopedEnv.h"

#include <cstdlib>

namespace tarsio::testing {

void ScopedEnv::Set(const char* name, const char* value, bool overwrite) {
  if (!overwrite && std::getenv(name) != nullptr) return;
#ifdef _WIN32
  ::_putenv_s(name, value);
#else
  ::setenv(name, value, 1);
#endif
}

void ScopedEnv::Unset(const char* name) {
#ifdef _WIN32
  ::_putenv_s(name, "");
#else
  ::unsetenv(name);
#endif
}

ScopedEnv::ScopedEnv(std::string name, const char* value) : name_(std::move(name)) {
  if (const char* now = std::getenv(name_.c_str())) previous_ = now;
  if (value != nullptr) {
    Set(name_.c_str(), value);
  } else {
    Unset(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (previous_) {
    Set(name_.c_str(), previous_->c_str());
  } else {
    Unset(name_.c_str());
  }
}

}  // namespace tarsio::testing
