#include "tools/SettingsCommand.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "framework/NumberText.h"
#include "framework/Registry.h"
#include "platform/RegistryFile.h"
#include "platform/RegistryStore.h"

namespace tarsio::host {

namespace {

constexpr const char* kKey = "Software\\Almagre\\OrbeMediaTerm\\1.0";
constexpr const char* kFullKey = "HKEY_CURRENT_USER\\Software\\Almagre\\OrbeMediaTerm\\1.0";

using Kind = SettingsCommand::Kind;

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kBool:
      return "true/false";
    case Kind::kDword:
      return "DWORD";
    case Kind::kNumber:
      return "number";
    case Kind::kString:
      return "text";
  }
  return "";
}

std::string Show(const RegistryFile::Value& value) {
  if (value.type == RegistryFile::Value::Type::kDword) return std::to_string(value.dword);
  return value.text;
}

/// The values stored under the terminal's key, by folded name: (name as stored, value).
std::map<std::string, std::pair<std::string, RegistryFile::Value>> StoredValues() {
  RegistryStore& store = RegistryStore::Instance();
  store.Flush();
  std::map<std::string, std::pair<std::string, RegistryFile::Value>> stored;
  std::ifstream in(store.Path(), std::ios::binary);
  if (!in) return stored;
  std::stringstream text;
  text << in.rdbuf();
  const RegistryFile file = RegistryFile::Parse(text.str());
  const std::string key = RegistryFile::Fold(kFullKey);
  file.ForEachValue(
      [&](const std::string& k, const std::string& name, const RegistryFile::Value& value) {
        if (RegistryFile::Fold(k) == key) stored[RegistryFile::Fold(name)] = {name, value};
      });
  return stored;
}

const SettingsCommand::Known* FindKnown(const std::string& name) {
  for (const auto& known : SettingsCommand::KnownSettings()) {
    if (RegistryFile::Fold(known.name) == RegistryFile::Fold(name)) return &known;
  }
  return nullptr;
}

}  // namespace

const std::vector<SettingsCommand::Known>& SettingsCommand::KnownSettings() {
  static const std::vector<Known> known = {
      {"ForceVADOff", Kind::kBool, "false", "true: silence suppression when the call asks (--vad)"},
      {"MicrophonePreprocess", Kind::kBool, "true", "FIR filter on the microphone"},
      {"TxFIRFilter", Kind::kDword, "1", "2: the second transmit FIR table"},
      {"TransmitTOS", Kind::kDword, "184", "IP type-of-service byte of RTP (low 8 bits)"},
      {"SpeakerPostprocess", Kind::kBool, "true", "FIR filter on the loudspeaker"},
      {"LimitVolume", Kind::kBool, "true", "limiter on the loudspeaker"},
      {"RxFIRFilter", Kind::kDword, "1", "2: the second receive FIR table"},
      {"UseDynamicJitterBuffer", Kind::kBool, "true", "adaptive jitter buffer depth"},
      {"LowLatencyReceive", Kind::kBool, "false",
       "true: the low-latency receive mode (tarsio's --receive overrides it per call)"},
      {"LimiterThreshold", Kind::kNumber, "-8.0", "limiter threshold, dB"},
      {"LimiterLossIncrement", Kind::kNumber, "0.075", "limiter attack step"},
      {"LimiterLossDecrement", Kind::kNumber, "-0.00075", "limiter release step"},
      {"VolumeMaximizePercentile", Kind::kNumber, "95.00", "automatic gain: level percentile"},
      {"VolumeMaximizeMaxGain", Kind::kNumber, "8.00", "automatic gain: largest gain"},
      {"RTPTransmitCodec", Kind::kString, "", "recorded: codec being sent"},
      {"RTPReceiveCodec", Kind::kString, "", "recorded: codec being received (auto decoder)"},
      {"TransmitPort", Kind::kDword, "", "recorded: local RTP port"},
      {"DestinationAddress", Kind::kString, "", "recorded: remote address"},
      {"DestinationPort", Kind::kDword, "", "recorded: remote port"},
  };
  return known;
}

bool SettingsCommand::Normalise(Kind kind, const std::string& value, std::string* normalised,
                                std::string* error) {
  switch (kind) {
    case Kind::kBool: {
      const std::string folded = RegistryFile::Fold(value);
      if (folded != "true" && folded != "false") {
        *error = "'" + value + "' is not true or false";
        return false;
      }
      *normalised = folded;
      return true;
    }
    case Kind::kDword: {
      errno = 0;
      char* end = nullptr;
      const unsigned long long v = std::strtoull(value.c_str(), &end, 0);
      if (value.empty() || value[0] == '-' || *end != '\0' || errno != 0 || v > 0xFFFFFFFFull) {
        *error = "'" + value + "' is not a 32-bit unsigned number (decimal or 0x hex)";
        return false;
      }
      *normalised = std::to_string(v);
      return true;
    }
    case Kind::kNumber: {
      // Checked with the grammar the engine reads tuning values with (framework/NumberText), so
      // that what is stored is what the engine will use: no hexadecimal, inf or nan (read as 0),
      // nothing the engine would saturate (1e999 would become the largest double).
      if (IsWholeNumberText(value, nullptr)) {
        *normalised = value;
        return true;
      }
      const NumberTextScan scan = ScanNumberText(value.c_str());
      if (!value.empty() && scan.length == value.size() && !scan.inRange) {
        *error = "'" + value + "' is out of the range of a number (about 1e-308 to 1e308)";
      } else {
        *error = "'" + value +
                 "' is not a decimal number (digits with an optional sign, '.' and exponent, "
                 "e.g. -8.5 or 75e-3)";
      }
      return false;
    }
    case Kind::kString:
      if (!RegistryFile::IsStorableString(value)) {
        *error = "a setting cannot hold a line break";
        return false;
      }
      *normalised = value;
      return true;
  }
  return false;
}

void SettingsCommand::AddTo(CLI::App& app) {
  command_ = app.add_subcommand("settings", "Read and change the media terminal's settings");
  command_->require_subcommand(1);
  list_ = command_->add_subcommand("list", "Every setting with its value or default");
  get_ = command_->add_subcommand("get", "Print one setting's value");
  get_->add_option("NAME", name_, "Setting name (see list)")->required();
  set_ = command_->add_subcommand("set", "Store a setting; the next call uses it");
  set_->add_option("NAME", name_, "Setting name (see list)")->required();
  set_->add_option("VALUE", value_, "New value")->required();
  set_->add_option("--type", type_, "How to store a name the terminal does not know")
      ->check(CLI::IsMember({"bool", "dword", "number", "string"}));
}

bool SettingsCommand::Selected() const { return command_ != nullptr && command_->parsed(); }

int SettingsCommand::Run() {
  if (list_->parsed()) return List();
  if (get_->parsed()) return Get();
  return Set();
}

int SettingsCommand::List() {
  const auto stored = StoredValues();
  std::printf("# %s in %s\n", kKey, RegistryStore::Instance().Path().c_str());
  for (const Known& known : KnownSettings()) {
    const auto it = stored.find(RegistryFile::Fold(known.name));
    std::string value;
    std::string note;
    if (it != stored.end()) {
      value = Show(it->second.second);
    } else if (known.defaultValue[0] != '\0') {
      value = known.defaultValue;
      note = "  (default, not stored yet)";
    } else {
      value = "-";
      note = "  (not recorded yet)";
    }
    std::printf("%-26s %-10s %-10s # %s%s\n", known.name, value.c_str(), KindName(known.kind),
                known.meaning, note.c_str());
  }
  for (const auto& [folded, entry] : stored) {
    if (FindKnown(entry.first) == nullptr) {
      std::printf("%-26s %-10s # not read by the terminal\n", entry.first.c_str(),
                  Show(entry.second).c_str());
    }
  }
  return 0;
}

int SettingsCommand::Get() {
  const auto stored = StoredValues();
  const auto it = stored.find(RegistryFile::Fold(name_));
  if (it != stored.end()) {
    std::printf("%s\n", Show(it->second.second).c_str());
    return 0;
  }
  const Known* known = FindKnown(name_);
  if (known != nullptr && known->defaultValue[0] != '\0') {
    std::printf("%s\n", known->defaultValue);
    std::fprintf(stderr, "tarsio: %s is not stored yet; this is its default\n", known->name);
    return 0;
  }
  std::fprintf(
      stderr, "tarsio: %s: %s\n", name_.c_str(),
      known != nullptr ? "not recorded yet" : "no such setting (see tarsio settings list)");
  return 1;
}

int SettingsCommand::Set() {
  const Known* known = FindKnown(name_);
  Kind kind = Kind::kString;
  std::string name = name_;
  if (!type_.empty()) {
    kind = type_ == "bool"     ? Kind::kBool
           : type_ == "dword"  ? Kind::kDword
           : type_ == "number" ? Kind::kNumber
                               : Kind::kString;
  } else if (known != nullptr) {
    kind = known->kind;
    name = known->name;
  } else {
    std::fprintf(stderr,
                 "tarsio: %s: no such setting (see tarsio settings list; --type stores it "
                 "anyway)\n",
                 name_.c_str());
    return 2;
  }
  std::string value;
  std::string error;
  if (!Normalise(kind, value_, &value, &error)) {
    std::fprintf(stderr, "tarsio: %s: %s\n", name.c_str(), error.c_str());
    return 2;
  }
  RegistryStore& store = RegistryStore::Instance();
  int32_t result = 0;
  if (kind == Kind::kDword) {
    const uint32_t v = static_cast<uint32_t>(std::stoul(value));
    // The result is the value written, or -10/-20 (which a value of 0xFFFFFFF6 also gives).
    const int32_t r = RegSetDWORD(RegistryRoot::kCurrentUser, kKey, name.c_str(), v);
    if ((r == -10 || r == -20) && static_cast<int32_t>(v) != r) result = r;
  } else {
    result = RegSetString(RegistryRoot::kCurrentUser, kKey, name.c_str(), value.c_str());
  }
  if (result < 0 || !store.Flush()) {
    std::fprintf(stderr, "tarsio: cannot write the settings file %s\n", store.Path().c_str());
    return 1;
  }
  std::printf("%s = %s\n", name.c_str(), value.c_str());
  return 0;
}

}  // namespace tarsio::host
