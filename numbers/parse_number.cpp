#include "parse_number.h"

#include <cerrno>
#include <cmath>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace gmm {

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
    return 0;
}

namespace {

// A number of at most this many characters is converted from a copy on the
// stack; a longer one where it lies (long_number), so that a conversion takes
// a few hundred bytes of stack whatever the token's length.
constexpr std::size_t short_number = 128;

double strtod_of_copy(const char *s, std::size_t n)
{
    char copy[short_number + 1];
    std::memcpy(copy, s, n);
    copy[n] = '\0';
    return std::strtod(copy, nullptr);
}

// Whether a number out of the range of a double, with the mantissa [p, end)
// (digits of `radix` 10 or 16 with at most one point, then the exponent mark
// and an exponent of `radix` 10 or 2), is too large rather than too small:
// the power of its first nonzero digit and its exponent, together, above 0.
bool too_large(const char *p, const char *end, bool hex)
{
    bool (*is)(char) = hex ? is_hex : detail::is_digit;
    std::int64_t power = 0; // of the first nonzero digit, in digits
    const char *q = p;
    for (; q < end && *q == '0'; ++q) {
    }
    const char *first = q;
    q += run(q, end, is);
    if (q > first) {
        power = q - first;
    } else if (q < end && *q == '.') {
        const char *z = ++q;
        for (; q < end && *q == '0'; ++q) {
        }
        power = -(q - z);
    }
    q += run(q, end, [](char c) { return c == '.'; });
    q += run(q, end, is);
    std::int64_t e = 0;
    if (q < end) { // the exponent mark, a sign, digits
        const bool negative = ++q < end && *q == '-';
        q += q < end && (*q == '-' || *q == '+');
        for (; q < end && detail::is_digit(*q) && e < (std::int64_t{1} << 40); ++q)
            e = e * 10 + (*q - '0');
        e = negative ? -e : e;
    }
    return (hex ? 4 * power : power) + e > 0;
}

// strtod() of the number [s, s + n) (n as number_length gives it) of more
// than short_number characters, without a terminated copy: white space
// skipped, a plain or hexadecimal number through std::from_chars, which
// takes any length, with the infinity or zero strtod gives out of range; a
// NaN's payload taken by strtoull() as strtod() takes it, where it lies
// (its closing parenthesis ends it), and given to strtod() in a short form.
double long_number(const char *s, std::size_t n)
{
    const char *p = s, *const end = s + n;
    p += run(p, end, is_space);
    if (static_cast<std::size_t>(end - p) <= short_number)
        return strtod_of_copy(p, static_cast<std::size_t>(end - p));
    const bool negative = *p == '-';
    p += *p == '-' || *p == '+';
    double v = 0;
    if (starts_with_word(p, end, "nan(")) {
        char *stop = nullptr;
        const int saved = errno;
        const unsigned long long payload = std::strtoull(p + 4, &stop, 0);
        errno = saved;
        char form[32];
        if (stop == end - 1)
            std::snprintf(form, sizeof form, "%snan(0x%llx)", negative ? "-" : "", payload);
        else
            std::snprintf(form, sizeof form, "%snan", negative ? "-" : "");
        return std::strtod(form, nullptr);
    }
    const bool hex = p[0] == '0' && (p[1] | 0x20) == 'x';
    const char *digits = hex ? p + 2 : p;
    const std::from_chars_result r =
        std::from_chars(digits, end, v, hex ? std::chars_format::hex : std::chars_format::general);
    if (r.ec == std::errc::result_out_of_range)
        v = too_large(digits, end, hex) ? HUGE_VAL : 0.0;
    return negative ? -v : v;
}

} // namespace

// Three paths, each exact: the common cases inline (see fast_number), any
// other plain decimal through std::from_chars, which rounds correctly for
// every length, and everything else (white space, a leading '+', hex, inf and
// nan forms, trailing junk, results out of range) as strtod gives it for the
// characters it takes.
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
    if (n <= short_number)
        return strtod_of_copy(s, n);
    const std::size_t taken = number_length(s, n);
    return taken <= short_number ? strtod_of_copy(s, taken) : long_number(s, taken);
}

// strtol(token, nullptr, 10), where the token lies: white space, a sign and
// decimal digits, LONG_MAX or LONG_MIN where the value does not fit a long.
long parse_long(const char *s, std::size_t n)
{
    const char *p = s, *const end = s + n;
    p += run(p, end, is_space);
    const bool negative = p < end && *p == '-';
    p += p < end && (*p == '-' || *p == '+');
    unsigned long magnitude = 0;
    bool fits = true;
    for (; p < end && detail::is_digit(*p); ++p) {
        const unsigned d = static_cast<unsigned>(*p - '0');
        fits = fits && magnitude <= (ULONG_MAX - d) / 10;
        magnitude = magnitude * 10 + d;
    }
    unsigned long v;
    if (negative)
        v = fits && magnitude <= 1UL + LONG_MAX ? 0UL - magnitude : static_cast<unsigned long>(LONG_MIN);
    else
        v = fits && magnitude <= static_cast<unsigned long>(LONG_MAX) ? magnitude : static_cast<unsigned long>(LONG_MAX);
    return static_cast<long>(v);
}

std::int32_t parse_int32(const char *s, std::size_t n)
{
    return low_32_bits(parse_long(s, n));
}

} // namespace gmm
