// Points the settings store at a fresh file in a fresh temporary directory for the life of the
// object, so each test starts with an empty registry and leaves nothing behind.
#pragma once

#include <string>

namespace tarsio::testing {

class TempRegistry {
 public:
  TempRegistry();
  ~TempRegistry();
  TempRegistry(const TempRegistry&) = delete;
  TempRegistry& operator=(const TempRegistry&) = delete;

  const std::string& Dir() const { return dir_; }
  const std::string& Path() const { return path_; }
  /// The file's text now (after pending writes reached the disk).
  std::string FileText() const;

 private:
  std::string dir_;
  std::string path_;
  std::string previousEnv_;
  bool hadEnv_ = false;
};

}  // namespace tarsio::testing
