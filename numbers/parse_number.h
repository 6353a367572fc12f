// Conversion of one token of a model file to a number.
//
// A token is a run of characters that holds no separator; it is converted
// from its start the way the C library converts a string: leading white space
// and a sign are taken, conversion stops at the first character that cannot
// belong to the number, and a token without a number gives zero.  Numbers are
// always read with a decimal point, whatever the user's locale.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace gmm {

// The double that strtod() gives for the token [s, s + n), to the bit.
double parse_double(const char *s, std::size_t n);

// What strtol(token, nullptr, 10) gives, and its low 32 bits.
long parse_long(const char *s, std::size_t n);
std::int32_t parse_int32(const char *s, std::size_t n);

// The low 32 bits of v, as a signed count.
inline std::int32_t low_32_bits(long v)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<unsigned long>(v)));
}

// How many characters of [s, s + n) strtod() takes as a number, in the C
// locale: white space, a sign, then a decimal, a hexadecimal, an infinity
// or a NaN; 0 where it takes none.  A token is wholly a number where this
// is its length.
std::size_t number_length(const char *s, std::size_t n);

namespace detail {

inline constexpr double exact_pow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                         1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline constexpr std::uint64_t pow10_u64[] = {1,      10,      100,      1000,      10000,
                                              100000, 1000000, 10000000, 100000000};

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// Reads the run of digits at q (at most 8 of them) into *value and returns
// its length.  Eight bytes are read at once when the line holds them.
inline int digit_run(const char *q, const char *end, std::uint64_t *value)
{
    if (end - q >= 8) {
        std::uint64_t w;
        std::memcpy(&w, q, 8); // first character in the lowest byte
        const std::uint64_t x = w - 0x3030303030303030ULL;
        // A byte is no digit when its value minus '0' is 10 or more (the
        // borrows and carries this causes only reach later bytes).
        const std::uint64_t stop = (x | (x + 0x7676767676767676ULL)) & 0x8080808080808080ULL;
        const int n = stop == 0 ? 8 : __builtin_ctzll(stop) / 8;
        if (n == 0) {
            *value = 0;
            return 0;
        }
        // Keep the n digits, put zeros in front, and combine them pairwise.
        std::uint64_t v = x << (8 * (8 - n));
        v = (v * 10) + (v >> 8);
        v = (((v & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
             (((v >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >> 32;
        *value = v;
        return n;
    }
    std::uint64_t v = 0;
    int n = 0;
    for (; q + n < end && is_digit(q[n]); ++n) // fewer than 8 bytes are left
        v = v * 10 + static_cast<unsigned>(q[n] - '0');
    *value = v;
    return n;
}

// Appends the digits at q to m; returns how many there were, or a count
// above 19 (with q and m of no use) as soon as m cannot hold them all.
inline long digits_into(const char *&q, const char *end, std::uint64_t *m)
{
    long total = 0;
    for (;;) {
        std::uint64_t v;
        const int n = digit_run(q, end, &v);
        q += n;
        total += n;
        if (total > 19)
            return total;
        *m = *m * pow10_u64[n] + v;
        if (n < 8)
            return total;
    }
}

// The common case, exactly: a plain decimal [-]digits[.digits][(e|E)[+|-]digits]
// starting at p with at most 19 digits in all, whose value m x 10^k has
// m <= 2^53 and |k| <= 22.  Then the result is one correctly rounded
// multiplication or division of two exact doubles.  On success p is left at
// the first character after the number; false leaves the work to the slower
// paths.
inline bool fast_decimal(const char *&p, const char *end, double *out)
{
    const char *q = p;
    const bool negative = q < end && *q == '-';
    q += negative;
    std::uint64_t m = 0;
    long digits = digits_into(q, end, &m);
    long scale = 0;
    if (q < end && *q == '.') {
        ++q;
        const long frac = digits_into(q, end, &m);
        digits += frac;
        scale = -frac;
    }
    if (digits == 0 || digits > 19)
        return false;
    if (q < end && (*q == 'e' || *q == 'E')) {
        const char *x = q + 1;
        const bool minus = x < end && *x == '-';
        x += x < end && (*x == '-' || *x == '+');
        if (x == end || !is_digit(*x))
            return false;
        long k = 0;
        for (; x < end && is_digit(*x); ++x)
            if (k < 100000)
                k = k * 10 + (*x - '0');
        scale += minus ? -k : k;
        q = x;
    }
    double v;
    if (m == 0)
        v = 0.0;
    else if (m <= (std::uint64_t{1} << 53) && scale >= -22 && scale <= 22)
        v = scale < 0 ? static_cast<double>(m) / exact_pow10[-scale]
                      : static_cast<double>(m) * exact_pow10[scale];
    else
        return false;
    // Signs are random in model files: set the sign bit without a branch.
    *out = std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) | std::uint64_t{negative} << 63);
    p = q;
    return true;
}

// A token of the shape "%e" prints and model files hold,
// [-]d.dddddde(+|-)dd (with 'e' or 'E'), as its sign and its two loads less
// what each byte must be: y holds the seven digits and a zero for the point,
// x a zero for the 'e', 0 for '+' or 2 for '-', and the exponent's digits.
struct e_form {
    bool negative;
    const char *digits; // the first digit; the token ends 12 bytes on
    std::uint64_t w, y; // "d.dddddd" as read, and less "0.000000"
    std::uint32_t t, x; // "e+dd" as read, and less "e+00" ('E' made 'e')
};

// True, with *f filled, when the text at p has that shape: both loads are
// tested at once, a byte below its mark borrowing and so left with its top
// bit set.
inline bool read_e_form(const char *p, const char *end, e_form *f)
{
    f->negative = p < end && *p == '-';
    f->digits = p + f->negative;
    if (end - f->digits < 12)
        return false;
    std::memcpy(&f->w, f->digits, 8);
    std::memcpy(&f->t, f->digits + 8, 4);
    f->y = f->w - 0x3030303030302E30ULL;
    f->x = (f->t | 0x20) - 0x30302B65u;
    return ((f->y & 0xFF00) | ((f->y | (f->y + 0x7676767676767676ULL)) & 0x8080808080808080ULL) |
            (f->x & 0xFDFF) | ((f->x | (f->x + 0x76760000u)) & 0x80800000u)) == 0;
}

// The decimal exponents e for which seven digits m scale to m x 10^(e-6)
// with one exact power of ten, and for each (index e - lowest_e) that power
// as a factor `mul` and a divisor `div`, one of the two being 1, so that the
// one rounding is that of a correct product or quotient.
inline constexpr int lowest_e = 6 - 22, highest_e = 6 + 22;

struct e_scale {
    double mul, div;
};

inline constexpr auto e_scales = [] {
    struct table {
        e_scale at[highest_e - lowest_e + 1];
    } t{};
    for (int e = lowest_e; e <= highest_e; ++e) {
        const int s = e - 6;
        t.at[e - lowest_e] = {exact_pow10[std::max(s, 0)], exact_pow10[std::max(-s, 0)]};
    }
    return t;
}();

// The shape above, converted with one test of the shape and one table
// read.  True and *out set, with p left after the number, when the text at
// p has exactly that shape.
inline bool fast_e_form(const char *&p, const char *end, double *out)
{
    e_form f;
    if (!read_e_form(p, end, &f))
        return false;
    const int k = static_cast<int>(((f.x >> 16) & 0xFF) * 10 + (f.x >> 24));
    const unsigned at = static_cast<unsigned>(((f.x & 0x200) != 0 ? -k : k) - lowest_e);
    if (at > highest_e - lowest_e)
        return false;
    const e_scale &scale = e_scales.at[at];
    // The six fraction digits, combined pairwise as in digit_run.
    std::uint64_t v = f.y & 0xFFFFFFFFFFFF0000ULL;
    v = (v * 10) + (v >> 8);
    v = (((v & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
         (((v >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >> 32;
    const std::uint64_t m = (f.y & 0xFF) * 1000000 + v;
    const double r = static_cast<double>(m) * scale.mul / scale.div;
    *out = std::bit_cast<double>(std::bit_cast<std::uint64_t>(r) | std::uint64_t{f.negative} << 63);
    p = f.digits + 12;
    return true;
}

// The fast paths, most common shape first.
inline bool fast_number(const char *&p, const char *end, double *out)
{
    return fast_e_form(p, end, out) || fast_decimal(p, end, out);
}

} // namespace detail

// Converts the token that starts at p (a character that is no separator) in
// a line that ends at `end`, the separators being the space and the newline,
// and a NUL ending the text.  Returns the end of the token.
inline const char *scan_double(const char *p, const char *end, double *out)
{
    const char *q = p;
    if (detail::fast_number(q, end, out) &&
        (q == end || *q == ' ' || *q == '\n' || *q == '\0'))
        return q;
    for (q = p; q < end && *q != ' ' && *q != '\n' && *q != '\0'; ++q) {
    }
    *out = parse_double(p, static_cast<std::size_t>(q - p));
    return q;
}

} // namespace gmm
