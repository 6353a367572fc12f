#include "parse_number.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "line_reader.h"

namespace gmm {

namespace {

// A token never holds more than one line's bytes, so a copy of it with its
// terminator fits here.
void copy_token(char *dst, const char *s, std::size_t n)
{
    if (n > max_line_bytes)
        n = max_line_bytes;
    std::memcpy(dst, s, n);
    dst[n] = '\0';
}

// Everything the fast paths leave: the C library itself, on a terminated copy.
double parse_with_strtod(const char *s, std::size_t n)
{
    char token[max_line_bytes + 1];
    copy_token(token, s, n);
    return std::strtod(token, nullptr);
}

} // namespace

// Three paths, each exact: the common cases inline (see fast_number), any
// other plain decimal through std::from_chars, which rounds correctly for
// every length, and everything else (white space, a leading '+', hex, inf and
// nan forms, trailing junk, results out of range) through strtod itself.
double parse_double(const char *s, std::size_t n)
{
    const char *p = s, *const e = s + n;
    double v;
    if (detail::fast_number(p, e, &v) && p == e)
        return v;
    const char *q = s + (s < e && *s == '-');
    if (q < e && (detail::is_digit(*q) || *q == '.')) {
        std::from_chars_result r = std::from_chars(s, e, v);
        if (r.ec == std::errc() && r.ptr == e)
            return v;
    }
    return parse_with_strtod(s, n);
}

std::int32_t parse_int32(const char *s, std::size_t n)
{
    char token[max_line_bytes + 1];
    copy_token(token, s, n);
    long v = std::strtol(token, nullptr, 10);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<unsigned long>(v)));
}

} // namespace gmm
