// The settings functions: typed reads and writes of named values under a key path.
//
// Values live in the settings store (platform/RegistryStore.h), a registry-export text file that
// users can read and edit; see docs/settings.md. A read of a missing value writes the default
// back, so every setting the engine consults becomes visible in the file after first use.
//
// Reads take the stored bytes whatever the value's type, as a query of the Windows registry hands
// them over (RegistryFile::Value::QueryBytes): a text reader sees a DWORD's four bytes or hex
// data's bytes up to the first zero, a DWORD reader takes up to four bytes of any value
// little-endian. A value that exists is never rewritten, except a text too long for the text
// readers' 1000-byte buffer (such a read fails, as a missing value does).
//
// Failure values: a read that cannot open the key (a key path or value name of 1024 characters or
// more) yields false, "" or 0; a default that cannot be written back also yields false, "" or 0.
//
// Threading: any thread; each call is atomic against other threads and other processes.
#pragma once

#include <cstdint>
#include <string>

namespace tarsio {

/// The registry roots. The engine only ever uses the current user's hive.
enum class RegistryRoot : uint32_t { kCurrentUser = 0x80000001u };

/// True when the stored text equals "true" without regard to case. Missing or too long: writes
/// "true"/"false".
bool RegGetBool(RegistryRoot root, const char* keyPath, const char* valueName, bool defaultValue);
/// The stored text. Missing or too long: writes the default and returns it.
std::string RegGetString(RegistryRoot root, const char* keyPath, const char* valueName,
                         const char* defaultValue);
/// The stored 32-bit value. Missing: writes the default as a DWORD and returns it. Present but
/// longer than four bytes: returns the default and leaves the value as it is.
uint32_t RegGetDWORD(RegistryRoot root, const char* keyPath, const char* valueName,
                     uint32_t defaultValue);
/// -10 when the key cannot be opened or created, -20 when the value cannot be written, else 0.
int32_t RegSetString(RegistryRoot root, const char* keyPath, const char* valueName,
                     const char* text);
/// -10 / -20 as RegSetString, else the value written.
int32_t RegSetDWORD(RegistryRoot root, const char* keyPath, const char* valueName, uint32_t value);

}  // namespace tarsio
