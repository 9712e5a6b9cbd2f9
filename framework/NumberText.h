// The number text of tuning values: parsed the same way in every locale.
//
// Grammar: leading white space (space, \t, \n, \v, \f, \r) skipped; optional sign; digits with an
// optional '.' and fraction; optional exponent ('e' or 'E', optional sign, digits). Conversion
// stops at the first character that does not fit; text with no digits gives 0.0. Never accepted:
// hexadecimal ("0x10" gives 0.0), "nan", "inf". Out-of-range values saturate: "1e400" gives the
// largest finite double, "-1e400" its negative, "1e-400" gives 0.0.
#pragma once

namespace tarsio {

double ParseNumberText(const char* text);

}  // namespace tarsio
