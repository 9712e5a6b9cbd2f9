// The number text of tuning values: parsed the same way in every locale.
//
// Grammar: leading white space (space, \t, \n, \v, \f, \r) skipped; optional sign; digits with an
// optional '.' and fraction; optional exponent ('e' or 'E', optional sign, digits). Conversion
// stops at the first character that does not fit; text with no digits gives 0.0. Never accepted:
// hexadecimal ("0x10" gives 0.0), "nan", "inf". Out-of-range values saturate: "1e400" gives the
// largest finite double, "-1e400" its negative, "1e-400" gives 0.0.
//
// ScanNumberText also tells how much of the text the number took and whether its value was
// representable, so that a writer of settings can refuse text the engine would read differently
// from what it says (IsWholeNumberText).
#pragma once

#include <cstddef>
#include <string_view>

namespace tarsio {

struct NumberTextScan {
  double value = 0.0;   // what ParseNumberText gives
  size_t length = 0;    // characters taken, leading white space included; 0 when no digits
  bool inRange = true;  // false when the value saturated (too large, or too small and not zero)
};

NumberTextScan ScanNumberText(const char* text);
double ParseNumberText(const char* text);
/// True when text, all of it, is one number of the grammar (no white space, nothing after it)
/// whose value is representable; the value in *value (may be null).
bool IsWholeNumberText(std::string_view text, double* value);

}  // namespace tarsio
