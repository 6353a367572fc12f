// Printing a double in exponent form with six digits after the point, as the
// C library's "%le" conversion prints it: [-]d.dddddde(+|-)dd[d], correctly
// rounded, with inf, -inf, nan and -nan for the special values.
#pragma once

namespace gmm {

// Longest text format_le() writes: sign, 8 mantissa characters, 'e', sign
// and three exponent digits.
constexpr int max_le_chars = 14;

// Writes the text of `v` at `out` (no terminator) and returns its end.
char *format_le(char *out, double v);

} // namespace gmm
