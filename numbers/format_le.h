// Printing a double in exponent form with six digits after the point, as the
// C library's "%le" conversion prints it: [-]d.dddddde(+|-)dd[d], correctly
// rounded, with inf, -inf, nan and -nan for the special values.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace gmm {

// Longest text format_le() writes: sign, 8 mantissa characters, 'e', sign
// and three exponent digits.
constexpr int max_le_chars = 14;

namespace detail {

__extension__ typedef unsigned __int128 u128;

// The fast path covers binary exponents e2 in [lowest_e2, highest_e2]: there
// the seven digits need at most 10^19 (a 64-bit factor) and the shift stays
// below 128 bits.
inline constexpr int lowest_e2 = -44;
inline constexpr int highest_e2 = 23;

// For each binary exponent e2: the decimal exponent of 2^e2, and the
// mantissa (with its leading bit, in [2^52, 2^53]) from which on
// f * 2^(e2-52) reaches the next power of ten.  So for a double of that
// binary exponent, E = floor(log10 v) = decimal + (f >= step).
struct exponent_row {
    int decimal;
    std::uint64_t step;
};

constexpr u128 pow10_128(int k)
{
    u128 p = 1;
    while (k-- > 0)
        p *= 10;
    return p;
}

inline constexpr auto exponent_table = [] {
    struct table {
        exponent_row row[highest_e2 - lowest_e2 + 1];
    } t{};
    for (int e2 = lowest_e2; e2 <= highest_e2; ++e2) {
        int d = 0;
        if (e2 >= 0) {
            while (pow10_128(d + 1) <= (u128{1} << e2))
                ++d;
        } else {
            while (pow10_128(-d) < (u128{1} << -e2))
                --d;
        }
        // Smallest f with f * 2^(e2-52) >= 10^(d+1).
        const int shift = 52 - e2; // > 0 throughout the table
        u128 step;
        if (d + 1 >= 0) {
            step = pow10_128(d + 1) << shift;
        } else {
            const u128 den = pow10_128(-(d + 1));
            step = ((u128{1} << shift) + den - 1) / den;
        }
        const u128 cap = u128{1} << 53;
        t.row[e2 - lowest_e2] = {d, static_cast<std::uint64_t>(step < cap ? step : cap)};
    }
    return t;
}();

// 10^0 .. 10^19, the factors of the fast path.
inline constexpr auto pow10_64 = [] {
    struct table {
        std::uint64_t p[20];
        constexpr std::uint64_t operator[](int k) const { return p[k]; }
    } t{};
    for (int k = 0; k < 20; ++k)
        t.p[k] = static_cast<std::uint64_t>(pow10_128(k));
    return t;
}();

inline constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The eight decimal digits of x < 10^8 as ASCII, first digit in the lowest
// byte: split into halves of four digits, those into pairs, the pairs into
// digits, each step a multiply and shift in every lane of the word at once.
inline std::uint64_t eight_digits(std::uint64_t x)
{
    const std::uint64_t hi = (x * 109951163) >> 40; // x / 10000
    const std::uint64_t a = hi | ((x - hi * 10000) << 32);
    const std::uint64_t b = ((a * 10486) >> 20) & 0x0000007F0000007FULL; // lanes / 100
    const std::uint64_t c = b | ((a - b * 100) << 16);
    const std::uint64_t d = ((c * 103) >> 10) & 0x000F000F000F000FULL; // lanes / 10
    return (d | ((c - d * 10) << 8)) + 0x3030303030303030ULL;
}

// Rounding to nearest, ties to even, without a branch: the remainder's side
// of the half is as random as the digits.
inline constexpr std::uint64_t half_64 = std::uint64_t{1} << 63;
inline std::uint64_t round_up(bool above, bool tie, std::uint64_t q)
{
    return static_cast<std::uint64_t>(above) | (static_cast<std::uint64_t>(tie) & q & 1);
}

// The common case: a double of binary exponent e2 in the table (about
// 1e-13 <= |v| < 1.6e7).  With v = f * 2^-s and E = floor(log10 v), the
// seven digits are q = v * 10^k for k = 6 - E, that is f * 10^k / 2^s: an
// exact 128-bit product and shift, with the remainder deciding the rounding
// (to nearest, ties to even, as the C library does).
inline bool fast_le(char *&out, std::uint64_t bits)
{
    const int field = static_cast<int>((bits >> 52) & 0x7FF);
    const int e2 = field - 1023;
    if (e2 < lowest_e2 || e2 > highest_e2)
        return false;
    const std::uint64_t f = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
    const exponent_row &row = exponent_table.row[e2 - lowest_e2];
    int E = row.decimal + (f >= row.step);
    const int k = 6 - E;
    if (k < 0 || k > 19)
        return false;
    const int s = 52 - e2; // v = f / 2^s, 29 <= s <= 96
    const u128 num = static_cast<u128>(f) * pow10_64[k];
    std::uint64_t q;
    if (s <= 64) {
        // |v| >= 2^-12, the usual case: shifted left by 64 - s, the product's
        // high word is the truncated result and its low word the remainder,
        // against a half of 2^63.
        const int t = 64 - s; // 0 .. 35
        const auto lo = static_cast<std::uint64_t>(num), hi = static_cast<std::uint64_t>(num >> 64);
        const std::uint64_t r = lo << t;
        q = (hi << t) | (lo >> 1 >> (63 - t));
        q += round_up(r > half_64, r == half_64, q);
    } else {
        const u128 r = num & ((u128{1} << s) - 1);
        const u128 half = u128{1} << (s - 1);
        q = static_cast<std::uint64_t>(num >> s);
        q += round_up(r > half, r == half, q);
    }
    if (q == 10000000) {
        q = 1000000;
        ++E;
    }
    // "0ddddddd" -> "d.dddddd": the first digit, the point, the other six.
    const std::uint64_t digits = eight_digits(q);
    const std::uint64_t mantissa = ((digits >> 8) & 0xFF) | (std::uint64_t{'.'} << 8) |
                                   (digits & 0xFFFFFFFFFFFF0000ULL);
    char *p = out;
    *p = '-';
    p += bits >> 63;
    std::memcpy(p, &mantissa, 8);
    p[8] = 'e';
    p[9] = E < 0 ? '-' : '+';
    std::memcpy(p + 10, digit_pairs + 2 * (E < 0 ? -E : E), 2); // |E| <= 13 here
    p += 12;
    out = p;
    return true;
}


// Every double the fast path leaves.
char *format_le_rest(char *out, double v);

} // namespace detail

// Writes the text of `v` at `out` (no terminator) and returns its end.
inline char *format_le(char *out, double v)
{
    if (detail::fast_le(out, std::bit_cast<std::uint64_t>(v)))
        return out;
    return detail::format_le_rest(out, v);
}

} // namespace gmm
