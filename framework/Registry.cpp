#include "framework/Registry.h"

#include <cstring>
#include <optional>
#include <string_view>

#include "platform/RegistryStore.h"

namespace tarsio {

namespace {

// Key paths and value names are copied into buffers of this size, terminator included.
constexpr size_t kNameBufferSize = 1024;
// The read buffer of RegGetBool and RegGetString: a stored value fits when its bytes (a text's
// terminating zero included) number at most this.
constexpr size_t kReadBufferSize = 1000;
// RegGetDWORD reads into four bytes; a present value of any size counts as read (see there).
constexpr size_t kNoTextLimit = 0;
constexpr size_t kDwordBytes = 4;

constexpr int32_t kErrOpenKey = -10;
constexpr int32_t kErrSetValue = -20;

using Value = RegistryStore::Value;

// The full path of the key in the store, or nothing when the names are too long or the root is
// unknown.
std::optional<std::string> KeyName(RegistryRoot root, const char* keyPath, const char* valueName) {
  if (keyPath == nullptr || valueName == nullptr) return std::nullopt;
  if (std::strlen(keyPath) >= kNameBufferSize || std::strlen(valueName) >= kNameBufferSize) {
    return std::nullopt;
  }
  if (root != RegistryRoot::kCurrentUser) return std::nullopt;
  std::string key = "HKEY_CURRENT_USER";
  if (keyPath[0] != '\0') {
    key.push_back('\\');
    key += keyPath;
  }
  return key;
}

// Opening a key creates it when missing, which needs a writable store. (A present value implies
// an openable key, so reads of present values skip this check.)
bool CanOpenKey(const std::string& key) {
  RegistryStore& store = RegistryStore::Instance();
  return store.KeyExists(key) || store.CanWrite();
}

bool EqualsTrueNoCase(const std::string& text) {
  static constexpr char kTrue[] = "true";
  if (text.size() != 4) return false;
  for (size_t i = 0; i < 4; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kTrue[i]) return false;
  }
  return true;
}

// The stored value as text when its bytes fit the read buffer, whatever its type: the bytes up to
// the first zero (a DWORD gives its four bytes, hex data its bytes, a hex(1) string its text).
// Otherwise (missing or too long) writes the default back. Returns nothing when the default
// cannot be written.
std::optional<std::string> ReadTextOrWriteDefault(const std::string& key, const char* valueName,
                                                  const std::string& defaultText) {
  RegistryStore& store = RegistryStore::Instance();
  const std::optional<Value> stored = store.Read(key, valueName);
  if (RegistryStore::Acceptable(stored, Value::Type::kString, kReadBufferSize)) {
    const std::string bytes = *stored->QueryBytes();
    return bytes.substr(0, bytes.find('\0'));
  }
  if (!CanOpenKey(key) ||
      !store.WriteDefault(key, valueName, Value::String(defaultText), kReadBufferSize)) {
    return std::nullopt;
  }
  return defaultText;
}

}  // namespace

bool RegGetBool(RegistryRoot root, const char* keyPath, const char* valueName, bool defaultValue) {
  const std::optional<std::string> key = KeyName(root, keyPath, valueName);
  if (!key) return false;
  const std::optional<std::string> text =
      ReadTextOrWriteDefault(*key, valueName, defaultValue ? "true" : "false");
  return text && EqualsTrueNoCase(*text);
}

std::string RegGetString(RegistryRoot root, const char* keyPath, const char* valueName,
                         const char* defaultValue) {
  const std::optional<std::string> key = KeyName(root, keyPath, valueName);
  if (!key) return {};
  std::optional<std::string> text =
      ReadTextOrWriteDefault(*key, valueName, defaultValue != nullptr ? defaultValue : "");
  return text ? std::move(*text) : std::string();
}

uint32_t RegGetDWORD(RegistryRoot root, const char* keyPath, const char* valueName,
                     uint32_t defaultValue) {
  const std::optional<std::string> key = KeyName(root, keyPath, valueName);
  if (!key) return 0;
  RegistryStore& store = RegistryStore::Instance();
  const std::optional<Value> stored = store.Read(*key, valueName);
  if (RegistryStore::Acceptable(stored, Value::Type::kDword, kNoTextLimit)) {
    // A present value is never replaced. Its bytes fill the number little-endian (a shorter
    // value leaves the high bytes 0); a value too long for four bytes cannot be read, and the
    // default is used without being written.
    const std::string bytes = *stored->QueryBytes();
    if (bytes.size() > kDwordBytes) return defaultValue;
    uint32_t value = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
      value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << (8 * i);
    }
    return value;
  }
  if (!CanOpenKey(*key) ||
      !store.WriteDefault(*key, valueName, Value::Dword(defaultValue), kNoTextLimit))
    return 0;
  return defaultValue;
}

int32_t RegSetString(RegistryRoot root, const char* keyPath, const char* valueName,
                     const char* text) {
  const std::optional<std::string> key = KeyName(root, keyPath, valueName);
  if (!key || !CanOpenKey(*key)) return kErrOpenKey;
  if (!RegistryStore::Instance().Write(*key, valueName,
                                       Value::String(text != nullptr ? text : ""))) {
    return kErrSetValue;
  }
  return 0;
}

int32_t RegSetDWORD(RegistryRoot root, const char* keyPath, const char* valueName, uint32_t value) {
  const std::optional<std::string> key = KeyName(root, keyPath, valueName);
  if (!key || !CanOpenKey(*key)) return kErrOpenKey;
  if (!RegistryStore::Instance().Write(*key, valueName, Value::Dword(value))) return kErrSetValue;
  return static_cast<int32_t>(value);
}

}  // namespace tarsio
