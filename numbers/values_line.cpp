#include "values_line.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <type_traits>

#if GMM_VECTORS
#include <immintrin.h>
#endif

#include "le_text.h"
#include "parse_number.h"

namespace gmm {

namespace {

bool is_separator(char c) { return c == ' ' || c == '\n'; }

// One token converted where it lies, to a double or to the text "%le"
// prints for it, by the plain paths.  Each returns the end of its token.
const char *take_value(const char *p, const char *end, double *out) { return scan_double(p, end, out); }
const char *take_value(const char *p, const char *end, le_text *out) { return scan_le_text(p, end, out); }

// The values of a line.  Each token is handed to `vector_tokens` first,
// which takes it and the space after it (and where it can, and `room`
// allows, the next token and its space too) and says how many it took, or
// returns 0 and leaves the token to the plain paths; a run of tokens one
// space apart stays in the vector reader.  `vector_last` may take a line's
// last token.  Inlined into each caller, so that a vector caller's token
// readers are inlined too.
template <typename Cell, int (*vector_tokens)(const char *&, const char *, Cell *, std::int64_t),
          bool (*vector_last)(const char *&, const char *, const char *, Cell *)>
[[gnu::always_inline]] inline std::int64_t read_tokens(const char *p, const char *end, std::int32_t D, Cell *row)
{
    const char *const line = p;
    Cell *out = row, *const last = row + D;
    while (out < last) {
        while (p < end && is_separator(*p))
            ++p;
        if (p == end || *p == '\0')
            break;
        for (int n; (n = vector_tokens(p, end, out, last - out)) != 0;)
            if ((out += n) == last)
                return D;
        if (p < end && !is_separator(*p) && *p != '\0') {
            if (!vector_last(p, end, line, out))
                p = take_value(p, end, out);
            ++out;
        }
    }
    return out - row;
}

template <typename Cell>
int plain_only(const char *&, const char *, Cell *, std::int64_t)
{
    return 0;
}

template <typename Cell>
bool no_last(const char *&, const char *, const char *, Cell *)
{
    return false;
}

// A number checked and not kept.
struct unkept {};

const char *take_value(const char *p, const char *end, unkept *)
{
    while (p < end && !is_separator(*p) && *p != '\0')
        ++p;
    return p;
}

// Where the k-th number of a row goes; all go nowhere for unkept.
template <typename Cell>
Cell *cell(Cell *row, std::int64_t k)
{
    if constexpr (std::is_same_v<Cell, unkept>)
        return row;
    else
        return row + k;
}

// The numbers of a vector read by keywords, as read_tokens reads a line's
// but each token wholly a number (those of the printed shape are, and any
// other is measured against strtod's), stopping after the D-th and saying
// where.
template <typename Cell, int (*vector_tokens)(const char *&, const char *, Cell *, std::int64_t),
          bool (*vector_last)(const char *&, const char *, const char *, Cell *)>
[[gnu::always_inline]] inline std::int64_t read_whole(const char *p, const char *end, std::int32_t D, Cell *row,
                                                      const char **stop, const char **bad)
{
    const char *const line = p;
    std::int64_t k = 0;
    *bad = nullptr;
    while (k < D) {
        while (p < end && is_separator(*p))
            ++p;
        if (p == end)
            break;
        for (int n; k < D && (n = vector_tokens(p, end, cell(row, k), D - k)) != 0;)
            k += n;
        if (k == D || p == end || is_separator(*p))
            continue;
        if (*p == '\0') {
            *bad = p;
            break;
        }
        if (!vector_last(p, end, line, cell(row, k))) {
            const char *q = take_value(p, end, cell(row, k));
            if (number_length(p, static_cast<std::size_t>(q - p)) != static_cast<std::size_t>(q - p)) {
                *bad = p;
                break;
            }
            p = q;
        }
        ++k;
    }
    *stop = p;
    return k;
}

// The count byte by byte from p: a token starts at a byte that is no
// separator after one that is (or at the line's start).
std::int64_t count_from(const char *p, const char *end, bool after_separator, std::int64_t k)
{
    for (; p < end && *p != '\0'; ++p) {
        const bool sep = is_separator(*p);
        k += after_separator && !sep;
        after_separator = sep;
    }
    return k;
}

#if GMM_VECTORS

// The exact scales of a token of the printed shape, by its exponent's sign
// e, its exponent's two digits k and its value's sign v, at
// 2 (100e + k) + v: seven digits m make m x 10^(+-k - 6), correctly rounded,
// as m x mul / div with one of the two 1 (and mul carrying the value's
// sign, which rounds alike either way).  Exponents beyond the exact powers
// of ten have a NaN for mul, which leaves them to the plain paths.
struct signed_scale {
    double mul, div;
};

constexpr auto signed_scales = [] {
    struct table {
        signed_scale at[400];
    } t{};
    for (int i = 0; i < 400; ++i) {
        const int k = (i >> 1) % 100, s = ((i >> 1) >= 100 ? -k : k) - 6;
        const double sign = (i & 1) != 0 ? -1.0 : 1.0;
        if (s < -22 || s > 22)
            t.at[i] = {std::numeric_limits<double>::quiet_NaN(), 1.0};
        else
            t.at[i] = {sign * detail::exact_pow10[std::max(s, 0)], detail::exact_pow10[std::max(-s, 0)]};
    }
    return t;
}();

// The digits of a token (x as shape_of leaves it) combined: pairs, then
// fours, d0 | d1d2 | d3d4 | d5d6 | 100e | k, then d0d1d2 | d3d4d5d6 |
// 2 (100e + k) (the marks are 0 in x, the exponent's sign 0 or 2, and the
// bytes after the token weigh nothing).
inline constexpr std::int8_t digit_weights[16] = {1, 0, 10, 1, 10, 1, 10, 1, 0, 50, 10, 1, 0, 0, 0, 0};
inline constexpr std::int16_t pair_weights[8] = {100, 1, 100, 1, 2, 2, 0, 0};

// The shape of a token, checked in the sixteen bytes from its first digit:
// each byte less what it must be ('0' for the digits at 0, 2 to 7, 10 and
// 11; '.' at 1; 'e' at 8; '+' at 9, where '-' leaves 2, which a mask
// clears; the byte `after` the token at 12) is at most 9 for a digit and 0
// for the others, so one compare of the bytes against those limits checks
// them all.  `printed` asks for the shape "%le" itself prints: a lower-case
// 'e' and a first digit of 1 to 9 ('1' less, at most 8); otherwise an 'E'
// is made 'e' first.  shape_of leaves in x the bytes less what they must
// be, with the exponent's sign left in (0 or 2).
template <bool printed, char after>
struct shape_masks {
    static constexpr std::int8_t expected[16] = {printed ? '1' : '0', '.', '0', '0', '0', '0', '0', '0',
                                                 'e', '+', '0', '0', after, 0, 0, 0};
    static constexpr std::int8_t lower[16] = {0, 0, 0, 0, 0, 0, 0, 0, printed ? 0 : 0x20, 0, 0, 0, 0, 0, 0, 0};
    static constexpr std::int8_t sign[16] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, ~2, -1, -1, -1, -1, -1, -1};
    static constexpr std::int8_t limit[16] = {printed ? 8 : 9, 0, 9, 9, 9, 9, 9, 9, 0, 0, 9, 9, 0, -1, -1, -1};
};

// Sixteen bytes of constants.
template <typename T, std::size_t n>
[[gnu::always_inline]] __attribute__((target("ssse3,sse4.1"))) inline __m128i load(const T (&bytes)[n])
{
    static_assert(sizeof bytes == 16);
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes));
}

template <bool printed, char after = ' '>
[[gnu::always_inline]] __attribute__((target("ssse3,sse4.1"))) inline bool shape_of(__m128i bytes, __m128i *x)
{
    using m = shape_masks<printed, after>;
    const __m128i raw = _mm_sub_epi8(_mm_or_si128(bytes, load(m::lower)), load(m::expected));
    const __m128i masked = _mm_and_si128(raw, load(m::sign));
    *x = raw;
    return _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(masked, load(m::limit)), masked)) == 0xFFFF;
}

// The token at p followed by a space, where the line holds sixteen bytes
// from its first digit (which is left in *digits).
template <bool printed>
[[gnu::always_inline]] __attribute__((target("ssse3,sse4.1"))) inline bool vector_shape(const char *p, const char *end,
                                                                                        const char **digits, __m128i *x)
{
    const char *d = p + (*p == '-');
    if (reinterpret_cast<std::uintptr_t>(d) + 16 > reinterpret_cast<std::uintptr_t>(end))
        return false;
    *digits = d;
    return shape_of<printed>(_mm_loadu_si128(reinterpret_cast<const __m128i *>(d)), x);
}

// The last token of a line of 16 bytes or more from `line`, ended by its
// newline: the 16 bytes that end the line, moved down to its first digit.
template <bool printed>
[[gnu::always_inline]] __attribute__((target("ssse3,sse4.1"))) inline bool last_shape(const char *p, const char *end,
                                                                                      const char *line,
                                                                                      const char **digits, __m128i *x)
{
    const char *d = p + (*p == '-');
    if (end - d != 13 || end - line < 16)
        return false;
    *digits = d;
    return shape_of<printed, '\n'>(_mm_srli_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(end - 16)), 3), x);
}

// The token at p, or with `last` the token that ends the line starting at
// `line`.
template <bool printed, bool last>
[[gnu::always_inline]] __attribute__((target("ssse3,sse4.1"))) inline bool token_shape(const char *p, const char *end,
                                                                                       const char *line,
                                                                                       const char **digits, __m128i *x)
{
    return last ? last_shape<printed>(p, end, line, digits, x) : vector_shape<printed>(p, end, digits, x);
}

// The token at p as a double, as fast_e_form makes it, and the byte after
// it; with `last`, the token that ends the line starting at `line`.
template <bool last = false>
[[gnu::always_inline]] __attribute__((target("ssse3,sse4.1"))) inline bool vector_double(const char *&p, const char *end,
                                                                                         double *out,
                                                                                         const char *line = nullptr)
{
    const char *d;
    __m128i x;
    if (!token_shape<false, last>(p, end, line, &d, &x))
        return false;
    const __m128i parts = _mm_madd_epi16(_mm_maddubs_epi16(x, load(digit_weights)), load(pair_weights));
    const std::uint32_t m = static_cast<std::uint32_t>(_mm_cvtsi128_si32(parts)) * 10000 +
                            static_cast<std::uint32_t>(_mm_extract_epi32(parts, 1));
    const signed_scale &scale = signed_scales.at[_mm_extract_epi32(parts, 2) + (d != p)];
    const double r = static_cast<double>(m) * scale.mul / scale.div;
    if (r != r)
        return false;
    *out = r;
    p = d + 13;
    return true;
}

// "e-00" as four bytes in memory order.
constexpr std::uint32_t e_minus_00 = 'e' | '-' << 8 | '0' << 16 | static_cast<std::uint32_t>('0') << 24;

// The token at p kept as it stands where it is what "%le" prints, as
// printed_shape keeps it (never "e-00" either), and the byte after it; with
// `last`, the token that ends the line starting at `line`.
template <bool last = false>
[[gnu::always_inline]] __attribute__((target("ssse3,sse4.1"))) inline bool vector_text(const char *&p, const char *end,
                                                                                       le_text *out,
                                                                                       const char *line = nullptr)
{
    const char *d;
    __m128i x;
    std::uint32_t exponent;
    if (!token_shape<true, last>(p, end, line, &d, &x) ||
        (std::memcpy(&exponent, d + 8, 4), exponent == e_minus_00))
        return false;
    // The sign and the twelve bytes after it, with the size in the last
    // byte (sixteen bytes copied where the line has them).
    static_assert(sizeof(le_text) == 16);
    if constexpr (last)
        std::memcpy(out->text, p, 13);
    else
        std::memcpy(out, p, 16);
    out->size = static_cast<std::uint8_t>(12 + (d - p));
    p = d + 13;
    return true;
}

// The token readers each vector reader hands read_tokens.
__attribute__((target("ssse3,sse4.1"))) int one_double(const char *&p, const char *end, double *out, std::int64_t)
{
    return vector_double(p, end, out);
}

__attribute__((target("ssse3,sse4.1"))) int one_text(const char *&p, const char *end, le_text *out, std::int64_t)
{
    return vector_text(p, end, out);
}

__attribute__((target("ssse3,sse4.1"))) bool last_double(const char *&p, const char *end, const char *line, double *out)
{
    return vector_double<true>(p, end, out, line);
}

__attribute__((target("ssse3,sse4.1"))) bool last_text(const char *&p, const char *end, const char *line, le_text *out)
{
    return vector_text<true>(p, end, out, line);
}

// A token of the printed shape checked, not converted.
__attribute__((target("ssse3,sse4.1"))) int one_check(const char *&p, const char *end, unkept *, std::int64_t)
{
    const char *d;
    __m128i x;
    if (!vector_shape<false>(p, end, &d, &x))
        return 0;
    p = d + 13;
    return 1;
}

__attribute__((target("ssse3,sse4.1"))) bool last_check(const char *&p, const char *end, const char *line, unkept *)
{
    const char *d;
    __m128i x;
    if (!last_shape<false>(p, end, line, &d, &x))
        return false;
    p = d + 13;
    return true;
}

__attribute__((target("ssse3,sse4.1"))) std::int64_t read_sse4(const char *p, const char *end, std::int32_t D,
                                                              double *row)
{
    return read_tokens<double, one_double, last_double>(p, end, D, row);
}

__attribute__((target("ssse3,sse4.1"))) std::int64_t read_sse4(const char *p, const char *end, std::int32_t D,
                                                              le_text *row)
{
    return read_tokens<le_text, one_text, last_text>(p, end, D, row);
}

// Sixteen bytes of constants twice over, kept as such so that one load
// (or an instruction's own operand) fills both halves of a register.
template <const auto &bytes>
inline constexpr auto twice = [] {
    using T = std::remove_cvref_t<decltype(bytes[0])>;
    constexpr std::size_t n = std::size(bytes);
    static_assert(sizeof bytes == 16);
    struct {
        alignas(32) T at[2 * n];
    } t{};
    for (std::size_t i = 0; i < 2 * n; ++i)
        t.at[i] = bytes[i % n];
    return t;
}();

template <const auto &bytes>
[[gnu::always_inline]] __attribute__((target("avx2"))) inline __m256i both()
{
    return _mm256_load_si256(reinterpret_cast<const __m256i *>(twice<bytes>.at));
}

// Two tokens at once with AVX2: the first checked as above, the second
// where the first one's space ends it, both in one 32-byte compare.  Gives
// the mask of the bytes that passed (16 bits for each token, the first
// token's low), with a and b the two tokens' first digits; 0 where the
// two tokens are too near the line's end to be loaded.
template <bool printed>
[[gnu::always_inline]] __attribute__((target("avx2"))) inline std::uint32_t two_shapes(const char *p, const char *end,
                                                                                      const char **a, const char **b,
                                                                                      __m256i *x)
{
    // The second token starts 13 or 14 bytes after the first one's first
    // digit: with 30 bytes from there in the line, both loads are in it.
    *a = p + (*p == '-');
    if (reinterpret_cast<std::uintptr_t>(*a) + 30 > reinterpret_cast<std::uintptr_t>(end))
        return 0;
    const char *q = *a + 13;
    *b = q + (*q == '-');
    using m = shape_masks<printed, ' '>;
    const __m256i bytes = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(*a))),
        _mm_loadu_si128(reinterpret_cast<const __m128i *>(*b)), 1);
    const __m256i raw = _mm256_sub_epi8(_mm256_or_si256(bytes, both<m::lower>()), both<m::expected>());
    const __m256i masked = _mm256_and_si256(raw, both<m::sign>());
    *x = raw;
    return static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(masked, both<m::limit>()), masked)));
}

// The last token's readers again, built with AVX2 for the AVX2 readers:
// the SSE build of the same code, called with the upper halves of the
// vector registers in use (the compiler puts no vzeroupper before a call
// to code it knows has no AVX), made kelvane's plain run a tenth slower.
__attribute__((target("avx2"))) bool last_double_avx2(const char *&p, const char *end, const char *line, double *out)
{
    return vector_double<true>(p, end, out, line);
}

__attribute__((target("avx2"))) bool last_text_avx2(const char *&p, const char *end, const char *line, le_text *out)
{
    return vector_text<true>(p, end, out, line);
}

__attribute__((target("avx2"))) int two_doubles(const char *&p, const char *end, double *out, std::int64_t room)
{
    const char *a, *b;
    __m256i x;
    if (room < 2 || two_shapes<false>(p, end, &a, &b, &x) != 0xFFFFFFFFu)
        return vector_double(p, end, out);
    const __m256i parts = _mm256_madd_epi16(_mm256_maddubs_epi16(x, both<digit_weights>()), both<pair_weights>());
    // Each token's m = 10000 d0d1d2 + d3d4d5d6 in its first lane, then both
    // tokens' m and table places side by side, and both values at once.
    const __m256i scaled = _mm256_mullo_epi32(parts, _mm256_setr_epi32(10000, 1, 1, 1, 10000, 1, 1, 1));
    const __m128i both = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(
        _mm256_add_epi32(scaled, _mm256_srli_si256(scaled, 4)), _mm256_setr_epi32(0, 4, 2, 6, 0, 0, 0, 0)));
    const signed_scale &first = signed_scales.at[_mm_extract_epi32(both, 2) + (a != p)];
    const signed_scale &second = signed_scales.at[_mm_extract_epi32(both, 3) + (b != a + 13)];
    const __m128d r = _mm_div_pd(_mm_mul_pd(_mm_cvtepi32_pd(both), _mm_setr_pd(first.mul, second.mul)),
                                 _mm_setr_pd(first.div, second.div));
    switch (_mm_movemask_pd(_mm_cmpunord_pd(r, r))) { // a NaN: an exponent the table has no scale for
    case 0:
        _mm_storeu_pd(out, r);
        p = b + 13;
        return 2;
    case 2:
        _mm_store_sd(out, r);
        p = a + 13;
        return 1;
    default:
        return 0;
    }
}

__attribute__((target("avx2"))) int two_texts(const char *&p, const char *end, le_text *out, std::int64_t room)
{
    const char *a, *b;
    __m256i x;
    std::uint32_t ea, eb;
    if (room < 2 || two_shapes<true>(p, end, &a, &b, &x) != 0xFFFFFFFFu ||
        (std::memcpy(&ea, a + 8, 4), std::memcpy(&eb, b + 8, 4), ea == e_minus_00 || eb == e_minus_00))
        return vector_text(p, end, out);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
    out[0].size = static_cast<std::uint8_t>(12 + (a - p));
    const char *q = a + 13;
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 1), _mm_loadu_si128(reinterpret_cast<const __m128i *>(q)));
    out[1].size = static_cast<std::uint8_t>(12 + (b - q));
    p = b + 13;
    return 2;
}

__attribute__((target("avx2"))) int two_checks(const char *&p, const char *end, unkept *out, std::int64_t room)
{
    const char *a, *b;
    __m256i x;
    if (room < 2 || two_shapes<false>(p, end, &a, &b, &x) != 0xFFFFFFFFu)
        return one_check(p, end, out, room);
    p = b + 13;
    return 2;
}

__attribute__((target("avx2"))) bool last_check_avx2(const char *&p, const char *end, const char *line, unkept *out)
{
    return last_check(p, end, line, out);
}

// The last token's AVX2 readers once more for the keyword reader's
// vectors: each is called from one place, and so inlined there, as in the
// readers of a line.
__attribute__((target("avx2"))) bool last_whole_double(const char *&p, const char *end, const char *line, double *out)
{
    return vector_double<true>(p, end, out, line);
}

__attribute__((target("avx2"))) bool last_whole_text(const char *&p, const char *end, const char *line, le_text *out)
{
    return vector_text<true>(p, end, out, line);
}

// The keyword reader's vectors, by each reader.
template <typename Cell>
__attribute__((target("ssse3,sse4.1"))) std::int64_t whole_sse4(const char *p, const char *end, std::int32_t D,
                                                               Cell *row, const char **stop, const char **bad)
{
    if constexpr (std::is_same_v<Cell, double>)
        return read_whole<double, one_double, last_double>(p, end, D, row, stop, bad);
    else if constexpr (std::is_same_v<Cell, le_text>)
        return read_whole<le_text, one_text, last_text>(p, end, D, row, stop, bad);
    else
        return read_whole<unkept, one_check, last_check>(p, end, D, row, stop, bad);
}

template <typename Cell>
__attribute__((target("avx2"))) std::int64_t whole_avx2(const char *p, const char *end, std::int32_t D, Cell *row,
                                                       const char **stop, const char **bad)
{
    if constexpr (std::is_same_v<Cell, double>)
        return read_whole<double, two_doubles, last_whole_double>(p, end, D, row, stop, bad);
    else if constexpr (std::is_same_v<Cell, le_text>)
        return read_whole<le_text, two_texts, last_whole_text>(p, end, D, row, stop, bad);
    else
        return read_whole<unkept, two_checks, last_check_avx2>(p, end, D, row, stop, bad);
}

__attribute__((target("avx2"), flatten)) std::int64_t read_avx2(const char *p, const char *end, std::int32_t D, double *row)
{
    return read_tokens<double, two_doubles, last_double_avx2>(p, end, D, row);
}

__attribute__((target("avx2"))) std::int64_t read_avx2(const char *p, const char *end, std::int32_t D, le_text *row)
{
    return read_tokens<le_text, two_texts, last_text_avx2>(p, end, D, row);
}

// Counting, sixteen or thirty-two bytes at a time without a branch but for
// a NUL: the separators, the same flags a byte on (the block before's last
// in front), the starts where the second is set and the first not, and
// their count.
std::int64_t count_sse2(const char *p, const char *end)
{
    const __m128i space = _mm_set1_epi8(' '), newline = _mm_set1_epi8('\n'), zero = _mm_setzero_si128();
    const __m128i one = _mm_set1_epi8(1);
    __m128i before_block = _mm_set1_epi8(-1), counts = zero;
    for (; end - p >= 16; p += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, zero)) != 0)
            break; // the text ends in this block: counted byte by byte below
        const __m128i sep = _mm_or_si128(_mm_cmpeq_epi8(bytes, space), _mm_cmpeq_epi8(bytes, newline));
        const __m128i before = _mm_or_si128(_mm_slli_si128(sep, 1), _mm_srli_si128(before_block, 15));
        counts = _mm_add_epi64(counts, _mm_sad_epu8(_mm_and_si128(_mm_andnot_si128(sep, before), one), zero));
        before_block = sep;
    }
    const std::int64_t k = _mm_cvtsi128_si64(counts) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(counts, counts));
    return count_from(p, end, (_mm_movemask_epi8(before_block) & 0x8000) != 0, k);
}

__attribute__((target("avx2,popcnt"))) std::int64_t count_avx2(const char *begin, const char *end)
{
    const __m256i space = _mm256_set1_epi8(' '), newline = _mm256_set1_epi8('\n'), zero = _mm256_setzero_si256();
    auto separators = [&](__m256i bytes) __attribute__((target("avx2"))) {
        return static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpeq_epi8(bytes, space), _mm256_cmpeq_epi8(bytes, newline))));
    };
    const char *p = begin;
    std::int64_t k = 0;
    std::uint64_t before_last = 1; // the byte before the block was a separator
    // Sixty-four bytes a round: one test for a NUL in both halves.
    for (; end - p >= 64; p += 64) {
        const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 32));
        if (_mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpeq_epi8(low, zero), _mm256_cmpeq_epi8(high, zero))) != 0)
            break;
        const std::uint64_t sep = separators(low) | std::uint64_t{separators(high)} << 32;
        k += std::popcount(~sep & ((sep << 1) | before_last));
        before_last = sep >> 63;
    }
    for (; end - p >= 32; p += 32) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, zero)) != 0)
            return count_from(p, end, before_last != 0, k);
        const std::uint32_t sep = separators(bytes);
        k += std::popcount(~sep & ((sep << 1) | static_cast<std::uint32_t>(before_last)));
        before_last = sep >> 31;
    }
    // The last bytes of a line of 32 or more, in the 32 that end it: the
    // bytes before them are the line's own, so each byte's predecessor is
    // in the block.
    if (p < end && end - begin >= 32) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(end - 32));
        const std::uint32_t fresh = ~0u << (32 - (end - p));
        if ((static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, zero))) & fresh) != 0)
            return count_from(p, end, before_last != 0, k);
        const std::uint32_t sep = separators(bytes);
        return k + std::popcount(~sep & (sep << 1) & fresh);
    }
    return count_from(p, end, before_last != 0, k);
}

#endif

} // namespace

const char *refused_scan_setting()
{
    const char *forced = std::getenv("GMM_SCAN");
    if (forced == nullptr || *forced == '\0')
        return nullptr;
    for (const char *name : {"scalar", "sse4", "avx2"})
        if (std::strcmp(forced, name) == 0)
            return nullptr;
    return forced;
}

scan_width widest_scan()
{
    static const scan_width w = [] {
        scan_width widest = scan_width::scalar;
#if GMM_VECTORS
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt"))
            widest = scan_width::avx2;
        else if (__builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1"))
            widest = scan_width::sse4;
#endif
        const char *forced = std::getenv("GMM_SCAN");
        if (forced != nullptr && std::strcmp(forced, "scalar") == 0)
            return scan_width::scalar;
        if (forced != nullptr && std::strcmp(forced, "sse4") == 0 && widest > scan_width::sse4)
            return scan_width::sse4;
        return widest;
    }();
    return w;
}

namespace {

template <typename Cell>
std::int64_t read_with(scan_width w, const char *begin, const char *end, std::int32_t D, Cell *row)
{
#if GMM_VECTORS
    if (w == scan_width::avx2)
        return read_avx2(begin, end, D, row);
    if (w == scan_width::sse4)
        return read_sse4(begin, end, D, row);
#endif
    (void)w;
    return read_tokens<Cell, plain_only, no_last>(begin, end, D, row);
}

} // namespace

std::int64_t read_values(scan_width w, const char *begin, const char *end, std::int32_t D, double *row)
{
    return read_with(w, begin, end, D, row);
}

std::int64_t read_values(scan_width w, const char *begin, const char *end, std::int32_t D, le_text *row)
{
    return read_with(w, begin, end, D, row);
}

namespace {

template <typename Cell>
std::int64_t whole_with(scan_width w, const char *begin, const char *end, std::int32_t D, Cell *row,
                        const char **stop, const char **bad)
{
#if GMM_VECTORS
    if (w == scan_width::avx2)
        return whole_avx2(begin, end, D, row, stop, bad);
    if (w == scan_width::sse4)
        return whole_sse4(begin, end, D, row, stop, bad);
#endif
    (void)w;
    return read_whole<Cell, plain_only, no_last>(begin, end, D, row, stop, bad);
}

} // namespace

std::int64_t read_numbers(scan_width w, const char *begin, const char *end, std::int32_t D, double *row,
                          const char **stop, const char **bad)
{
    return whole_with(w, begin, end, D, row, stop, bad);
}

std::int64_t read_numbers(scan_width w, const char *begin, const char *end, std::int32_t D, le_text *row,
                          const char **stop, const char **bad)
{
    return whole_with(w, begin, end, D, row, stop, bad);
}

std::int64_t check_numbers(scan_width w, const char *begin, const char *end, std::int32_t D, const char **stop,
                           const char **bad)
{
    unkept none;
    return whole_with(w, begin, end, D, &none, stop, bad);
}

std::int64_t count_values(scan_width w, const char *begin, const char *end, std::int32_t D)
{
    std::int64_t k;
#if GMM_VECTORS
    if (w == scan_width::avx2)
        k = count_avx2(begin, end);
    else if (w == scan_width::sse4)
        k = count_sse2(begin, end);
    else
#endif
        k = count_from(begin, end, true, 0);
    (void)w;
    return k < D ? k : D;
}

} // namespace gmm
