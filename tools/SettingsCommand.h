// `tarsio settings list|get|set`: reads and changes the media terminal's settings in the settings
// store (the file named by TARSIO_REGISTRY, else ~/.config/tarsio/registry.reg).
//
//   list              every setting the terminal reads or records, with its value or default
//   get NAME          one value (the default when it is not stored yet)
//   set NAME VALUE    stores a value; booleans take true/false, DWORD values a decimal or 0x hex
//                     number, tuning values a decimal number in the engine's own number grammar
//                     (framework/NumberText.h: no hex, inf or nan, nothing out of a double's
//                     range); the next call uses it
//
// Names compare without regard to case. A name the terminal does not know is refused unless
// --type says how to store it.
//
// Threading: runs on the main thread only.
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace tarsio::host {

class SettingsCommand {
 public:
  enum class Kind { kBool, kDword, kNumber, kString };
  struct Known {
    const char* name;
    Kind kind;
    const char* defaultValue;  // as stored; empty for the values the engine records
    const char* meaning;
  };

  /// Adds the "settings" subcommand with its three subcommands to app.
  void AddTo(CLI::App& app);
  bool Selected() const;
  int Run();

  /// The settings the terminal reads and records, in the order `list` shows them.
  static const std::vector<Known>& KnownSettings();
  /// Checks and normalises value for kind ("TRUE" -> "true", "0x10" -> "16"); false with a reason.
  static bool Normalise(Kind kind, const std::string& value, std::string* normalised,
                        std::string* error);

 private:
  int List();
  int Get();
  int Set();

  CLI::App* command_ = nullptr;
  CLI::App* list_ = nullptr;
  CLI::App* get_ = nullptr;
  CLI::App* set_ = nullptr;
  std::string name_;
  std::string value_;
  std::string type_;
};

}  // namespace tarsio::host
