// Feeds arbitrary text to the engine's settings readers as the settings file: the file lives in
// memory (a memfd opened through /proc/self/fd), so the store reads it through its real file path
// but can never write beside it, and no file is ever made.
//
// For every value under the current user's hive, RegGetString, RegGetBool and RegGetDWORD must
// give what the stored bytes say (the bytes a registry query hands over, RegistryFile's
// QueryBytes, of the last occurrence of the value): the text up to the first zero when it fits the
// 1000-byte read buffer, the bytes little-endian when they fit four, else the reader's failure
// value (its default cannot be written). The number reader of the tuning values takes the text and
// must give a finite number. Reads with a key path or name of 1024 characters or more fail.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "framework/NumberText.h"
#include "framework/Registry.h"
#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzFiles.h"
#include "platform/RegistryFile.h"
#include "platform/RegistryStore.h"

namespace {

using tarsio::RegistryFile;

constexpr size_t kMaxValuesChecked = 64;
constexpr size_t kNameLimit = 1024;
constexpr size_t kReadBuffer = 1000;
constexpr std::string_view kRoot = "hkey_current_user";

tarsio::fuzz::MemoryFile* File() {
  static tarsio::fuzz::MemoryFile file("tarsio-registry-values");
  return &file;
}

std::string_view WithoutTrailingBackslashes(std::string_view key) {
  while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  return key;
}

struct Stored {
  std::string keyPath;  // below the root, as the readers take it
  std::string name;
  RegistryFile::Value value;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ::setenv("TARSIO_REGISTRY", File()->Path().c_str(), 1);
  tarsio::RegistryStore::Instance().ReloadPathFromEnvironment();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarsio;
  File()->Assign(data, size);
  RegistryStore::Instance().ReloadPathFromEnvironment();
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  // What the readers must see: the last occurrence of each value of the hive, by folded key
  // (trailing backslashes ignored) and name.
  std::map<std::string, Stored> expected;
  RegistryFile::Parse(text).ForEachValue([&](const std::string& key, const std::string& name,
                                             const RegistryFile::Value& value) {
    const std::string folded = RegistryFile::Fold(key);
    std::string keyPath;
    if (folded.size() > kRoot.size() && folded.compare(0, kRoot.size(), kRoot) == 0 &&
        folded[kRoot.size()] == '\\') {
      keyPath = key.substr(kRoot.size() + 1);
    } else if (folded != kRoot) {
      return;
    }
    // A name or key with a zero byte cannot be passed as a C string.
    if (keyPath.find('\0') != std::string::npos || name.find('\0') != std::string::npos) return;
    const std::string id =
        RegistryFile::Fold(WithoutTrailingBackslashes(keyPath)) + "\n" + RegistryFile::Fold(name);
    expected.insert_or_assign(id, Stored{keyPath, name, value});
  });

  size_t checked = 0;
  for (const auto& [id, stored] : expected) {
    if (++checked > kMaxValuesChecked) break;
    const char* keyPath = stored.keyPath.c_str();
    const char* name = stored.name.c_str();
    const std::string text = RegGetString(RegistryRoot::kCurrentUser, keyPath, name, "default");
    const bool flag = RegGetBool(RegistryRoot::kCurrentUser, keyPath, name, true);
    const uint32_t number = RegGetDWORD(RegistryRoot::kCurrentUser, keyPath, name, 77);
    Check(std::isfinite(ParseNumberText(text.c_str())));

    if (stored.keyPath.size() >= kNameLimit || stored.name.size() >= kNameLimit) {
      Check(text.empty() && !flag && number == 0);
      continue;
    }
    const std::optional<std::string> bytes = stored.value.QueryBytes();
    if (!bytes) {  // no value at all ("-" or undecodable data): missing, default not writable
      Check(text.empty() && !flag && number == 0);
      continue;
    }
    if (bytes->size() <= kReadBuffer) {
      const std::string upToZero = bytes->substr(0, bytes->find('\0'));
      Check(text == upToZero);
      Check(flag == (RegistryFile::Fold(upToZero) == "true"));
    } else {
      Check(text.empty() && !flag);
    }
    if (bytes->size() <= 4) {
      uint32_t value = 0;
      for (size_t i = 0; i < bytes->size(); ++i) {
        value |= static_cast<uint32_t>(static_cast<uint8_t>((*bytes)[i])) << (8 * i);
      }
      Check(number == value);
    } else {
      Check(number == 77);
    }
  }
  return 0;
}
