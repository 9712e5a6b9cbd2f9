#include "platform/RegistryFile.h"

#include <cstdio>

namespace tarsio {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (LowerAscii(s[i]) != LowerAscii(prefix[i])) return false;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a quoted string at the start of s (which starts with '"'). Returns the number of
// characters consumed, or 0 when the string is not terminated or holds an unknown escape.
size_t ReadQuoted(std::string_view s, std::string* out) {
  out->clear();
  for (size_t i = 1; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '"') return i + 1;
    if (c == '\\') {
      if (i + 1 >= s.size()) return 0;
      const char next = s[i + 1];
      if (next != '\\' && next != '"') return 0;
      out->push_back(next);
      ++i;
    } else {
      out->push_back(c);
    }
  }
  return 0;
}

// Key paths are compared without trailing backslashes ("A\B\" is the key "A\B").
std::string_view NormalizeKey(std::string_view key) {
  while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  return key;
}

}  // namespace

std::string RegistryFile::Fold(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

bool RegistryFile::IsStorableString(std::string_view s) {
  return s.find_first_of("\r\n") == std::string_view::npos;
}

std::string RegistryFile::Quote(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out.push_back('"');
  for (char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

bool RegistryFile::ParseValueLine(std::string_view line, std::string* name, Value* value) {
  std::string_view s = Trim(line);
  size_t pos = 0;
  if (s.empty()) return false;
  if (s[0] == '@') {
    name->clear();
    pos = 1;
  } else if (s[0] == '"') {
    pos = ReadQuoted(s, name);
    if (pos == 0) return false;
  } else {
    return false;
  }
  std::string_view rest = Trim(s.substr(pos));
  if (rest.empty() || rest[0] != '=') return false;
  const std::string_view data = Trim(rest.substr(1));
  if (!data.empty() && data[0] == '"') {
    std::string text;
    const size_t used = ReadQuoted(data, &text);
    if (used == 0 || used != data.size()) return false;
    *value = Value::String(text);
    return true;
  }
  if (StartsWithNoCase(data, "dword:")) {
    const std::string_view hex = data.substr(6);
    if (hex.empty() || hex.size() > 8) return false;
    uint32_t v = 0;
    for (char c : hex) {
      const int d = HexDigit(c);
      if (d < 0) return false;
      v = (v << 4) | static_cast<uint32_t>(d);
    }
    *value = Value::Dword(v);
    return true;
  }
  if (StartsWithNoCase(data, "hex:") || StartsWithNoCase(data, "hex(") || data == "-") {
    *value = Value::Opaque(data);
    return true;
  }
  return false;
}

std::string RegistryFile::FormatValueLine(std::string_view name, const Value& value) {
  std::string line = name.empty() ? std::string("@") : Quote(name);
  line.push_back('=');
  switch (value.type) {
    case Value::Type::kString:
      line += Quote(value.text);
      break;
    case Value::Type::kDword: {
      char hex[16];
      std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(value.dword));
      line += "dword:";
      line += hex;
      break;
    }
    case Value::Type::kOther:
      line += value.text;
      break;
  }
  return line;
}

RegistryFile RegistryFile::Parse(std::string_view text) {
  RegistryFile file;
  if (text.substr(0, kBom.size()) == kBom) {
    file.bom_ = true;
    text.remove_prefix(kBom.size());
  }
  // The first line end decides the style; in a CRLF file, CR before LF is part of the line end,
  // in an LF file it is part of the line.
  const size_t firstEnd = text.find('\n');
  if (firstEnd != std::string_view::npos && firstEnd > 0 && text[firstEnd - 1] == '\r') {
    file.eol_ = "\r\n";
  }
  const bool crlf = file.eol_ == "\r\n";
  int current = -1;
  bool continuing = false;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view raw = text.substr(0, end);
    text = (end == std::string_view::npos) ? std::string_view() : text.substr(end + 1);
    if (crlf && !raw.empty() && raw.back() == '\r') raw.remove_suffix(1);

    Line line;
    line.text = std::string(raw);
    const std::string_view trimmed = Trim(raw);
    if (continuing) {
      line.kind = Line::Kind::kContinuation;
      continuing = !trimmed.empty() && trimmed.back() == '\\';
    } else if (trimmed.empty() || trimmed[0] == ';') {
      line.kind = Line::Kind::kBlankOrComment;
    } else if (trimmed == kHeader || trimmed == "REGEDIT4") {
      line.kind = Line::Kind::kHeader;
      file.regedit4_ = trimmed == "REGEDIT4";
    } else if (trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']') {
      const std::string_view key = NormalizeKey(trimmed.substr(1, trimmed.size() - 2));
      if (key.empty() || key[0] == '-' || !IsStorableString(key)) {
        // A deletion section (or an empty one, or a key no write could name): its lines are not
        // values of any key.
        line.kind = Line::Kind::kOther;
        current = -1;
      } else {
        line.kind = Line::Kind::kSection;
        current = static_cast<int>(file.sections_.size());
        line.section = current;
        file.sections_.emplace_back(key);
        file.foldedSections_.push_back(Fold(key));
      }
    } else if (current >= 0 && ParseValueLine(raw, &line.name, &line.value)) {
      line.kind = Line::Kind::kValue;
      line.section = current;
      line.foldedName = Fold(line.name);
      continuing = line.value.type == Value::Type::kOther && trimmed.back() == '\\';
    } else {
      line.kind = Line::Kind::kOther;
    }
    file.lines_.push_back(std::move(line));
  }
  file.DecodeOpaqueValues();
  return file;
}

void RegistryFile::DecodeOpaqueValues() {
  for (size_t i = 0; i < lines_.size(); ++i) {
    Line& line = lines_[i];
    if (line.kind != Line::Kind::kValue || line.value.type != Value::Type::kOther) continue;
    // The data of all lines, without the backslash that continues each one.
    std::string data;
    auto append = [&data](std::string_view piece) {
      piece = Trim(piece);
      if (!piece.empty() && piece.back() == '\\') piece.remove_suffix(1);
      data += piece;
    };
    append(line.value.text);
    for (size_t j = i + 1; j < lines_.size() && lines_[j].kind == Line::Kind::kContinuation; ++j) {
      append(lines_[j].text);
    }
    line.value.wideText = !regedit4_;
    DecodeHex(data, &line.value);
  }
}

void RegistryFile::DecodeHex(std::string_view data, Value* value) {
  value->decoded = false;
  value->bytes.clear();
  uint32_t type = 3;  // hex: is binary data
  if (StartsWithNoCase(data, "hex(")) {
    const size_t close = data.find(')');
    if (close == std::string_view::npos || close == 4 || close > 12) return;
    type = 0;
    for (char c : data.substr(4, close - 4)) {
      const int d = HexDigit(c);
      if (d < 0) return;
      type = (type << 4) | static_cast<uint32_t>(d);
    }
    data.remove_prefix(close + 1);
  } else if (StartsWithNoCase(data, "hex")) {
    data.remove_prefix(3);
  } else {
    return;  // "-": the value is deleted on import
  }
  if (data.empty() || data[0] != ':') return;
  data.remove_prefix(1);
  std::string bytes;
  while (!data.empty()) {
    const size_t comma = data.find(',');
    const std::string_view token = Trim(data.substr(0, comma));
    data = comma == std::string_view::npos ? std::string_view() : data.substr(comma + 1);
    if (token.empty()) continue;
    if (token.size() > 2) return;
    int byte = 0;
    for (char c : token) {
      const int d = HexDigit(c);
      if (d < 0) return;
      byte = byte * 16 + d;
    }
    bytes.push_back(static_cast<char>(byte));
  }
  value->regType = type;
  value->bytes = std::move(bytes);
  value->decoded = true;
}

namespace {

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// UTF-16LE to UTF-8; an odd last byte is dropped, a lone surrogate becomes U+FFFD.
std::string Utf16LeToUtf8(std::string_view bytes) {
  std::string out;
  const size_t units = bytes.size() / 2;
  auto unit = [&bytes](size_t k) {
    return static_cast<uint32_t>(static_cast<uint8_t>(bytes[2 * k])) |
           (static_cast<uint32_t>(static_cast<uint8_t>(bytes[2 * k + 1])) << 8);
  };
  for (size_t k = 0; k < units; ++k) {
    const uint32_t u = unit(k);
    if (u >= 0xD800 && u <= 0xDBFF && k + 1 < units && unit(k + 1) >= 0xDC00 &&
        unit(k + 1) <= 0xDFFF) {
      AppendUtf8(0x10000 + ((u - 0xD800) << 10) + (unit(k + 1) - 0xDC00), &out);
      ++k;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      AppendUtf8(0xFFFD, &out);
    } else {
      AppendUtf8(u, &out);
    }
  }
  return out;
}

}  // namespace

std::optional<std::string> RegistryFile::Value::QueryBytes() const {
  switch (type) {
    case Type::kString:
      return text + std::string(1, '\0');
    case Type::kDword: {
      std::string out(4, '\0');
      for (int i = 0; i < 4; ++i) out[static_cast<size_t>(i)] = static_cast<char>(dword >> (8 * i));
      return out;
    }
    case Type::kOther:
      break;
  }
  if (!decoded) return std::nullopt;
  constexpr uint32_t kRegSz = 1, kRegExpandSz = 2, kRegMultiSz = 7;
  const bool isText = regType == kRegSz || regType == kRegExpandSz || regType == kRegMultiSz;
  return isText && wideText ? Utf16LeToUtf8(bytes) : bytes;
}

std::string RegistryFile::Serialize() const {
  std::string out;
  if (bom_) out += kBom;
  for (const Line& line : lines_) {
    out += line.text;
    out += eol_;
  }
  return out;
}

int RegistryFile::FindSection(std::string_view foldedKey) const {
  for (int i = static_cast<int>(foldedSections_.size()) - 1; i >= 0; --i) {
    if (foldedSections_[i] == foldedKey) return i;
  }
  return -1;
}

const RegistryFile::Value* RegistryFile::Find(std::string_view key, std::string_view name) const {
  const std::string foldedKey = Fold(NormalizeKey(key));
  const std::string foldedName = Fold(name);
  for (auto it = lines_.rbegin(); it != lines_.rend(); ++it) {
    if (it->kind == Line::Kind::kValue && it->foldedName == foldedName &&
        foldedSections_[it->section] == foldedKey) {
      return &it->value;
    }
  }
  return nullptr;
}

bool RegistryFile::HasKey(std::string_view key) const {
  const std::string foldedKey = Fold(NormalizeKey(key));
  for (const std::string& section : foldedSections_) {
    if (section.size() >= foldedKey.size() &&
        section.compare(0, foldedKey.size(), foldedKey) == 0 &&
        (section.size() == foldedKey.size() || section[foldedKey.size()] == '\\')) {
      return true;
    }
  }
  return false;
}

bool RegistryFile::Set(std::string_view key, std::string_view name, const Value& value) {
  key = NormalizeKey(key);
  if (key.empty() || key[0] == '-' || !IsStorableString(key) || !IsStorableString(name)) {
    return false;
  }
  if (value.type == Value::Type::kOther ||
      (value.type == Value::Type::kString && !IsStorableString(value.text))) {
    return false;
  }
  const std::string foldedKey = Fold(key);
  const std::string foldedName = Fold(name);

  // A file we write always starts with the header line, so that it can be imported.
  bool hasHeader = false;
  for (const Line& line : lines_) hasHeader = hasHeader || line.kind == Line::Kind::kHeader;
  if (!hasHeader) {
    Line header;
    header.kind = Line::Kind::kHeader;
    header.text = std::string(kHeader);
    Line blank;
    blank.kind = Line::Kind::kBlankOrComment;
    lines_.insert(lines_.begin(), {header, blank});
  }

  // Replace the last occurrence, with its continuation lines.
  for (size_t i = lines_.size(); i-- > 0;) {
    Line& line = lines_[i];
    if (line.kind == Line::Kind::kValue && line.foldedName == foldedName &&
        foldedSections_[line.section] == foldedKey) {
      line.value = value;
      line.text = FormatValueLine(line.name, value);
      size_t end = i + 1;
      while (end < lines_.size() && lines_[end].kind == Line::Kind::kContinuation) ++end;
      lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i + 1),
                   lines_.begin() + static_cast<std::ptrdiff_t>(end));
      return true;
    }
  }

  Line newLine;
  newLine.kind = Line::Kind::kValue;
  newLine.name = std::string(name);
  newLine.foldedName = foldedName;
  newLine.value = value;
  newLine.text = FormatValueLine(name, value);

  const int section = FindSection(foldedKey);
  if (section >= 0) {
    size_t at = 0;
    for (size_t i = 0; i < lines_.size(); ++i) {
      if (lines_[i].kind == Line::Kind::kSection && lines_[i].section == section) at = i;
    }
    size_t insertAt = at + 1;
    for (size_t j = at + 1; j < lines_.size() && lines_[j].kind != Line::Kind::kSection; ++j) {
      if (lines_[j].kind == Line::Kind::kValue || lines_[j].kind == Line::Kind::kContinuation) {
        insertAt = j + 1;
      }
    }
    newLine.section = section;
    if (ContinuesOnNextLine(lines_[insertAt - 1])) {
      // The opaque value before ends in a backslash: a blank line ends its continuation.
      Line blank;
      blank.kind = Line::Kind::kContinuation;
      lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAt++), std::move(blank));
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(newLine));
    return true;
  }

  if (!lines_.empty() && !Trim(lines_.back().text).empty()) {
    // (After an opaque value ending in a backslash, this blank line ends its continuation.)
    Line blank;
    blank.kind = ContinuesOnNextLine(lines_.back()) ? Line::Kind::kContinuation
                                                    : Line::Kind::kBlankOrComment;
    lines_.push_back(std::move(blank));
  }
  Line sectionLine;
  sectionLine.kind = Line::Kind::kSection;
  sectionLine.section = static_cast<int>(sections_.size());
  sectionLine.text = "[" + std::string(key) + "]";
  sections_.emplace_back(key);
  foldedSections_.push_back(foldedKey);
  newLine.section = sectionLine.section;
  lines_.push_back(std::move(sectionLine));
  lines_.push_back(std::move(newLine));
  return true;
}

bool RegistryFile::ContinuesOnNextLine(const Line& line) {
  if (line.kind != Line::Kind::kContinuation &&
      !(line.kind == Line::Kind::kValue && line.value.type == Value::Type::kOther)) {
    return false;
  }
  const std::string_view trimmed = Trim(line.text);
  return !trimmed.empty() && trimmed.back() == '\\';
}

size_t RegistryFile::UnparsedLineCount() const {
  size_t n = 0;
  for (const Line& line : lines_) n += line.kind == Line::Kind::kOther ? 1 : 0;
  return n;
}

}  // namespace tarsio
