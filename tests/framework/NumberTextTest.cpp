#include "framework/NumberText.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace tarsio {
namespace {

constexpr double kMax = std::numeric_limits<double>::max();

TEST(NumberTextTest, GrammarTable) {
  const struct {
    const char* text;
    double expected;
  } cases[] = {
      // The tuning defaults.
      {"-8.0", -8.0},
      {"0.075", 0.075},
      {"-0.00075", -0.00075},
      {"95.00", 95.0},
      {"8.00", 8.0},
      // White space, sign, partial fields, trailing text.
      {" \t\n\v\f\r+8.5dB", 8.5},
      {"12abc", 12.0},
      {".5", 0.5},
      {"5.", 5.0},
      {"-.25e1", -2.5},
      {"1e3", 1000.0},
      {"1E+3", 1000.0},
      {"1.5e-2", 0.015},
      {"1e", 1.0},
      {"1e+", 1.0},
      {"1e-x", 1.0},
      {"2.5.3", 2.5},
      {"1,5", 1.0},
      {"00000.000001e6", 1.0},
      {"0e999999999999999999999", 0.0},
      // No number at all.
      {"", 0.0},
      {"   ", 0.0},
      {".", 0.0},
      {"-", 0.0},
      {"+.e5", 0.0},
      {"e5", 0.0},
      {"abc", 0.0},
      {"- 1", 0.0},
      // Never hexadecimal, NaN or infinity.
      {"0x10", 0.0},
      {"0X1p3", 0.0},
      {"nan", 0.0},
      {"-NaN(123)", 0.0},
      {"inf", 0.0},
      {"-Infinity", 0.0},
      // Saturation instead of overflow.
      {"1e400", kMax},
      {"-1e400", -kMax},
      {"1.7976931348623159e308", kMax},
      {"99999999999999999999e999999999999999999999", kMax},
      {"1e-400", 0.0},
      {"0.0000000000000000000001e-999999999999", 0.0},
      {"4.9406564584124654e-324", std::numeric_limits<double>::denorm_min()},
      {"1.7976931348623157e308", kMax},
  };
  for (const auto& c : cases) {
    const double got = ParseNumberText(c.text);
    EXPECT_EQ(got, c.expected) << '"' << c.text << '"';
    EXPECT_FALSE(std::isnan(got)) << c.text;
    EXPECT_FALSE(std::isinf(got)) << c.text;
  }
  EXPECT_EQ(ParseNumberText(nullptr), 0.0);
  EXPECT_TRUE(std::signbit(ParseNumberText("-1e-400")));
  EXPECT_EQ(ParseNumberText(std::string(5000, '9').c_str()), kMax);
}

// Every text of the grammar converts exactly like strtod in the C locale.
TEST(NumberTextTest, MatchesCLocaleStrtodBitForBit) {
  std::mt19937 random(12345);
  const auto digits = [&random](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s.push_back(static_cast<char>('0' + random() % 10));
    return s;
  };
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    if (random() % 2) text += (random() % 2) ? "-" : "+";
    text += digits(static_cast<int>(random() % 20));
    if (random() % 2) text += "." + digits(static_cast<int>(random() % 25));
    if (random() % 2) {
      text += (random() % 2) ? "e" : "E";
      if (random() % 2) text += (random() % 2) ? "-" : "+";
      text += std::to_string(random() % 330);
    }
    const double expected = std::strtod(text.c_str(), nullptr);  // the test runs in the C locale
    if (std::isinf(expected)) continue;                          // saturation is checked above
    const double got = ParseNumberText(text.c_str());
    EXPECT_TRUE(std::memcmp(&got, &expected, sizeof got) == 0)
        << text << " got " << got << " strtod " << expected;
  }
}

TEST(NumberTextTest, IgnoresTheProcessLocale) {
  // Under a locale whose decimal separator is a comma, strtod would stop at the '.'.
  const char* locales[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "ru_RU.utf8"};
  bool commaLocale = false;
  for (const char* name : locales) {
    if (std::setlocale(LC_NUMERIC, name) != nullptr && std::localeconv()->decimal_point[0] == ',') {
      commaLocale = true;
      break;
    }
  }
  if (!commaLocale) GTEST_SKIP() << "no locale with a decimal comma is installed";
  const double threshold = ParseNumberText("-0.00075");
  const double comma = ParseNumberText("1,5");
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(threshold, -0.00075);
  EXPECT_EQ(comma, 1.0);
}

}  // namespace
}  // namespace tarsio
