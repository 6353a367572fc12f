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

namespace {

// The length of the run of characters at [p, end) that `is` accepts.
template <typename Is>
std::size_t run(const char *p, const char *end, Is is)
{
    const char *q = p;
    while (q < end && is(*q))
        ++q;
    return static_cast<std::size_t>(q - p);
}

bool is_hex(char c) { return detail::is_digit(c) || static_cast<unsigned char>((c | 0x20) - 'a') < 6; }
bool is_space(char c) { return c == ' ' || static_cast<unsigned char>(c - '\t') < 5; }

// Whether [p, end) starts with `word`, in any case.
bool starts_with_word(const char *p, const char *end, const char *word)
{
    for (; *word != '\0'; ++p, ++word)
        if (p == end || (*p | 0x20) != *word)
            return false;
    return true;
}

// The length of a digit string's mantissa at p, in `is` digits with at most
// one point, and whether it holds a digit; then, with an exponent mark
// (e or p) followed by an optionally signed decimal digit, that exponent too.
std::size_t mantissa_and_exponent(const char *p, const char *end, bool (*is)(char), char mark)
{
    const char *q = p + run(p, end, is);
    bool digit = q > p;
    if (q < end && *q == '.') {
        const std::size_t after = run(q + 1, end, is);
        if (after > 0 || digit) {
            q += 1 + after;
            digit = true;
        }
    }
    if (!digit)
        return 0;
    if (q < end && (*q | 0x20) == mark) {
        const char *e = q + 1;
        if (e < end && (*e == '+' || *e == '-'))
            ++e;
        const std::size_t digits = run(e, end, detail::is_digit);
        if (digits > 0)
            q = e + digits;
    }
    return static_cast<std::size_t>(q - p);
}

} // namespace

std::size_t number_length(const char *s, std::size_t n)
{
    const char *p = s, *const end = s + n;
    p += run(p, end, is_space);
    if (p < end && (*p == '+' || *p == '-'))
        ++p;
    const std::size_t before = static_cast<std::size_t>(p - s);
    if (p < end && (detail::is_digit(*p) || *p == '.') && !(*p == '0' && end - p >= 2 && (p[1] | 0x20) == 'x')) {
        const std::size_t decimal = mantissa_and_exponent(p, end, detail::is_digit, 'e');
        return decimal > 0 ? before + decimal : 0;
    }
    if (starts_with_word(p, end, "infinity"))
        return before + 8;
    if (starts_with_word(p, end, "inf"))
        return before + 3;
    if (starts_with_word(p, end, "nan")) {
        const char *q = p + 3;
        if (q < end && *q == '(') {
            const char *r = q + 1 + run(q + 1, end, [](char c) {
                return c == '_' || detail::is_digit(c) || static_cast<unsigned char>((c | 0x20) - 'a') < 26;
            });
            if (r < end && *r == ')')
                return static_cast<std::size_t>(r + 1 - s);
        }
        return before + 3;
    }
    if (end - p >= 2 && p[0] == '0' && (p[1] | 0x20) == 'x') {
        const std::size_t hex = mantissa_and_exponent(p + 2, end, is_hex, 'p');
        if (hex > 0)
            return before + 2 + hex;
        return before + 1; // "0x" with no hexadecimal digit is the number 0
    }
    const std::size_t decimal = mantissa_and_exponent(p, end, detail::is_digit, 'e');
    return decimal > 0 ? before + decimal : 0;
}

std::int32_t parse_int32(const char *s, std::size_t n)
{
    long v = on_terminated_copy(s, n, [](const char *t) { return std::strtol(t, nullptr, 10); });
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<unsigned long>(v)));
}

} // namespace gmm
