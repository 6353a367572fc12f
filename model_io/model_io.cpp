#include "model_io.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>


#include "keyword_reader.h"
#include "le_text.h"
#include "messages.h"
#include "parse_number.h"
#include "values_line.h"

namespace gmm {

namespace {

struct token {
    const char *s;
    std::size_t n;
};

// Takes the next token from [p, end) the way strtok() splits a string: runs
// of separators are skipped, so no token is ever empty.  The separators are
// the space and, where `newline_too`, the newline.  A NUL byte ends the
// line's text, as it ends a C string.
bool next_token(const char *&p, const char *end, bool newline_too, token *t)
{
    while (p < end && (*p == ' ' || (newline_too && *p == '\n')))
        ++p;
    if (p == end || *p == '\0') {
        p = end;
        return false;
    }
    const char *s = p;
    while (p < end && *p != ' ' && *p != '\0' && !(newline_too && *p == '\n'))
        ++p;
    t->s = s;
    t->n = static_cast<std::size_t>(p - s);
    return true;
}

// The second token of a header line as strtol() converts it; false when the
// line holds fewer than two tokens.
bool second_long(const text_line &l, bool newline_too, long *v)
{
    const char *p = l.begin;
    token t;
    if (!next_token(p, l.end, newline_too, &t) || !next_token(p, l.end, newline_too, &t))
        return false;
    *v = parse_long(t.s, t.n);
    return true;
}

// A weight token, the same two ways.
void take_weight(const token &t, double *out) { *out = parse_double(t.s, t.n); }
void take_weight(const token &t, le_text *out) { *out = le_text_of(t.s, t.n); }

// Converts the first D numbers of a values line into `row` (or, with `row`
// null, only counts them); returns how many the line held, up to D.
template <typename Cell>
std::int64_t parse_row(const text_line &l, std::int32_t D, Cell *row)
{
    if (row == nullptr)
        return count_values(widest_scan(), l.begin, l.end, D);
    return read_values(widest_scan(), l.begin, l.end, D, row);
}

constexpr read_result no_fault{};

// Whether the line holds a byte that no text holds.
bool binary_line(const text_line &l)
{
    for (const char *p = l.begin; p < l.end; ++p)
        if (binary_byte(static_cast<unsigned char>(*p)))
            return true;
    return false;
}

// Whether the line's first token starts with `keyword` (capitals), in any
// case: after any spaces, its characters.
bool starts_with_keyword(const text_line &l, const char *keyword)
{
    const char *p = l.begin;
    while (p < l.end && *p == ' ')
        ++p;
    for (; *keyword != '\0'; ++p, ++keyword)
        if (p == l.end || (*p >= 'a' && *p <= 'z' ? *p - 32 : *p) != *keyword)
            return false;
    return true;
}

// Line n of a checked file: text, starting with `keyword` and, where
// count >= 0, holding that count as its second token.
bool check_line(const text_line &l, std::int64_t n, const char *keyword, std::int64_t count, read_result *res)
{
    long found;
    if (binary_line(l)) {
        *res = fault_at(read_fault::not_text, n);
        return false;
    }
    if (starts_with_keyword(l, keyword) && (count < 0 || (second_long(l, true, &found) && found == count)))
        return true;
    *res = fault_at(read_fault::layout, n);
    char want[32], seen[41];
    std::snprintf(want, sizeof want, count < 0 ? "%s" : "%s %lld", keyword, static_cast<long long>(count));
    std::size_t k = 0;
    for (const char *p = l.begin; p < l.end && *p != '\n' && k + 1 < sizeof seen; ++p)
        seen[k++] = *p >= ' ' && *p < 0x7f ? *p : '?';
    seen[k] = '\0';
    std::snprintf(res->text, sizeof res->text, "%s expected, found \"%s\"", want, seen);
    return false;
}

// Takes the next line of a file that must hold `expected` lines.
[[gnu::always_inline]] inline bool take(line_reader *in, text_line *l, std::int64_t expected, read_result *res)
{
    switch (next_line(in, l)) {
    case line_status::ok:
        return true;
    case line_status::end:
        *res = {read_fault::short_file, in->count, 0, expected, {}};
        return false;
    case line_status::error:
        break;
    }
    *res = fault_at(read_fault::read_error, in->count + 1);
    return false;
}

// Reads a values line into `row`.
template <typename Cell>
bool take_row(line_reader *in, std::int32_t D, Cell *row, std::int64_t expected, read_result *res)
{
    text_line l;
    if (!take(in, &l, expected, res))
        return false;
    std::int64_t k = parse_row(l, D, row);
    if (k < D) {
        *res = {l.cut ? read_fault::long_line : read_fault::few_values, in->count, k, D, {}};
        return false;
    }
    return true;
}

// Lines 1 to 8 under `rule`.
read_result take_header(std::int32_t D, std::int32_t M, line_reader *in, read_rule rule)
{
    if (rule == read_rule::checked) {
        model_header h;
        read_result res = read_model_header(in, &h, rule);
        if (res.fault == read_fault::none && h.vector_size != D)
            res = {read_fault::other_vector_size, 3, h.vector_size, D, {}};
        else if (res.fault == read_fault::none && h.mixture_count != M)
            res = {read_fault::other_mixture_count, 8, h.mixture_count, M, {}};
        return res;
    }
    const std::int64_t expected = 8 + 6 * static_cast<std::int64_t>(M);
    read_result res = no_fault;
    text_line l;
    for (int n = 0; n < 8; ++n)
        if (!take(in, &l, expected, &res))
            return res;
    return res;
}

// The lines after a checked model's components: a further <BEGINHMM>
// means the file holds more than one model, of which only the first would
// have been read.
read_result check_rest(line_reader *in)
{
    std::int64_t hmms = 1, first_extra = 0;
    text_line l;
    line_status st;
    while ((st = next_line(in, &l)) == line_status::ok)
        if (starts_with_keyword(l, "<BEGINHMM>") && hmms++ == 1)
            first_extra = in->count;
    if (st == line_status::error)
        return fault_at(read_fault::read_error, in->count + 1);
    if (hmms == 1)
        return no_fault;
    read_result res = fault_at(read_fault::layout, first_extra);
    std::snprintf(res.text, sizeof res.text, several_hmms_form, static_cast<long long>(hmms));
    return res;
}

template <typename Cell>
read_result read_components(std::int32_t D, std::int32_t M, line_reader *in, Cell **mu, Cell **sigma, Cell *w,
                            read_rule rule)
{
    const std::int64_t expected = 8 + 6 * static_cast<std::int64_t>(M);
    read_result res = take_header(D, M, in, rule);
    if (res.fault != read_fault::none)
        return res;
    const bool checked = rule == read_rule::checked;
    text_line l;
    for (std::int32_t i = 0; i < M; ++i) {
        // Component line: keyword, component number, weight.
        if (!take(in, &l, expected, &res) || (checked && !check_line(l, in->count, "<MIXTURE>", -1, &res)))
            return res;
        if (w != nullptr) {
            const char *p = l.begin;
            token t;
            if (!next_token(p, l.end, true, &t) || !next_token(p, l.end, true, &t) ||
                !next_token(p, l.end, true, &t))
                return fault_at(read_fault::no_weight, in->count);
            take_weight(t, &w[i]);
        }
        if (!take(in, &l, expected, &res) ||            // mean header
            (checked && !check_line(l, in->count, "<MEAN>", D, &res)) ||
            !take_row(in, D, mu[i], expected, &res) ||  // means
            !take(in, &l, expected, &res) ||            // variance header
            (checked && !check_line(l, in->count, "<VARIANCE>", D, &res)) ||
            !take_row(in, D, sigma != nullptr ? sigma[i] : static_cast<Cell *>(nullptr), expected, &res) ||
            !take(in, &l, expected, &res))              // Gaussian constant
            return res;
    }
    return checked ? check_rest(in) : res;
}

} // namespace

std::string read_fault_message(const read_result &r, const char *path)
{
    if (r.fault == read_fault::none)
        return {};
    const std::string found = std::to_string(r.found), expected = ", " + std::to_string(r.expected) + " expected";
    switch (r.fault) {
    case read_fault::read_error:
        return read_error(path);
    case read_fault::short_file:
        return file_message(path, "ends after line " + std::to_string(r.line) + ", " +
                                      std::to_string(r.expected) + " lines expected");
    case read_fault::bad_header:
        return line_message(path, r.line, "invalid model header");
    case read_fault::few_values:
        return line_message(path, r.line, found + " values" + expected);
    case read_fault::long_line:
        return line_message(path, r.line, "line longer than 9998 characters");
    case read_fault::other_vector_size:
        return line_message(path, r.line, "vector size " + found + expected);
    case read_fault::other_mixture_count:
        return line_message(path, r.line, "mixture count " + found + expected);
    case read_fault::not_text:
        return line_message(path, r.line, "binary model definition, text expected");
    case read_fault::layout:
    case read_fault::keywords:
        return r.line > 0 ? line_message(path, r.line, r.text) : file_message(path, r.text);
    default:
        return line_message(path, r.line, "missing mixture weight");
    }
}

read_result read_model_header(line_reader *in, model_header *out, read_rule rule, const model_set *set)
{
    if (rule == read_rule::keywords)
        return read_keyword_header(in, out, set);
    // What a checked header's lines 3, 6, 7 and 8 start with, and a count
    // the line must give (-1: none).
    static constexpr struct {
        const char *keyword;
        std::int64_t count;
    } checked_lines[9] = {{}, {}, {}, {"<VECSIZE>", -1}, {}, {}, {"<NUMSTATES>", 3}, {"<STATE>", 2}, {"<NUMMIXES>", -1}};
    text_line l;
    read_result res;
    for (std::int64_t n = 1; n <= 8; ++n) {
        switch (next_line(in, &l)) {
        case line_status::ok:
            break;
        case line_status::end:
            return fault_at(read_fault::bad_header, n <= 3 ? 3 : 8);
        case line_status::error:
            return fault_at(read_fault::read_error, n);
        }
        if (rule == read_rule::checked && checked_lines[n].keyword == nullptr && binary_line(l))
            return fault_at(read_fault::not_text, n);
        if (rule == read_rule::checked && checked_lines[n].keyword != nullptr &&
            !check_line(l, n, checked_lines[n].keyword, checked_lines[n].count, &res))
            return res;
        if (n != 3 && n != 8)
            continue;
        long count;
        if (!second_long(l, n == 8, &count))
            return fault_at(read_fault::bad_header, n);
        // A plain read keeps the low 32 bits; a checked one refuses what
        // they cannot hold.
        if (rule == read_rule::checked && (count > INT32_MAX || count < INT32_MIN)) {
            res = fault_at(read_fault::layout, n);
            std::snprintf(res.text, sizeof res.text, count_too_large_form, checked_lines[n].keyword,
                          static_cast<long long>(count));
            return res;
        }
        std::int32_t &field = n == 3 ? out->vector_size : out->mixture_count;
        field = low_32_bits(count);
        if (field < 1)
            return fault_at(read_fault::bad_header, n);
    }
    return no_fault;
}

namespace {

// Storage for a block of `bytes`.  A large block is placed on whole huge
// pages and the kernel asked to back it with them, so that filling it
// costs a page fault every 2 MiB, not every 4 KiB.  Either way it is
// released with free() and its pages are obtained when first written.
void *alloc_block(std::uint64_t bytes)
{
    constexpr std::uint64_t huge = std::uint64_t{1} << 21;
    if (bytes < huge / 2 || bytes > SIZE_MAX - huge)
        return std::malloc(static_cast<std::size_t>(bytes));
    const std::size_t whole = static_cast<std::size_t>((bytes + huge - 1) & ~(huge - 1));
    void *p = std::aligned_alloc(huge, whole);
    if (p != nullptr)
        madvise(p, whole, MADV_HUGEPAGE); // advice only: a refusal changes nothing
    return p;
}

// M rows of D cells: one block and M row pointers.
template <typename Cell>
bool alloc_rows(std::int32_t M, std::int32_t D, Cell **block_out, Cell ***rows_out)
{
    if (M < 1 || D < 1)
        return false;
    std::uint64_t cells, bytes;
    if (__builtin_mul_overflow(static_cast<std::uint64_t>(M), static_cast<std::uint64_t>(D), &cells) ||
        __builtin_mul_overflow(cells, std::uint64_t{sizeof(Cell)}, &bytes))
        return false;
    auto **rows = static_cast<Cell **>(std::malloc(static_cast<std::size_t>(M) * sizeof(Cell *)));
    auto *block = static_cast<Cell *>(alloc_block(bytes));
    if (rows == nullptr || block == nullptr) {
        std::free(rows);
        std::free(block);
        return false;
    }
    for (std::int32_t i = 0; i < M; ++i)
        rows[i] = block + static_cast<std::size_t>(i) * static_cast<std::size_t>(D);
    *block_out = block;
    *rows_out = rows;
    return true;
}

} // namespace

bool alloc_component_matrix(std::int32_t M, std::int32_t D, component_matrix *out)
{
    return alloc_rows(M, D, &out->block, &out->rows);
}

bool alloc_text_matrix(std::int32_t M, std::int32_t D, text_matrix *out)
{
    return alloc_rows(M, D, &out->block, &out->rows);
}

void free_component_matrix(component_matrix *m)
{
    std::free(m->block);
    std::free(m->rows);
    *m = {};
}

bool alloc_value_lines(std::int32_t M, std::int32_t D, value_lines *out)
{
    value_lines v = {};
    v.weight = static_cast<std::int64_t *>(std::malloc(static_cast<std::size_t>(M) * sizeof(std::int64_t)));
    if (v.weight == nullptr || !alloc_rows(M, D, &v.block, &v.variance)) {
        std::free(v.weight);
        return false;
    }
    *out = v;
    return true;
}

void free_value_lines(value_lines *v)
{
    std::free(v->weight);
    std::free(v->variance);
    std::free(v->block);
    *v = {};
}

read_result read_mu_sigma(std::int32_t D, std::int32_t M, line_reader *in, double **mu, double **sigma,
                          read_rule rule, const model_set *set)
{
    if (rule == read_rule::keywords)
        return read_by_keywords(D, M, in, mu, sigma, nullptr, nullptr, set);
    return read_components<double>(D, M, in, mu, sigma, nullptr, rule);
}

read_result read_mu_sigma_w(std::int32_t D, std::int32_t M, line_reader *in, double **mu, double **sigma,
                            double *w, read_rule rule, const value_lines *where, const model_set *set)
{
    if (rule == read_rule::keywords)
        return read_by_keywords(D, M, in, mu, sigma, w, where, set);
    return read_components(D, M, in, mu, sigma, w, rule);
}

} // namespace gmm

namespace gmm {

read_result read_mu_sigma_w_text(std::int32_t D, std::int32_t M, line_reader *in, le_text **mu, le_text **sigma,
                                 le_text *w, read_rule rule, const model_set *set)
{
    if (rule == read_rule::keywords)
        return read_by_keywords(D, M, in, mu, sigma, w, set);
    return read_components(D, M, in, mu, sigma, w, rule);
}

} // namespace gmm
