// Sets (or unsets) an environment variable for the life of the object and puts the previous
// value back afterwards, so that no test leaves its environment to the next.
//
// Threading: the environment is process-wide; use it only while no other thread reads the
// variable (setenv is not safe against concurrent getenv).
#pragma once

#include <optional>
#include <string>

namespace tarsio::testing {

class ScopedEnv {
 public:
  /// value nullptr unsets the variable.
  ScopedEnv(std::string name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  /// setenv/unsetenv on Linux, _putenv_s on Windows (where an empty value unsets).
  static void Set(const char* name, const char* value, bool overwrite = true);
  static void Unset(const char* name);

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

}  // namespace tarsio::testing
