// A value kept as the text "%le" prints for it, made straight from the token
// of a model file where that is possible.
//
// A token of the shape "%le" itself prints, [-]d.dddddde(+|-)dd with a first
// digit of 1 to 9, already is that text: its value, read as the C library
// reads it, is the double nearest to the decimal, and a double carries more
// than twice the seven digits, so "%le" rounds it back to the same seven
// digits and the same exponent.  Every other token is read and printed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "format_le.h"
#include "parse_number.h"

namespace gmm {

// At most max_le_chars characters; the 16 bytes are copied whole.
struct le_text {
    char text[15];
    std::uint8_t size;
};

namespace detail {

// True, with the text kept in *out and p left after it, when the token at p
// has exactly the shape "%le" prints: as read_e_form, with a lower-case 'e',
// a first digit of 1 to 9 (zero is left to the slow path) and never "e-00".
inline bool printed_shape(const char *&p, const char *end, le_text *out)
{
    e_form f;
    if (!read_e_form(p, end, &f) || (f.t & 0xFF) != 'e' || (f.y & 0xFF) == 0 || (f.x & 0xFFFF0200u) == 0x200)
        return false;
    out->text[0] = '-';
    std::memcpy(out->text + f.negative, &f.w, 8);
    std::memcpy(out->text + f.negative + 8, &f.t, 4);
    out->size = static_cast<std::uint8_t>(12 + f.negative);
    p = f.digits + 12;
    return true;
}

} // namespace detail

// Reads the token at p (a character that is no separator) in a line that
// ends at `end`, as scan_double does, and keeps its value as "%le" prints
// it.  Returns the end of the token.
inline const char *scan_le_text(const char *p, const char *end, le_text *out)
{
    const char *q = p;
    if (detail::printed_shape(q, end, out) && (q == end || *q == ' ' || *q == '\n' || *q == '\0'))
        return q;
    double v;
    q = scan_double(p, end, &v);
    out->size = static_cast<std::uint8_t>(format_le(out->text, v) - out->text);
    return q;
}

// The same for the whole token [s, s + n).
inline le_text le_text_of(const char *s, std::size_t n)
{
    le_text out;
    const char *p = s;
    if (!detail::printed_shape(p, s + n, &out) || p != s + n)
        out.size = static_cast<std::uint8_t>(format_le(out.text, parse_double(s, n)) - out.text);
    return out;
}

} // namespace gmm
