#include "platform/win32/RegistryHive.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN 1
#endif
#ifndef NOMINMAX
#define NOMINMAX 1
#endif
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace tarsio {

namespace {

// Whether text starts with prefix, ASCII letters compared without regard to case.
bool StartsWithFolded(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    const auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
    if (fold(text[i]) != fold(prefix[i])) return false;
  }
  return true;
}

// The subkey below HKEY_CURRENT_USER of a full key path, or nothing for another root.
std::optional<std::string_view> CurrentUserSubkey(std::string_view key) {
  while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  for (std::string_view root : {std::string_view("HKEY_CURRENT_USER"), std::string_view("HKCU")}) {
    if (!StartsWithFolded(key, root)) continue;
    const std::string_view rest = key.substr(root.size());
    if (rest.empty()) return rest;
    if (rest.front() == '\\') return rest.substr(1);
  }
  return std::nullopt;
}

// UTF-8 to UTF-16; nothing when the text is not valid UTF-8 or holds a zero (the registry's calls
// take names and texts as zero-terminated strings, so the rest would be lost unseen).
std::optional<std::wstring> Widen(std::string_view text) {
  if (text.empty()) return std::wstring();
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                      static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return std::nullopt;
  std::wstring wide(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                        wide.data(), n);
  return wide;
}

// UTF-16 to UTF-8; nothing when the text does not convert.
std::optional<std::string> Narrow(std::wstring_view wide) {
  if (wide.empty()) return std::string();
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::nullopt;
  std::string text(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n,
                        nullptr, nullptr);
  return text;
}

// An open key, closed when it goes out of scope.
class Key {
 public:
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (handle != nullptr) ::RegCloseKey(handle);
  }
  HKEY handle = nullptr;
};

bool Open(std::string_view key, REGSAM access, Key* out) {
  const std::optional<std::string_view> subkey = CurrentUserSubkey(key);
  if (!subkey) return false;
  const std::optional<std::wstring> wide = Widen(*subkey);
  if (!wide) return false;
  return ::RegOpenKeyExW(HKEY_CURRENT_USER, wide->c_str(), 0, access, &out->handle) ==
         ERROR_SUCCESS;
}

}  // namespace

std::optional<RegistryHive::Value> RegistryHive::Read(std::string_view key, std::string_view name) {
  Key k;
  if (!Open(key, KEY_QUERY_VALUE, &k)) return std::nullopt;
  const std::optional<std::wstring> wideName = Widen(name);
  if (!wideName) return std::nullopt;
  // The size can grow between the two queries (another process writes): ask again then.
  std::vector<BYTE> data;
  DWORD type = 0;
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD size = static_cast<DWORD>(data.size());
    const LONG rc = ::RegQueryValueExW(k.handle, wideName->c_str(), nullptr, &type,
                                       data.empty() ? nullptr : data.data(), &size);
    if (rc == ERROR_SUCCESS && (!data.empty() || size == 0)) {
      data.resize(size);
      break;
    }
    if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA) return std::nullopt;
    data.resize(size + sizeof(wchar_t));
    if (attempt == 3) return std::nullopt;
  }
  if (type == REG_DWORD && data.size() == sizeof(DWORD)) {
    DWORD v = 0;
    std::memcpy(&v, data.data(), sizeof v);
    return Value::Dword(v);
  }
  if (type == REG_SZ) {
    std::wstring wide(data.size() / sizeof(wchar_t), L'\0');
    std::memcpy(wide.data(), data.data(), wide.size() * sizeof(wchar_t));
    // The stored text ends at its first zero (a value written without one still reads whole).
    const size_t end = wide.find(L'\0');
    if (end != std::wstring::npos) wide.resize(end);
    const std::optional<std::string> text = Narrow(wide);
    if (!text) return std::nullopt;
    return Value::String(*text);
  }
  Value other;
  other.type = Value::Type::kOther;
  other.regType = type;
  other.bytes.assign(reinterpret_cast<const char*>(data.data()), data.size());
  other.decoded = true;
  other.wideText = true;
  return other;
}

bool RegistryHive::KeyExists(std::string_view key) {
  Key k;
  return Open(key, KEY_READ, &k);
}

bool RegistryHive::Write(std::string_view key, std::string_view name, const Value& value) {
  const std::optional<std::string_view> subkey = CurrentUserSubkey(key);
  if (!subkey) return false;
  const std::optional<std::wstring> wideKey = Widen(*subkey);
  const std::optional<std::wstring> wideName = Widen(name);
  if (!wideKey || !wideName) return false;
  DWORD type = REG_SZ;
  std::vector<BYTE> data;
  switch (value.type) {
    case Value::Type::kString: {
      const std::optional<std::wstring> text = Widen(value.text);
      if (!text) return false;
      const size_t bytes = (text->size() + 1) * sizeof(wchar_t);  // with its terminating zero
      data.resize(bytes);
      std::memcpy(data.data(), text->c_str(), bytes);
      break;
    }
    case Value::Type::kDword:
      type = REG_DWORD;
      data.resize(sizeof(DWORD));
      std::memcpy(data.data(), &value.dword, sizeof(DWORD));
      break;
    case Value::Type::kOther:
      if (!value.decoded) return false;
      type = value.regType;
      data.assign(value.bytes.begin(), value.bytes.end());
      break;
  }
  Key k;
  if (::RegCreateKeyExW(HKEY_CURRENT_USER, wideKey->c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, &k.handle, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  return ::RegSetValueExW(k.handle, wideName->c_str(), 0, type, data.data(),
                          static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
}

bool RegistryHive::CanWrite(std::string_view key) {
  std::optional<std::string_view> subkey = CurrentUserSubkey(key);
  if (!subkey) return false;
  // The nearest part of the path that exists decides: a key can be made below it if it opens
  // for making subkeys (or, for the key itself, for setting values).
  std::string_view path = *subkey;
  for (;;) {
    const std::optional<std::wstring> wide = Widen(path);
    if (!wide) return false;
    Key k;
    const REGSAM access = path.size() == subkey->size() ? KEY_SET_VALUE : KEY_CREATE_SUB_KEY;
    const LONG rc = ::RegOpenKeyExW(HKEY_CURRENT_USER, wide->c_str(), 0, access, &k.handle);
    if (rc == ERROR_SUCCESS) return true;
    if (rc != ERROR_FILE_NOT_FOUND) return false;
    const size_t cut = path.rfind('\\');
    if (cut == std::string_view::npos) {
      if (path.empty()) return false;
      path = std::string_view();
    } else {
      path = path.substr(0, cut);
    }
  }
}

}  // namespace tarsio
