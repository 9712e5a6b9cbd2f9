// The current user's registry hive as the settings store's back end on Windows: values under
// HKEY_CURRENT_USER read and written with the registry's own calls (RegOpenKeyExW,
// RegQueryValueExW, RegCreateKeyExW, RegSetValueExW), so the settings are where Windows tools and
// other programs look for them (regedit, reg.exe, a .reg import).
//
// Keys are full paths with their root, as the store takes them: "HKEY_CURRENT_USER\..." (or
// "HKCU\..."); other roots are refused (no value, no write). Names and texts are UTF-8 here and
// UTF-16 at the system calls. Values map to the store's: REG_SZ a string, REG_DWORD a DWORD, any
// other type its raw bytes (RegistryFile::Value::Type::kOther, decoded, UTF-16 string types).
//
// Threading: stateless; the registry calls are safe from any thread. Each call opens and closes
// its key, so no handle is kept between calls and none is left behind at unload.
#pragma once

#include <optional>
#include <string_view>

#include "platform/RegistryFile.h"

namespace tarsio {

class RegistryHive {
 public:
  using Value = RegistryFile::Value;

  /// The value, or nothing when the key or value is missing or cannot be read.
  static std::optional<Value> Read(std::string_view key, std::string_view name);
  /// Whether the key exists.
  static bool KeyExists(std::string_view key);
  /// Creates the key as needed and sets the value. False when the root is not the current user's,
  /// a text is not UTF-8, or the registry refuses (access denied, quota).
  static bool Write(std::string_view key, std::string_view name, const Value& value);
  /// Whether values can be written under key: its nearest existing part opens for writing.
  static bool CanWrite(std::string_view key);
};

}  // namespace tarsio
