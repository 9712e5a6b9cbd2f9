#include "framework/NumberText.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>

namespace tarsio {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Exponents beyond this make any mantissa overflow or underflow; clamping keeps the exponent
// arithmetic in range whatever the text says.
constexpr int64_t kExponentClamp = 1000000;

}  // namespace

NumberTextScan ScanNumberText(const char* text) {
  NumberTextScan scan;
  if (text == nullptr) return scan;
  const char* p = text;
  while (IsWhiteSpace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  // Mantissa: digits, optionally '.' and more digits; at least one digit in all.
  std::string canonical;        // digits[.digits][e-exp], no sign: what std::from_chars accepts
  int64_t leadingPosition = 0;  // decimal position of the first non-zero digit, for saturation
  bool seenNonZero = false;
  int intDigits = 0;
  int fracDigits = 0;
  for (; IsDigit(*p); ++p, ++intDigits) canonical.push_back(*p);
  std::string fraction;
  if (*p == '.') {
    const char* q = p + 1;
    for (; IsDigit(*q); ++q, ++fracDigits) fraction.push_back(*q);
    if (intDigits + fracDigits > 0) p = q;
  }
  if (intDigits + fracDigits == 0) return scan;
  if (intDigits == 0) canonical.assign(1, '0');
  if (!fraction.empty()) canonical += "." + fraction;

  // Where the first significant digit stands: 10^(intDigits-1-k) for the k-th digit.
  {
    int64_t position = intDigits - 1;
    for (char c : canonical.substr(intDigits == 0 ? 1 : 0)) {
      if (c == '.') continue;
      if (c != '0') {
        seenNonZero = true;
        leadingPosition = position;
        break;
      }
      --position;
    }
  }

  // Exponent: only when 'e'/'E' is followed by digits (with an optional sign).
  int64_t exponent = 0;
  if (*p == 'e' || *p == 'E') {
    const char* q = p + 1;
    bool expNegative = false;
    if (*q == '+' || *q == '-') {
      expNegative = *q == '-';
      ++q;
    }
    if (IsDigit(*q)) {
      for (; IsDigit(*q); ++q) {
        if (exponent < kExponentClamp) exponent = exponent * 10 + (*q - '0');
      }
      if (exponent > kExponentClamp) exponent = kExponentClamp;
      if (expNegative) exponent = -exponent;
      canonical += 'e';
      canonical += std::to_string(exponent);
      p = q;
    }
  }
  scan.length = static_cast<size_t>(p - text);

  double value = 0.0;
  const auto [end, error] = std::from_chars(canonical.data(), canonical.data() + canonical.size(),
                                            value, std::chars_format::general);
  (void)end;
  if (error == std::errc::result_out_of_range) {
    // Too large saturates at the largest finite value; too small becomes zero.
    value =
        (seenNonZero && leadingPosition + exponent > 0) ? std::numeric_limits<double>::max() : 0.0;
    scan.inRange = false;
  } else if (error != std::errc()) {
    value = 0.0;
    scan.inRange = false;
  } else if (value == 0.0 && seenNonZero) {
    scan.inRange = false;  // a non-zero number too small for a double, read as 0
  }
  scan.value = negative ? -value : value;
  return scan;
}

double ParseNumberText(const char* text) { return ScanNumberText(text).value; }

bool IsWholeNumberText(std::string_view text, double* value) {
  if (text.empty() || IsWhiteSpace(text.front())) return false;
  // The scanner reads a C string: text with a zero byte in it is not a number.
  if (text.find('\0') != std::string_view::npos) return false;
  const std::string copy(text);
  const NumberTextScan scan = ScanNumberText(copy.c_str());
  if (scan.length != text.size() || !scan.inRange) return false;
  if (value != nullptr) *value = scan.value;
  return true;
}

}  // namespace tarsio
