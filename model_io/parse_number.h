// Conversion of one token of a model file to a number.
//
// A token is a run of characters that holds no separator; it is converted
// from its start the way the C library converts a string: leading white space
// and a sign are taken, conversion stops at the first character that cannot
// belong to the number, and a token without a number gives zero.  Numbers are
// always read with a decimal point, whatever the user's locale.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gmm {

// The double that strtod() gives for the token [s, s + n), to the bit.
double parse_double(const char *s, std::size_t n);

// The low 32 bits of what strtol(token, nullptr, 10) gives.
std::int32_t parse_int32(const char *s, std::size_t n);

} // namespace gmm
