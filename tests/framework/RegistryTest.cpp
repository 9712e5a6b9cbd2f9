#include "framework/Registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "framework/TracedObject.h"
#include "platform/RegistryStore.h"
#include "support/TempRegistry.h"

namespace tarsio {
namespace {

constexpr const char* kTermKey = "Software\\Almagre\\OrbeMediaTerm\\1.0";

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(RegistryTest, MissingValuesAreWrittenBackWithTheirDefaults) {
  testing::TempRegistry registry;
  EXPECT_TRUE(RegGetBool(HKEY_CURRENT_USER, kTermKey, "UseDynamicJitterBuffer", true));
  EXPECT_FALSE(RegGetBool(HKEY_CURRENT_USER, kTermKey, "ForceVADOff", false));
  EXPECT_EQ(RegGetDWORD(HKEY_CURRENT_USER, kTermKey, "TransmitTOS", 184), 184u);
  EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, kTermKey, "LimiterThreshold", "-8.0"), "-8.0");
  EXPECT_EQ(registry.FileText(),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_CURRENT_USER\\Software\\Almagre\\OrbeMediaTerm\\1.0]\n"
            "\"UseDynamicJitterBuffer\"=\"true\"\n"
            "\"ForceVADOff\"=\"false\"\n"
            "\"TransmitTOS\"=dword:000000b8\n"
            "\"LimiterThreshold\"=\"-8.0\"\n");
  // Stored values win over the defaults from now on.
  EXPECT_TRUE(RegGetBool(HKEY_CURRENT_USER, kTermKey, "UseDynamicJitterBuffer", false));
  EXPECT_EQ(RegGetDWORD(HKEY_CURRENT_USER, kTermKey, "TransmitTOS", 0), 184u);
  EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, kTermKey, "LimiterThreshold", "1"), "-8.0");
}

TEST(RegistryTest, BooleanTextIsTrueOnlyForTheWordTrueInAnyCase) {
  testing::TempRegistry registry;
  const struct {
    const char* stored;
    bool expected;
  } cases[] = {{"true", true},   {"TRUE", true},   {"True", true}, {"tRuE", true},
               {"yes", false},   {"1", false},     {"", false},    {"true ", false},
               {"truee", false}, {"false", false}, {"on", false}};
  for (const auto& c : cases) {
    ASSERT_EQ(RegSetString(HKEY_CURRENT_USER, kTermKey, "Flag", c.stored), 0);
    EXPECT_EQ(RegGetBool(HKEY_CURRENT_USER, kTermKey, "Flag", !c.expected), c.expected) << c.stored;
    // A present value is never rewritten by a read.
    EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, kTermKey, "Flag", "x"), c.stored);
  }
}

TEST(RegistryTest, ReadsThatDoNotFitTheBufferOrTypeWriteTheDefault) {
  testing::TempRegistry registry;
  // 999 characters and the terminating zero fill the 1000-byte buffer exactly.
  const std::string fits(999, 'a');
  const std::string tooLong(1000, 'a');
  ASSERT_EQ(RegSetString(HKEY_CURRENT_USER, kTermKey, "Text", fits.c_str()), 0);
  EXPECT_FALSE(RegGetBool(HKEY_CURRENT_USER, kTermKey, "Text", true));
  EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, kTermKey, "Text", "d"), fits);

  ASSERT_EQ(RegSetString(HKEY_CURRENT_USER, kTermKey, "Text", tooLong.c_str()), 0);
  EXPECT_TRUE(RegGetBool(HKEY_CURRENT_USER, kTermKey, "Text", true));
  EXPECT_TRUE(Contains(registry.FileText(), "\"Text\"=\"true\"\n"));
  ASSERT_EQ(RegSetString(HKEY_CURRENT_USER, kTermKey, "Text", tooLong.c_str()), 0);
  EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, kTermKey, "Text", "d"), "d");
  EXPECT_TRUE(Contains(registry.FileText(), "\"Text\"=\"d\"\n"));

  // A value of the other type is a failed read as well.
  ASSERT_EQ(RegSetDWORD(HKEY_CURRENT_USER, kTermKey, "Mixed", 1), 1);
  EXPECT_FALSE(RegGetBool(HKEY_CURRENT_USER, kTermKey, "Mixed", false));
  EXPECT_TRUE(Contains(registry.FileText(), "\"Mixed\"=\"false\"\n"));
  EXPECT_EQ(RegGetDWORD(HKEY_CURRENT_USER, kTermKey, "Mixed", 7), 7u);
  EXPECT_TRUE(Contains(registry.FileText(), "\"Mixed\"=dword:00000007\n"));
}

TEST(RegistryTest, NamesOf1024CharactersCannotOpenTheKey) {
  testing::TempRegistry registry;
  const std::string longest(1023, 'k');
  const std::string tooLong(1024, 'k');
  EXPECT_EQ(RegSetDWORD(HKEY_CURRENT_USER, longest.c_str(), longest.c_str(), 3), 3);
  EXPECT_EQ(RegGetDWORD(HKEY_CURRENT_USER, longest.c_str(), longest.c_str(), 9), 3u);

  for (const auto& [key, name] : {std::pair{tooLong, std::string("v")}, {kTermKey, tooLong}}) {
    EXPECT_EQ(RegGetDWORD(HKEY_CURRENT_USER, key.c_str(), name.c_str(), 5), 0u);
    EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, key.c_str(), name.c_str(), "d"), "");
    EXPECT_FALSE(RegGetBool(HKEY_CURRENT_USER, key.c_str(), name.c_str(), true));
    EXPECT_EQ(RegSetDWORD(HKEY_CURRENT_USER, key.c_str(), name.c_str(), 5), -10);
    EXPECT_EQ(RegSetString(HKEY_CURRENT_USER, key.c_str(), name.c_str(), "x"), -10);
  }
  EXPECT_FALSE(Contains(registry.FileText(), tooLong));
}

TEST(RegistryTest, ResultsAndFailureValuesOfTheSetFunctions) {
  testing::TempRegistry registry;
  EXPECT_EQ(RegSetDWORD(HKEY_CURRENT_USER, kTermKey, "Big", 0xFFFFFFF6u), -10);  // the value
  EXPECT_EQ(RegGetDWORD(HKEY_CURRENT_USER, kTermKey, "Big", 0), 0xFFFFFFF6u);
  EXPECT_EQ(RegSetString(HKEY_CURRENT_USER, kTermKey, "Addr", "127.0.0.1"), 0);
  EXPECT_EQ(RegSetString(HKEY_CURRENT_USER, kTermKey, "Bad", "two\nlines"), -20);
  // Key and value names ignore letter case.
  EXPECT_EQ(RegSetDWORD(HKEY_CURRENT_USER, "SOFTWARE\\almagre\\OrbeMediaTerm\\1.0", "big", 4), 4);
  EXPECT_EQ(RegGetDWORD(HKEY_CURRENT_USER, kTermKey, "BIG", 0), 4u);
  ASSERT_TRUE(RegistryStore::Instance().Flush());

  // The lock file is a directory: the store cannot be written. Existing keys still open, so
  // stored values read and writes fail with -20; a missing key cannot be created (-10).
  const std::string lock = registry.Path() + ".lock";
  ASSERT_EQ(::unlink(lock.c_str()), 0);
  ASSERT_EQ(::mkdir(lock.c_str(), 0755), 0);
  EXPECT_EQ(RegGetDWORD(HKEY_CURRENT_USER, kTermKey, "Big", 0), 4u);
  EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, kTermKey, "Addr", ""), "127.0.0.1");
  EXPECT_EQ(RegSetDWORD(HKEY_CURRENT_USER, kTermKey, "Big", 5), -20);
  EXPECT_EQ(RegSetString(HKEY_CURRENT_USER, kTermKey, "Addr", "x"), -20);
  EXPECT_EQ(RegGetDWORD(HKEY_CURRENT_USER, kTermKey, "Missing", 5), 0u);
  EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, kTermKey, "Missing", "d"), "");
  EXPECT_FALSE(RegGetBool(HKEY_CURRENT_USER, kTermKey, "Missing", true));
  EXPECT_EQ(RegSetDWORD(HKEY_CURRENT_USER, "Software\\New", "v", 5), -10);
  EXPECT_EQ(RegGetDWORD(HKEY_CURRENT_USER, "Software\\New", "v", 5), 0u);
  ASSERT_EQ(::rmdir(lock.c_str()), 0);
  EXPECT_EQ(RegSetDWORD(HKEY_CURRENT_USER, kTermKey, "Big", 5), 5);
}

TEST(RegistryTest, ValueWrittenByAnotherProcessIsSeen) {
  testing::TempRegistry registry;
  EXPECT_EQ(RegGetDWORD(HKEY_CURRENT_USER, kTermKey, "RTPReceiveCodec", 0), 0u);
  ASSERT_TRUE(RegistryStore::Instance().Flush());
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int32_t rc = RegSetDWORD(HKEY_CURRENT_USER, kTermKey, "RTPReceiveCodec", 8);
    std::exit(rc == 8 ? 0 : 1);  // the exit path flushes
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(RegGetDWORD(HKEY_CURRENT_USER, kTermKey, "RTPReceiveCodec", 0), 8u);
}

class TracedComponent : public TracedObject {
 public:
  explicit TracedComponent(const char* value) : value_(value) { ReadTraceLevel(); }
  int32_t ReadTraceLevel() override { return ReadTraceLevelFor(value_); }

 private:
  const char* value_;
};

TEST(RegistryTest, TraceLevelsComeFromTheTracingKey) {
  testing::TempRegistry registry;
  TracedComponent vad("VAD");
  EXPECT_EQ(vad.GetTracer().Level(), 0x100000u);
  EXPECT_EQ(registry.FileText(),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_CURRENT_USER\\Software\\Almagre\\Vela\\Tracing]\n"
            "\"AllComponents\"=dword:00000000\n"
            "\"VAD\"=dword:00100000\n");

  ASSERT_EQ(RegSetDWORD(HKEY_CURRENT_USER, kTracingKey, "VAD", 0x10000), 0x10000);
  EXPECT_EQ(vad.ReadTraceLevel(), 0);
  EXPECT_EQ(vad.GetTracer().Level(), 0x10000u);

  ASSERT_EQ(RegSetDWORD(HKEY_CURRENT_USER, kTracingKey, "AllComponents", 0x30000), 0x30000);
  TracedComponent limiter("Limiter");
  vad.ReadTraceLevel();
  EXPECT_EQ(limiter.GetTracer().Level(), 0x30000u);
  EXPECT_EQ(vad.GetTracer().Level(), 0x30000u);
  // With "AllComponents" set, a component's own value is not consulted (nor created).
  EXPECT_FALSE(Contains(registry.FileText(), "Limiter"));
}

}  // namespace
}  // namespace tarsio
