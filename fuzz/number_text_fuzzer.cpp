// Feeds arbitrary text to the number reader of the tuning values (framework/NumberText) and
// compares it with the C library's strtod on the part of the text the grammar takes.
//
// Checks: the value is always finite; the scan takes a prefix of the text, and that prefix alone
// gives the same value; a number in range equals strtod's (both round correctly); one out of range
// saturates at the largest double or 0; text accepted as a whole number is exactly one scan with
// nothing left over.
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "framework/NumberText.h"
#include "fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarsio;
  const std::string text(reinterpret_cast<const char*>(data), size);  // may hold zero bytes
  const NumberTextScan scan = ScanNumberText(text.c_str());
  Check(std::isfinite(scan.value));
  Check(scan.value == ParseNumberText(text.c_str()));
  const size_t cString = text.find('\0') == std::string::npos ? text.size() : text.find('\0');
  Check(scan.length <= cString);

  if (scan.length == 0) {
    Check(scan.value == 0.0);
  } else {
    const std::string prefix = text.substr(0, scan.length);
    const NumberTextScan again = ScanNumberText(prefix.c_str());
    Check(again.length == scan.length && again.inRange == scan.inRange);
    Check(again.value == scan.value || (std::isnan(again.value) && std::isnan(scan.value)));
    char* end = nullptr;
    const double reference = std::strtod(prefix.c_str(), &end);
    Check(end == prefix.c_str() + prefix.size());
    if (scan.inRange) {
      Check(reference == scan.value);
    } else {
      Check(std::fabs(scan.value) == DBL_MAX || scan.value == 0.0);
    }
  }

  double whole = 0.0;
  const bool isWhole = IsWholeNumberText(text, &whole);
  Check(isWhole == (!text.empty() && scan.length == text.size() && scan.inRange &&
                    text.find_first_of(" \t\n\v\f\r") != 0));
  if (isWhole) Check(whole == scan.value);
  return 0;
}
