// The registry back end of the settings store on Windows, against the real registry (Wine's
// under test): values written by the store are what the registry's own calls read, values other
// programs write (any type, strings without their zero) read back the way the store hands them on,
// and keys outside the current user's hive are refused. Each test works below a key of its own,
// deleted at the end.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/RegistryHive.h"

namespace tarsio {
namespace {

using Value = RegistryHive::Value;

class RegistryHiveTest : public ::testing::Test {
 protected:
  RegistryHiveTest()
      : subkey_(L"Software\\Tarsio tests\\" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                std::to_wstring(::GetTickCount())),
        key_("HKEY_CURRENT_USER\\" + std::string(subkey_.begin(), subkey_.end())) {}
  ~RegistryHiveTest() override {
    ::RegDeleteTreeW(HKEY_CURRENT_USER, subkey_.c_str());
    ::RegDeleteKeyW(HKEY_CURRENT_USER, subkey_.c_str());
  }

  // A value set with the registry's own call, as another program sets it.
  void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY h = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, subkey_.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                nullptr, &h, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(::RegSetValueExW(h, name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
    ::RegCloseKey(h);
  }
  // A value as the registry's own call reads it: its type and bytes.
  std::pair<DWORD, std::vector<BYTE>> GetRaw(const wchar_t* name) {
    DWORD type = 0;
    DWORD size = 0;
    if (::RegGetValueW(HKEY_CURRENT_USER, subkey_.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &type,
                       nullptr, &size) != ERROR_SUCCESS) {
      return {REG_NONE, {}};
    }
    std::vector<BYTE> data(size);
    ::RegGetValueW(HKEY_CURRENT_USER, subkey_.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &type,
                   data.data(), &size);
    data.resize(size);
    return {type, data};
  }

  const std::wstring subkey_;
  const std::string key_;
};

TEST_F(RegistryHiveTest, StoreValuesAreTheRegistrysValues) {
  EXPECT_FALSE(RegistryHive::KeyExists(key_));
  EXPECT_FALSE(RegistryHive::Read(key_, "Missing").has_value());
  EXPECT_TRUE(RegistryHive::CanWrite(key_ + "\\deeper\\still"));

  // "Año ✓" in UTF-8: UTF-16 in the registry, UTF-8 again when read.
  const std::string text = "A\xC3\xB1o \xE2\x9C\x93";
  ASSERT_TRUE(RegistryHive::Write(key_, "Text", Value::String(text)));
  ASSERT_TRUE(RegistryHive::Write(key_ + "\\", "Number", Value::Dword(0xFFFFFFFEu)));
  EXPECT_TRUE(RegistryHive::KeyExists(key_));
  const auto [textType, textBytes] = GetRaw(L"Text");
  EXPECT_EQ(textType, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(textBytes.data())), L"A\u00F1o \u2713");
  EXPECT_EQ(textBytes.size(), 6 * sizeof(wchar_t)) << "five characters and the zero";
  const auto [numberType, numberBytes] = GetRaw(L"Number");
  EXPECT_EQ(numberType, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(numberBytes, (std::vector<BYTE>{0xFE, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(RegistryHive::Read(key_, "Text"), Value::String(text));
  // The root's short name and the case of the root do not matter; other roots are refused.
  std::string shortKey = key_;
  shortKey.replace(0, std::string("HKEY_CURRENT_USER").size(), "hkcu");
  EXPECT_EQ(RegistryHive::Read(shortKey, "Number"), Value::Dword(0xFFFFFFFEu));
  EXPECT_FALSE(
      RegistryHive::Write("HKEY_LOCAL_MACHINE\\Software\\Tarsio tests", "X", Value::Dword(1)));
  EXPECT_FALSE(RegistryHive::Read("HKEY_CURRENT_USERX\\Software", "X").has_value());
  EXPECT_FALSE(RegistryHive::CanWrite("HKEY_USERS\\.DEFAULT"));
  // A text that is not UTF-8 is refused, not stored garbled.
  EXPECT_FALSE(RegistryHive::Write(key_, "Bad", Value::String("\xC3(")));
  EXPECT_EQ(GetRaw(L"Bad").first, static_cast<DWORD>(REG_NONE));
}

TEST_F(RegistryHiveTest, OtherProgramsValuesReadAsTheyAreStored) {
  // A string stored without its terminating zero reads whole; one with text after a zero reads
  // up to the zero, as the registry's narrow query hands it to a caller.
  SetRaw(L"NoZero", REG_SZ, L"true", 4 * sizeof(wchar_t));
  SetRaw(L"Embedded", REG_SZ, L"on\0off", 7 * sizeof(wchar_t));
  EXPECT_EQ(RegistryHive::Read(key_, "NoZero"), Value::String("true"));
  EXPECT_EQ(RegistryHive::Read(key_, "Embedded"), Value::String("on"));
  // Other types keep their type and bytes; the store's query bytes convert the string types.
  const BYTE blob[] = {1, 2, 0, 255};
  SetRaw(L"Blob", REG_BINARY, blob, sizeof blob);
  SetRaw(L"Expand", REG_EXPAND_SZ, L"%TEMP%", 7 * sizeof(wchar_t));
  const std::optional<Value> b = RegistryHive::Read(key_, "Blob");
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(b->type, Value::Type::kOther);
  EXPECT_EQ(b->regType, static_cast<uint32_t>(REG_BINARY));
  EXPECT_EQ(b->QueryBytes(), std::string("\x01\x02\x00\xFF", 4));
  const std::optional<Value> e = RegistryHive::Read(key_, "Expand");
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->QueryBytes(), std::string("%TEMP%\0", 7));
  // A DWORD of the wrong size is another type's bytes, not a number.
  SetRaw(L"Short", REG_DWORD, blob, 2);
  EXPECT_EQ(RegistryHive::Read(key_, "Short")->type, Value::Type::kOther);
  // And such a value goes back into the registry unchanged.
  ASSERT_TRUE(RegistryHive::Write(key_, "BlobCopy", *b));
  EXPECT_EQ(GetRaw(L"BlobCopy"), GetRaw(L"Blob"));
}

TEST_F(RegistryHiveTest, ConcurrentWritersNeverTearAValue) {
  const std::string a(300, 'a');
  const std::string b(40, 'b');
  ASSERT_TRUE(RegistryHive::Write(key_, "V", Value::String(a)));
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (const std::string* text : {&a, &b}) {
    writers.emplace_back([&, text] {
      while (!stop.load()) RegistryHive::Write(key_, "V", Value::String(*text));
    });
  }
  int torn = 0;
  for (int i = 0; i < 2000; ++i) {
    const std::optional<Value> v = RegistryHive::Read(key_, "V");
    if (!v || (v->text != a && v->text != b)) ++torn;
  }
  stop = true;
  for (std::thread& t : writers) t.join();
  EXPECT_EQ(torn, 0);
}

}  // namespace
}  // namespace tarsio
