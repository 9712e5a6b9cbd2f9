// One settings file in the text format of registry exports, parsed line by line and written back
// with every line it did not change kept byte for byte.
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_CURRENT_USER\Software\Almagre\OrbeMediaTerm\1.0]
//   "ForceVADOff"="false"
//   "TxFIRFilter"=dword:00000001
//
// Sections name a key by its full path (root included). Value lines are "name"=<data> (or @=<data>
// for the unnamed value); string data is quoted with \\ and \" as the only escapes, DWORD data is
// dword: and up to 8 hex digits. Other data (hex:, hex(2):, "-", ...) is kept as an opaque value of
// type kOther, including its continuation lines, and its bytes are decoded for readers (see
// Value::QueryBytes). Blank lines, ';' comments and lines that do not parse are kept untouched; a
// value line outside any section is one of those.
//
// Key paths and value names compare without regard to ASCII letter case, as the Windows registry
// does. When a value occurs more than once, the last occurrence counts (as on import).
//
// Threading: none; a RegistryFile is a plain value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarsio {

class RegistryFile {
 public:
  struct Value {
    enum class Type : uint8_t { kString, kDword, kOther };
    Type type = Type::kString;
    std::string text;    // kString: the text; kOther: the raw data after '=' (first line)
    uint32_t dword = 0;  // kDword
    // kOther only: the registry type of hex data (hex: is 3, binary; hex(N): is N), the bytes of
    // all its lines, whether it decoded at all ("-" deletes a value on import, and hex data with
    // a bad byte cannot be imported), and whether its string types hold UTF-16LE (Version 5.00
    // files) or 8-bit text (REGEDIT4 files).
    uint32_t regType = 0;
    std::string bytes;
    bool decoded = false;
    bool wideText = true;

    static Value String(std::string_view s) {
      Value value;
      value.text = std::string(s);
      return value;
    }
    static Value Dword(uint32_t v) {
      Value value;
      value.type = Type::kDword;
      value.dword = v;
      return value;
    }
    static Value Opaque(std::string_view data) {
      Value value;
      value.type = Type::kOther;
      value.text = std::string(data);
      return value;
    }
    bool operator==(const Value&) const = default;

    /// The bytes a registry query hands its caller, as the narrow-character query of the Windows
    /// registry does whatever the value's type: a string with its terminating zero, a DWORD as
    /// four bytes little-endian, hex data as its bytes, the string types among them (1, 2 and 7)
    /// converted from UTF-16LE to UTF-8. Nothing for data that is no registry value at all.
    std::optional<std::string> QueryBytes() const;
  };

  static constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";

  RegistryFile() = default;

  /// Parses text (UTF-8, optional BOM, LF or CRLF line ends). Never fails: what does not parse is
  /// kept as unparsed lines.
  static RegistryFile Parse(std::string_view text);
  /// The file text: unchanged lines as they were, changed and new lines in canonical form.
  std::string Serialize() const;

  /// The last value named name under key (full path, e.g. "HKEY_CURRENT_USER\\Software\\X"), or
  /// null.
  const Value* Find(std::string_view key, std::string_view name) const;
  bool HasKey(std::string_view key) const;
  /// Sets (replaces or adds) a string or DWORD value, adding the key's section when needed. False
  /// (nothing changed) for a string, key or name holding a line break, or a kOther value.
  bool Set(std::string_view key, std::string_view name, const Value& value);

  /// Calls f(key, name, value) for every value in file order.
  template <class F>
  void ForEachValue(F&& f) const {
    for (const Line& line : lines_) {
      if (line.kind == Line::Kind::kValue) f(sections_[line.section], line.name, line.value);
    }
  }
  /// Calls f(key) for every section.
  template <class F>
  void ForEachKey(F&& f) const {
    for (const std::string& key : sections_) f(key);
  }

  /// Lines that are neither header, section, value, blank nor comment.
  size_t UnparsedLineCount() const;

  /// ASCII case folding used for key and name comparison.
  static std::string Fold(std::string_view s);
  /// Whether text can be stored as string data (no line breaks).
  static bool IsStorableString(std::string_view s);
  /// The quoted form of a string: \ and " escaped.
  static std::string Quote(std::string_view s);

 private:
  struct Line {
    enum class Kind : uint8_t { kHeader, kSection, kValue, kContinuation, kBlankOrComment, kOther };
    Kind kind = Kind::kOther;
    std::string text;        // the raw line without its line end
    int section = -1;        // kSection, kValue: index in sections_
    std::string name;        // kValue
    std::string foldedName;  // kValue
    Value value;             // kValue
  };

  static bool ParseValueLine(std::string_view line, std::string* name, Value* value);
  static std::string FormatValueLine(std::string_view name, const Value& value);
  static bool ContinuesOnNextLine(const Line& line);
  static void DecodeHex(std::string_view data, Value* value);
  void DecodeOpaqueValues();
  int FindSection(std::string_view foldedKey) const;  // index in sections_, or -1

  std::vector<Line> lines_;
  std::vector<std::string> sections_;        // key paths as written, one per section line
  std::vector<std::string> foldedSections_;  // the same, case-folded
  std::string eol_ = "\n";
  bool bom_ = false;
  bool regedit4_ = false;  // the header is REGEDIT4: string data in hex form is 8-bit
};

}  // namespace tarsio
