// What the framework gives the host and reads from it: host-log entries, the number text of
// tuning values and the typed settings functions.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <clocale>
#include <cmath>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "framework/HostLogWriter.h"
#include "framework/NumberText.h"
#include "framework/Registry.h"
#include "platform/RegistryStore.h"
#include "support/RecordingHostLog.h"
#include "support/TempRegistry.h"

namespace tarsio {
namespace {

using testing::RecordingHostLog;
using testing::ScopedHostLog;
using Texts = std::vector<std::string>;

TEST(HostLogWriter, TheThreeEntryShapesAndANullLog) {
  RecordingHostLog log;
  {
    ScopedHostLog useLog(&log);
    HostLogWriter::Plain("AudioSink::StartSink (1)");
    HostLogWriter::WithNumber("COrbeMediaTerm::StartTX (2), result=", INT64_MIN);
    HostLogWriter::Entry report;
    report.Write("bytes sent = ");
    report.WriteNumber(-123);
    report.MarkEntry();
    report.EndLine();
  }
  EXPECT_EQ((Texts{"Lock", "Write:AudioSink::StartSink (1)", "EndLine", "Unlock", "Lock",
                   "Write:COrbeMediaTerm::StartTX (2), result=", "Write:-9223372036854775808",
                   "MarkEntry", "EndLine", "Unlock", "Lock", "Write:bytes sent = ", "Write:-123",
                   "MarkEntry", "EndLine", "Unlock"}),
            log.Calls());

  // A log cleared in the middle of an entry drops the rest of that entry, even if a log comes
  // back before it ends; the log it locked is unlocked all the same.
  log.Clear();
  {
    ScopedHostLog none(nullptr);
    HostLogWriter::SetCurrent(&log);
    HostLogWriter::Entry entry;
    entry.Write("a");
    HostLogWriter::SetCurrent(nullptr);
    entry.Write("b");
    HostLogWriter::SetCurrent(&log);
    entry.EndLine();
  }
  EXPECT_EQ((Texts{"Lock", "Write:a", "Unlock"}), log.Calls());

  // A host that swaps logs mid-entry: the first is unlocked, the second sees nothing of it.
  log.Clear();
  RecordingHostLog other;
  {
    ScopedHostLog none(nullptr);
    HostLogWriter::SetCurrent(&log);
    HostLogWriter::Entry entry;
    entry.Write("a");
    HostLogWriter::SetCurrent(&other);
    entry.Write("b");
    entry.EndLine();
  }
  EXPECT_EQ((Texts{"Lock", "Write:a", "Unlock"}), log.Calls());
  EXPECT_TRUE(other.Calls().empty());
}

TEST(NumberText, GrammarTable) {
  constexpr double kMax = std::numeric_limits<double>::max();
  // Leading white space, sign, digits, fraction, exponent; conversion stops at the first
  // character that does not fit. Out-of-range values saturate.
  // clang-format off
  const std::pair<const char*, double> numbers[] = {
      {"-0.00075", -0.00075}, {" \t\n\v\f\r+8.5dB", 8.5}, {".5", 0.5}, {"5.", 5.0},
      {"-.25e1", -2.5}, {"1E+3", 1000.0}, {"1.5e-2", 0.015}, {"1e", 1.0}, {"1e-x", 1.0},
      {"2.5.3", 2.5}, {"1,5", 1.0}, {"00000.000001e6", 1.0}, {"1e400", kMax}, {"-1e400", -kMax},
      {"1.7976931348623159e308", kMax}, {"99999999999999999999e999999999999999999999", kMax},
      {"4.9406564584124654e-324", std::numeric_limits<double>::denorm_min()}};
  // clang-format on
  for (const auto& [text, expected] : numbers) EXPECT_EQ(ParseNumberText(text), expected) << text;
  // No number at all, hexadecimal, NaN, infinity and underflow give 0.0.
  for (const char* text : {"", "   ", ".", "-", "+.e5", "e5", "- 1", "0x10", "0X1p3", "nan",
                           "-NaN(123)", "inf", "-Infinity", "1e-400", "0e999999999999999999"}) {
    EXPECT_EQ(ParseNumberText(text), 0.0) << text;
  }
  EXPECT_EQ(ParseNumberText(nullptr), 0.0);
  EXPECT_TRUE(std::signbit(ParseNumberText("-1e-400")));
  EXPECT_EQ(ParseNumberText(std::string(5000, '9').c_str()), kMax);
}

TEST(NumberText, IgnoresTheProcessLocale) {
  // Under a locale whose decimal separator is a comma, strtod would stop at the '.'.
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) GTEST_SKIP() << "de_DE.UTF-8 is not installed";
  const double threshold = ParseNumberText("-0.00075"), comma = ParseNumberText("1,5");
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(threshold, -0.00075);
  EXPECT_EQ(comma, 1.0);
}

TEST(Registry, DefaultsWrittenBackBooleansAndFailureValues) {
  testing::TempRegistry registry;
  constexpr const char* kKey = "Software\\Almagre\\OrbeMediaTerm\\1.0";
  const auto hkcu = RegistryRoot::kCurrentUser;

  // Missing values are written back with their defaults; stored values win from then on (key and
  // value names ignore letter case).
  EXPECT_TRUE(RegGetBool(hkcu, kKey, "UseDynamicJitterBuffer", true));
  EXPECT_FALSE(RegGetBool(hkcu, kKey, "ForceVADOff", false));
  EXPECT_EQ(RegGetDWORD(hkcu, kKey, "TransmitTOS", 184), 184u);
  EXPECT_EQ(RegGetString(hkcu, kKey, "LimiterThreshold", "-8.0"), "-8.0");
  EXPECT_EQ(registry.FileText(),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_CURRENT_USER\\Software\\Almagre\\OrbeMediaTerm\\1.0]\n"
            "\"UseDynamicJitterBuffer\"=\"true\"\n\"ForceVADOff\"=\"false\"\n"
            "\"TransmitTOS\"=dword:000000b8\n\"LimiterThreshold\"=\"-8.0\"\n");
  EXPECT_EQ(RegGetDWORD(hkcu, "SOFTWARE\\almagre\\OrbeMediaTerm\\1.0", "transmittos", 0), 184u);

  // "true" in any case and nothing else is true; a present value is never rewritten by a read.
  // clang-format off
  const std::pair<const char*, bool> flags[] = {{"TRUE", true}, {"tRuE", true}, {"yes", false},
      {"1", false}, {"", false}, {"true ", false}, {"truee", false}};
  // clang-format on
  for (const auto& [stored, expected] : flags) {
    ASSERT_EQ(RegSetString(hkcu, kKey, "Flag", stored), 0);
    EXPECT_EQ(RegGetBool(hkcu, kKey, "Flag", !expected), expected) << stored;
    EXPECT_EQ(RegGetString(hkcu, kKey, "Flag", "x"), stored);
  }

  // A text that does not fit the 1000-byte read buffer (999 characters do) is a failed read: the
  // default is written over it. (Values of other types are read: see the next test.)
  ASSERT_EQ(RegSetString(hkcu, kKey, "Text", std::string(1000, 'a').c_str()), 0);
  EXPECT_EQ(RegGetString(hkcu, kKey, "Text", "d"), "d");
  EXPECT_NE(registry.FileText().find("\"Text\"=\"d\"\n"), std::string::npos);

  // Set results: the value written (which may look like an error code), -20 for an unstorable
  // text.
  EXPECT_EQ(RegSetDWORD(hkcu, kKey, "Big", 0xFFFFFFF6u), -10);
  EXPECT_EQ(RegSetString(hkcu, kKey, "Bad", "two\nlines"), -20);

  // Names of 1023 characters work; of 1024 they cannot open the key: false, "" or 0, and -10.
  const std::string longest(1023, 'k'), tooLong(1024, 'k');
  EXPECT_EQ(RegSetString(hkcu, longest.c_str(), longest.c_str(), std::string(999, 'a').c_str()), 0);
  EXPECT_EQ(RegGetString(hkcu, longest.c_str(), longest.c_str(), "d"), std::string(999, 'a'));
  for (const auto& [key, name] : {std::pair{tooLong, std::string("v")}, {kKey, tooLong}}) {
    EXPECT_EQ(RegGetDWORD(hkcu, key.c_str(), name.c_str(), 5), 0u);
    EXPECT_EQ(RegGetString(hkcu, key.c_str(), name.c_str(), "d"), "");
    EXPECT_FALSE(RegGetBool(hkcu, key.c_str(), name.c_str(), true));
    EXPECT_EQ(RegSetString(hkcu, key.c_str(), name.c_str(), "x"), -10);
  }
  EXPECT_EQ(registry.FileText().find(tooLong), std::string::npos);

  // A store that cannot be written (its lock file is a directory): stored values still read,
  // writes fail with -20 (-10 for a new key) and a default that cannot be written back gives
  // false, "" or 0.
  ASSERT_TRUE(RegistryStore::Instance().Flush());
  const std::string lock = registry.Path() + ".lock";
  ASSERT_EQ(::unlink(lock.c_str()), 0);
  ASSERT_EQ(::mkdir(lock.c_str(), 0755), 0);
  EXPECT_EQ(RegGetDWORD(hkcu, kKey, "Big", 0), 0xFFFFFFF6u);
  EXPECT_EQ(RegSetString(hkcu, kKey, "Flag", "x"), -20);
  EXPECT_EQ(RegGetDWORD(hkcu, kKey, "Missing", 5), 0u);
  EXPECT_EQ(RegGetString(hkcu, kKey, "Missing", "d"), "");
  EXPECT_EQ(RegSetDWORD(hkcu, "Software\\New", "v", 5), -10);
  ASSERT_EQ(::rmdir(lock.c_str()), 0);
  EXPECT_EQ(RegSetDWORD(hkcu, kKey, "Big", 5), 5);
}

// Every value form of a registry export is read as the registry hands its bytes to the reader,
// and a value that exists is never replaced by a default.
TEST(Registry, ValuesInEveryExportFormAreReadAndKeptAsStored) {
  testing::TempRegistry registry;
  constexpr const char* kKey = "Software\\Almagre\\OrbeMediaTerm\\1.0";
  const auto hkcu = RegistryRoot::kCurrentUser;
  const std::string section = "[HKEY_CURRENT_USER\\" + std::string(kKey) + "]\n";
  const std::string values =
      "\"Sz\"=hex(1):74,00,72,00,75,00,65,00,00,00\n"                       // "true" in UTF-16LE
      "\"Expand\"=hex(2):54,00,52,00,75,00,45,00,00,00\n"                   // "TRuE"
      "\"Multi\"=hex(7):2d,00,38,00,2e,00,35,00,00,00,78,00,00,00,00,00\n"  // "-8.5", "x"
      "\"Binary\"=hex:74,72,75,65,00\n"
      "\"None\"=hex(0):31,32\n"
      "\"Qword\"=hex(b):02,00,00,00,00,00,00,00\n"
      "\"DwordType\"=hex(4):02,00,00,00\n"
      "\"Continued\"=hex:03,\\\n  01,\\\n  00,00\n"
      "\"DwordText\"=dword:65757274\n"  // the bytes of "true"
      "\"Text\"=\"ab\"\n"
      "\"Unicode\"=hex(1):e9,00,3d,d8,00,de,00,00\n"  // U+00E9 and U+1F600
      "\"Deleted\"=-\n"
      "\"Bad\"=hex:0g\n";
  std::ofstream(registry.Path(), std::ios::binary)
      << "Windows Registry Editor Version 5.00\n\n" + section + values;

  // Text readers: the bytes up to the first zero.
  EXPECT_TRUE(RegGetBool(hkcu, kKey, "Sz", false));
  EXPECT_TRUE(RegGetBool(hkcu, kKey, "Expand", false));
  EXPECT_EQ(RegGetString(hkcu, kKey, "Multi", "d"), "-8.5");
  EXPECT_TRUE(RegGetBool(hkcu, kKey, "Binary", false));
  EXPECT_EQ(RegGetString(hkcu, kKey, "None", "d"), "12");
  EXPECT_EQ(RegGetString(hkcu, kKey, "Qword", "d"), "\x02");
  EXPECT_TRUE(RegGetBool(hkcu, kKey, "DwordText", false));
  EXPECT_EQ(RegGetString(hkcu, kKey, "Unicode", "d"), "\xC3\xA9\xF0\x9F\x98\x80");
  // The DWORD reader: up to four bytes of any type, little-endian; a longer value is not read
  // and its default used, but it stays.
  EXPECT_EQ(RegGetDWORD(hkcu, kKey, "DwordType", 7), 2u);
  EXPECT_EQ(RegGetDWORD(hkcu, kKey, "Continued", 7), 1u * 256 + 3);
  EXPECT_EQ(RegGetDWORD(hkcu, kKey, "Text", 7), 0x6261u);  // 'a', 'b', 0
  EXPECT_EQ(RegGetDWORD(hkcu, kKey, "None", 7), 0x3231u);
  EXPECT_EQ(RegGetDWORD(hkcu, kKey, "DwordText", 7), 0x65757274u);
  EXPECT_EQ(RegGetDWORD(hkcu, kKey, "Qword", 7), 7u);
  EXPECT_EQ(RegGetDWORD(hkcu, kKey, "Sz", 7), 7u);
  // A deletion line and hex data that cannot be imported are no values: their defaults are
  // written over them. Nothing else changed.
  EXPECT_EQ(RegGetDWORD(hkcu, kKey, "Deleted", 7), 7u);
  EXPECT_EQ(RegGetString(hkcu, kKey, "Bad", "d"), "d");
  std::string expected = values;
  auto replace = [&expected](const std::string& from, const std::string& to) {
    expected.replace(expected.find(from), from.size(), to);
  };
  replace("\"Deleted\"=-", "\"Deleted\"=dword:00000007");
  replace("\"Bad\"=hex:0g", "\"Bad\"=\"d\"");
  EXPECT_EQ(registry.FileText(), "Windows Registry Editor Version 5.00\n\n" + section + expected);

  // A REGEDIT4 export holds its string types as 8-bit text; a hex text longer than the read
  // buffer is a failed read like a long text, and the default replaces it.
  std::string longHex = "\"Long\"=hex:";
  for (int i = 0; i < 1000; ++i) longHex += "41,";
  longHex += "00\n";
  std::ofstream(registry.Path(), std::ios::binary)
      << "REGEDIT4\n\n" + section + "\"Sz\"=hex(2):74,72,75,65,00\n" + longHex;
  RegistryStore::Instance().ReloadPathFromEnvironment();
  EXPECT_TRUE(RegGetBool(hkcu, kKey, "Sz", false));
  EXPECT_EQ(RegGetString(hkcu, kKey, "Long", "d"), "d");
  EXPECT_EQ(registry.FileText(),
            "REGEDIT4\n\n" + section + "\"Sz\"=hex(2):74,72,75,65,00\n\"Long\"=\"d\"\n");
}

}  // namespace
}  // namespace tarsio
