// Feeds arbitrary text to the settings-file parser. Checks that writing back is stable (parsing
// the written text gives the same text and the same values), that the unparsed lines survive,
// and that values set afterwards read back after another parse.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "platform/RegistryFile.h"

namespace {

using tarsio::RegistryFile;

struct Entry {
  std::string key, name;
  RegistryFile::Value value;
};

std::vector<Entry> Values(const RegistryFile& file) {
  std::vector<Entry> entries;
  file.ForEachValue([&entries](const std::string& key, const std::string& name,
                               const RegistryFile::Value& value) {
    entries.push_back({key, name, value});
  });
  return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  RegistryFile file = RegistryFile::Parse(input);
  const std::string text = file.Serialize();
  const RegistryFile reparsed = RegistryFile::Parse(text);
  Check(reparsed.Serialize() == text);
  Check(reparsed.UnparsedLineCount() == file.UnparsedLineCount());
  const std::vector<Entry> before = Values(file);
  const std::vector<Entry> after = Values(reparsed);
  Check(before.size() == after.size());
  for (size_t i = 0; i < before.size(); ++i) {
    Check(before[i].key == after[i].key && before[i].name == after[i].name &&
          before[i].value == after[i].value);
  }

  // Set values: one into the first key of the file (if any), one into a new key; the names and
  // texts come from the input so that quoting is exercised.
  const std::string name(input.substr(0, size % 17));
  const std::string textValue(input.substr(size / 2, 40));
  std::vector<std::pair<std::string, RegistryFile::Value>> sets;
  if (!before.empty()) sets.push_back({before.front().key, RegistryFile::Value::Dword(7)});
  sets.push_back({"HKEY_CURRENT_USER\\Software\\Fuzz", RegistryFile::Value::String(textValue)});
  for (const auto& [key, value] : sets) {
    const bool storable =
        RegistryFile::IsStorableString(name) && (value.type != RegistryFile::Value::Type::kString ||
                                                 RegistryFile::IsStorableString(value.text));
    Check(file.Set(key, name, value) == storable);
    if (!storable) continue;
    const RegistryFile written = RegistryFile::Parse(file.Serialize());
    const RegistryFile::Value* found = written.Find(key, name);
    Check(found != nullptr && *found == value);
    Check(written.UnparsedLineCount() == reparsed.UnparsedLineCount());
    Check(written.Serialize() == file.Serialize());
  }
  return 0;
}
