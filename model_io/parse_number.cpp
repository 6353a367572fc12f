#include "parse_number.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

#include "line_reader.h"

namespace gmm {

namespace {

// Calls convert() on a NUL-terminated copy of the token [s, s + n): on the
// stack for any token a line can hold, on the heap for a longer one, so that
// a token of any length is converted whole.
template <typename F>
auto on_terminated_copy(const char *s, std::size_t n, F convert)
{
    char small[max_line_bytes + 1];
    std::string large;
    char *copy = small;
    if (n > max_line_bytes) {
        large.assign(s, n);
        copy = large.data();
    } else {
        std::memcpy(small, s, n);
        small[n] = '\0';
    }
    return convert(copy);
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
    return on_terminated_copy(s, n, [](const char *t) { return std::strtod(t, nullptr); });
}

std::int32_t parse_int32(const char *s, std::size_t n)
{
    long v = on_terminated_copy(s, n, [](const char *t) { return std::strtol(t, nullptr, 10); });
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<unsigned long>(v)));
}

} // namespace gmm
