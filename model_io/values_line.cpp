#include "values_line.h"

#include <bit>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__)
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

// The values of a line.  Each token is handed to `vector_token` first,
// which takes it and the space after it, or returns false and leaves it to
// the plain paths; a run of tokens one space apart stays in the vector
// reader.  Inlined into each caller, so that a vector caller's token reader
// is inlined too.
template <typename Cell, bool (*vector_token)(const char *&, const char *, Cell *)>
[[gnu::always_inline]] inline std::int64_t read_tokens(const char *p, const char *end, std::int32_t D, Cell *row)
{
    std::int64_t k = 0;
    while (k < D) {
        while (p < end && is_separator(*p))
            ++p;
        if (p == end || *p == '\0')
            break;
        while (vector_token(p, end, &row[k]))
            if (++k == D)
                return k;
        if (k < D && p < end && !is_separator(*p) && *p != '\0')
            p = take_value(p, end, &row[k++]);
    }
    return k;
}

template <typename Cell>
bool plain_only(const char *&, const char *, Cell *)
{
    return false;
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

#if defined(__x86_64__)

// A token of the printed shape at p followed by a space, read from sixteen
// bytes: its sign, its seven digits m, its decimal exponent.  False for any
// other token, for one followed by anything but a space, and for one within
// sixteen bytes of the line's end (the load stays inside the line).
struct e_token {
    const char *digits; // the first digit; the space after the token is 12 on
    bool negative;
    std::uint32_t m;
    int exponent;
};

[[gnu::always_inline]] __attribute__((target("ssse3,sse4.1"))) inline bool vector_e_form(const char *p, const char *end,
                                                                                         e_token *t)
{
    t->negative = *p == '-';
    t->digits = p + t->negative;
    if (end - t->digits < 16)
        return false;
    // Each byte less what it must be ('0' for the digits at 0, 2 to 7, 10
    // and 11; '.' at 1; 'e' at 8, an 'E' made 'e' first; '+' at 9, where
    // '-' leaves 2, which a mask clears; ' ' at 12) is at most 9 for a
    // digit and 0 for the others: one compare of the bytes against those
    // limits checks the shape.
    const __m128i expected = _mm_setr_epi8('0', '.', '0', '0', '0', '0', '0', '0', 'e', '+', '0', '0', ' ', 0, 0, 0);
    const __m128i lower = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0);
    const __m128i sign = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, ~2, -1, -1, -1, -1, -1, -1);
    const __m128i limit = _mm_setr_epi8(9, 0, 9, 9, 9, 9, 9, 9, 0, 0, 9, 9, 0, -1, -1, -1);
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(t->digits));
    const __m128i x = _mm_and_si128(_mm_sub_epi8(_mm_or_si128(b, lower), expected), sign);
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(x, limit), x)) != 0xFFFF)
        return false;
    // Pairs of digits, then fours: d0 | d1d2 | d3d4 | d5d6 | - | exponent,
    // then d0d1d2 | d3d4d5d6 | exponent (the marks are 0 in x, and the
    // bytes after the space weigh nothing).
    const __m128i tens = _mm_setr_epi8(1, 0, 10, 1, 10, 1, 10, 1, 0, 0, 10, 1, 0, 0, 0, 0);
    const __m128i hundreds = _mm_setr_epi16(100, 1, 100, 1, 0, 1, 0, 0);
    const __m128i parts = _mm_madd_epi16(_mm_maddubs_epi16(x, tens), hundreds);
    t->m = static_cast<std::uint32_t>(_mm_cvtsi128_si32(parts)) * 10000 +
           static_cast<std::uint32_t>(_mm_extract_epi32(parts, 1));
    const int k = _mm_extract_epi32(parts, 2), minus = -(t->digits[9] == '-');
    t->exponent = (k ^ minus) - minus; // no branch: the signs are random
    return true;
}

// The token as a double, as fast_e_form makes it.
__attribute__((target("ssse3,sse4.1"))) inline bool vector_double(const char *&p, const char *end, double *out)
{
    e_token t;
    if (!vector_e_form(p, end, &t))
        return false;
    const unsigned at = static_cast<unsigned>(t.exponent - detail::lowest_e);
    if (at > detail::highest_e - detail::lowest_e)
        return false;
    const detail::e_scale &scale = detail::e_scales.at[at];
    const double r = static_cast<double>(t.m) * scale.mul / scale.div;
    *out = std::bit_cast<double>(std::bit_cast<std::uint64_t>(r) | std::uint64_t{t.negative} << 63);
    p = t.digits + 13;
    return true;
}

// The token kept as it stands where it is what "%le" prints, as
// printed_shape keeps it: a lower-case 'e', a first digit of 1 to 9, and
// never "e-00".
__attribute__((target("ssse3,sse4.1"))) inline bool vector_text(const char *&p, const char *end, le_text *out)
{
    e_token t;
    if (!vector_e_form(p, end, &t) || t.digits[8] != 'e' || t.digits[0] == '0' ||
        (t.exponent == 0 && t.digits[9] == '-'))
        return false;
    // The sign and the twelve bytes after it, with the size in the last
    // byte: one store.
    static_assert(sizeof(le_text) == 16);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
    out->size = static_cast<std::uint8_t>(12 + t.negative);
    p = t.digits + 13;
    return true;
}

__attribute__((target("ssse3,sse4.1"))) std::int64_t read_sse4(const char *p, const char *end, std::int32_t D,
                                                              double *row)
{
    return read_tokens<double, vector_double>(p, end, D, row);
}

__attribute__((target("ssse3,sse4.1"))) std::int64_t read_sse4(const char *p, const char *end, std::int32_t D,
                                                              le_text *row)
{
    return read_tokens<le_text, vector_text>(p, end, D, row);
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
    std::uint32_t before_last = 1; // the byte before the block was a separator
    for (; end - p >= 32; p += 32) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, zero)) != 0)
            return count_from(p, end, before_last != 0, k);
        const std::uint32_t sep = separators(bytes);
        k += std::popcount(~sep & ((sep << 1) | before_last));
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

scan_width widest_scan()
{
    static const scan_width w = [] {
#if defined(__x86_64__)
        const char *forced = std::getenv("GMM_SCAN");
        if (forced != nullptr && std::strcmp(forced, "scalar") == 0)
            return scan_width::scalar;
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx2"))
            return scan_width::avx2;
        if (__builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1"))
            return scan_width::sse4;
#endif
        return scan_width::scalar;
    }();
    return w;
}

std::int64_t read_values(scan_width w, const char *begin, const char *end, std::int32_t D, double *row)
{
#if defined(__x86_64__)
    if (w != scan_width::scalar)
        return read_sse4(begin, end, D, row);
#endif
    (void)w;
    return read_tokens<double, plain_only>(begin, end, D, row);
}

std::int64_t read_values(scan_width w, const char *begin, const char *end, std::int32_t D, le_text *row)
{
#if defined(__x86_64__)
    if (w != scan_width::scalar)
        return read_sse4(begin, end, D, row);
#endif
    (void)w;
    return read_tokens<le_text, plain_only>(begin, end, D, row);
}

std::int64_t count_values(scan_width w, const char *begin, const char *end, std::int32_t D)
{
    std::int64_t k;
#if defined(__x86_64__)
    if (w == scan_width::avx2)
        k = count_avx2(begin, end);
    else if (w == scan_width::sse4)
        k = count_sse2(begin, end);
    else
#endif
        k = count_from(begin, end, true, 0);
    return k < D ? k : D;
}

} // namespace gmm
