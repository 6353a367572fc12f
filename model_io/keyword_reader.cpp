#include "keyword_reader.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <type_traits>
#include <vector>

#include "le_text.h"
#include "messages.h"
#include "model_set.h"
#include "parse_number.h"
#include "values_line.h"

namespace gmm {

namespace {

// The keywords the reader acts on; every other one is `other` (a parameter
// kind such as <MFCC_E_D_A>, a duration kind, ...).
enum class kw {
    other, beginhmm, endhmm, numstates, state, nummixes, mixture, mean, variance, gconst, transp, vecsize,
    streaminfo, hmmsetid, diagc, invdiagc, fullc, lltc, xformc, sweights, stream, invcovar, lltcovar, xform,
    duration, projsize, inputxform, tmix, dprob,
};

// In the order of their names, for the lookup below; a name is padded with
// zeros to 16 bytes, compared as two words.
struct named_keyword {
    char name[16];
    kw key;
};

constexpr named_keyword keywords[] = {
    {"BEGINHMM", kw::beginhmm}, {"DIAGC", kw::diagc},           {"DPROB", kw::dprob},
    {"DURATION", kw::duration}, {"ENDHMM", kw::endhmm},         {"FULLC", kw::fullc},
    {"GCONST", kw::gconst},     {"HMMSETID", kw::hmmsetid},     {"INPUTXFORM", kw::inputxform},
    {"INVCOVAR", kw::invcovar}, {"INVDIAGC", kw::invdiagc},     {"LLTC", kw::lltc},
    {"LLTCOVAR", kw::lltcovar}, {"MEAN", kw::mean},             {"MIXTURE", kw::mixture},
    {"NUMMIXES", kw::nummixes}, {"NUMSTATES", kw::numstates},   {"PROJSIZE", kw::projsize},
    {"STATE", kw::state},       {"STREAM", kw::stream},         {"STREAMINFO", kw::streaminfo},
    {"SWEIGHTS", kw::sweights}, {"TMIX", kw::tmix},             {"TRANSP", kw::transp},
    {"VARIANCE", kw::variance}, {"VECSIZE", kw::vecsize},       {"XFORM", kw::xform},
    {"XFORMC", kw::xformc},
};

// For each first letter A to Z, where its keywords begin in the table.
constexpr auto keywords_from = [] {
    struct {
        unsigned char at[27];
    } t{};
    const unsigned n = sizeof keywords / sizeof keywords[0];
    for (int c = 0; c <= 26; ++c) {
        unsigned i = 0;
        while (i < n && keywords[i].name[0] - 'A' < c)
            ++i;
        t.at[c] = static_cast<unsigned char>(i);
    }
    return t;
}();

// The longest symbol kept (a keyword, a number, a macro's name).
constexpr std::size_t symbol_chars = 255;

// What follows a keyword in binary storage.
enum class payload : unsigned char {
    none,
    one_short,       // a count or a number
    short_and_float, // a component's number and weight
    one_float,
    shorts,          // a count n, then n shorts
    floats,          // a count n, then n floats
    triangle,        // a count n, then n(n+1)/2 floats
    square,          // a count n, then n x n floats
};

struct symbol {
    enum { end, keyword, macro, word } kind;
    kw key;      // keyword
    char type;   // macro: its letter
    payload binary; // keyword: what follows it in binary, where it is a binary one
    std::int64_t line;
    std::int64_t at, piece; // its place in the file, and that of its piece
    std::size_t n;
    alignas(8) char text[symbol_chars + 1]; // keyword: its name in capitals; macro:
                                 // its name; word: the word
};

// The text of a file as symbols, a piece (a line, or part of a long one)
// at a time.
//
// A binary keyword is ':' and a one-byte code, and the numbers after it are
// binary too: 16-bit integers and 32-bit floats, big-endian or, `little`,
// little-endian.
struct lexer {
    line_reader *in;
    char *begin = nullptr, *p = nullptr, *end = nullptr; // the piece, and the next character
    std::int64_t piece_at = 0; // the piece's place in the file
    bool cut = true;        // the piece goes on in the next (true before the first)
    std::int64_t line = 0;  // the line p is on
    bool failed = false;    // a read failed
    bool peeked = false;
    bool binary = false;      // the last keyword read was binary: its numbers are
    bool binary_seen = false; // a binary keyword has been read
    bool little = false;
    symbol next;            // the symbol peeked
};

// Back to the start of the file (whose reader has been restarted).
void restart(lexer *x)
{
    x->begin = x->p = x->end = nullptr;
    x->piece_at = 0;
    x->cut = true;
    x->line = 0;
    x->peeked = false;
    x->binary = false;
}

// The place of the next character in the file.
std::int64_t offset(const lexer *x) { return x->piece_at + (x->p - x->begin); }

bool next_piece(lexer *x)
{
    if (x->failed) // nothing more is read after a failed read
        return false;
    text_line l;
    const bool went_on = x->cut;
    switch (gmm::next_line(x->in, &l)) {
    case line_status::ok:
        break;
    case line_status::end:
        return false;
    case line_status::error:
        x->failed = true;
        return false;
    }
    x->line += went_on ? 0 : 1;
    if (x->line == 0)
        x->line = 1;
    x->piece_at += x->end - x->begin;
    x->begin = x->p = l.begin;
    x->end = l.end;
    x->cut = l.cut;
    return true;
}

// What a character is to the lexer, one table read a character.
// A symbol is scanned up to the first character of a class its kind stops
// at, or a control character.
enum : unsigned char { blank = 1, control = 2, opens = 4, macro_mark = 8, closes = 16, quote = 32, line_end = 64 };

constexpr auto character = [] {
    struct {
        unsigned char of[256];
    } t{};
    for (int c = 0; c < 256; ++c)
        t.of[c] = c == ' ' || (c >= '\t' && c <= '\r') ? blank : binary_byte(static_cast<unsigned char>(c)) ? control : 0;
    t.of[static_cast<unsigned char>('<')] = opens;
    t.of[static_cast<unsigned char>('~')] = macro_mark;
    t.of[static_cast<unsigned char>('>')] = closes;
    t.of[static_cast<unsigned char>('"')] = quote;
    t.of[static_cast<unsigned char>('\n')] |= line_end;
    t.of[static_cast<unsigned char>('\r')] |= line_end;
    return t;
}();

unsigned char class_of(char c) { return character.of[static_cast<unsigned char>(c)]; }

// White space: the space, the newline, the tab, the carriage return, the
// vertical tab and the form feed.
bool is_blank(char c) { return (class_of(c) & blank) != 0; }

// Skips white space, across pieces; false at the end of the text.
bool skip_blanks(lexer *x)
{
    for (;;) {
        while (x->p < x->end && is_blank(*x->p))
            ++x->p;
        if (x->p < x->end)
            return true;
        if (!next_piece(x))
            return false;
    }
}

bool is_control(char c) { return (class_of(c) & control) != 0; }

// What can be wrong with a symbol as it is scanned.
enum class scan { ok, too_long, control, unclosed };

// Appends to s the characters from p up to one of a class in `stop`, going
// on into the next piece where a long line was cut.
scan take_until(lexer *x, symbol *s, unsigned char stop)
{
    stop |= control;
    for (;;) {
        const char *q = x->p;
        while (q < x->end && (class_of(*q) & stop) == 0)
            ++q;
        const std::size_t n = static_cast<std::size_t>(q - x->p);
        if (q < x->end && is_control(*q))
            return scan::control;
        if (n > symbol_chars - s->n)
            return scan::too_long;
        std::memcpy(s->text + s->n, x->p, n);
        s->n += n;
        x->p = const_cast<char *>(q);
        if (x->p < x->end || !x->cut || !next_piece(x))
            return scan::ok;
    }
}

// Makes the n letters a to z at `text` capitals, eight bytes a round (the
// bytes up to the next multiple of eight are the symbol's own storage).
void capitals(char *text, std::size_t n)
{
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    for (std::size_t i = 0; i < n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, text + i, 8);
        const std::uint64_t low = w & (0x7f * ones);
        const std::uint64_t from_a = low + (0x80 - 'a') * ones; // top bit: at least 'a'
        const std::uint64_t past_z = low + (0x80 - 'z' - 1) * ones; // top bit: beyond 'z'
        w ^= ((from_a & ~past_z & ~w) & (0x80 * ones)) >> 2;
        std::memcpy(text + i, &w, 8);
    }
}

// The keyword named `name` (n capitals; 16 bytes are read at `name`).
kw keyword_of(const char *name, std::size_t n)
{
    const unsigned c = static_cast<unsigned char>(name[0] - 'A');
    if (c >= 26 || n >= sizeof keywords[0].name)
        return kw::other;
    const auto first = [](std::size_t k) { return k >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * k)) - 1; };
    std::uint64_t low, high;
    std::memcpy(&low, name, 8);
    std::memcpy(&high, name + 8, 8);
    low &= first(n);
    high &= n > 8 ? first(n - 8) : 0;
    for (unsigned i = keywords_from.at[c]; i < keywords_from.at[c + 1]; ++i) {
        std::uint64_t a, b;
        std::memcpy(&a, keywords[i].name, 8);
        std::memcpy(&b, keywords[i].name + 8, 8);
        if (a == low && b == high)
            return keywords[i].key;
    }
    return kw::other;
}

// The symbols the reader meets most (the keywords, counts and numbers of
// each component) are taken in place where they lie whole in the piece at
// hand: these return false where they do not, having taken nothing but
// white space, and the symbol reader then reads whatever is there (and
// says what is wrong with it).

// The next word's place, [*b, *e): up to white space, a keyword or a macro
// (the characters that end a word for the symbol reader), no longer than a
// symbol.
bool word_here(lexer *x, const char **b, const char **e)
{
    if (x->peeked || !skip_blanks(x))
        return false;
    const char *q = x->p;
    while (q < x->end && (class_of(*q) & (blank | opens | macro_mark | control)) == 0)
        ++q;
    if ((q == x->end && x->cut) || (q < x->end && is_control(*q)) ||
        static_cast<std::size_t>(q - x->p) > symbol_chars)
        return false;
    *b = x->p;
    *e = q;
    return true;
}

// Skips the rest of an HMM's body in text to just after its <ENDHMM>, a
// piece at a time, while the pieces hold no quote, macro or binary keyword
// (which the symbol reader must see, as a quoted text may hold a '<'):
// true there.  False where a piece holds one, or where a keyword may go on
// into the next piece: the lexer then stands at a symbol's start in that
// piece, for the symbol reader to go on from.  Nothing else in the body is
// looked at: it is read when the HMM is.
bool skip_plain_body(lexer *x)
{
    if (x->peeked || x->binary)
        return false;
    for (;;) {
        if (x->p == x->end && !next_piece(x))
            return false;
        const std::size_t n = static_cast<std::size_t>(x->end - x->p);
        if (std::memchr(x->p, '"', n) != nullptr || std::memchr(x->p, '~', n) != nullptr ||
            std::memchr(x->p, ':', n) != nullptr)
            return false;
        for (char *q = x->p;; ++q) {
            q = static_cast<char *>(std::memchr(q, '<', static_cast<std::size_t>(x->end - q)));
            if (q == nullptr)
                break;
            if (x->end - q < 8) {
                if (!x->cut)
                    break;
                x->p = q; // the keyword may be cut
                return false;
            }
            std::uint64_t name;
            std::memcpy(&name, q, 8);
            // "<ENDHMM>" in any case: letters differ from their small form
            // only in bit 5, which '<' and '>' have clear.
            constexpr std::uint64_t small = 0x0020202020202000ULL;
            std::uint64_t want;
            std::memcpy(&want, "<endhmm>", 8);
            if ((name | small) == want) {
                x->p = q + 8;
                return true;
            }
        }
        x->p = x->end;
    }
}

// Takes the keyword `key` (its line into *line, where given).
bool keyword_here(lexer *x, kw key, std::int64_t *line = nullptr)
{
    if (x->peeked || !skip_blanks(x) || *x->p != '<')
        return false;
    const char *name = x->p + 1, *q = name;
    while (q < x->end && (class_of(*q) & (closes | blank | opens | control)) == 0)
        ++q;
    char text[16] = {};
    const std::size_t n = static_cast<std::size_t>(q - name);
    if (q == x->end || *q != '>' || n == 0 || n >= sizeof text)
        return false;
    std::memcpy(text, name, n);
    capitals(text, n);
    if (keyword_of(text, n) != key)
        return false;
    if (line != nullptr)
        *line = x->line;
    x->p = const_cast<char *>(q) + 1;
    x->binary = false;
    return true;
}

// The keywords of binary storage, by their codes.
struct binary_keyword {
    unsigned char code;
    char name[11];
    kw key;
    payload after;
};

constexpr binary_keyword binary_keywords[] = {
    {0, "BEGINHMM", kw::beginhmm, payload::none},
    {2, "ENDHMM", kw::endhmm, payload::none},
    {3, "NUMMIXES", kw::nummixes, payload::one_short}, // one stream: one count
    {4, "NUMSTATES", kw::numstates, payload::one_short},
    {5, "STREAMINFO", kw::streaminfo, payload::shorts},
    {6, "VECSIZE", kw::vecsize, payload::one_short},
    {7, "NULLD", kw::other, payload::none},
    {12, "DIAGC", kw::diagc, payload::none},
    {13, "FULLC", kw::fullc, payload::none},
    {15, "STATE", kw::state, payload::one_short},
    {17, "MIXTURE", kw::mixture, payload::short_and_float},
    {18, "STREAM", kw::stream, payload::one_short},
    {19, "SWEIGHTS", kw::sweights, payload::floats},
    {20, "MEAN", kw::mean, payload::floats},
    {21, "VARIANCE", kw::variance, payload::floats},
    {22, "INVCOVAR", kw::invcovar, payload::triangle},
    {24, "GCONST", kw::gconst, payload::one_float},
    {26, "INVDIAGC", kw::invdiagc, payload::none},
    {27, "TRANSP", kw::transp, payload::square},
    {29, "LLTC", kw::lltc, payload::none},
};

const binary_keyword *binary_keyword_of(unsigned char code)
{
    for (const binary_keyword &b : binary_keywords)
        if (b.code == code)
            return &b;
    return nullptr;
}

// Takes the next n bytes into `to`, across pieces; false where the file
// ends (or a read fails) first.
bool take_bytes(lexer *x, unsigned char *to, std::size_t n)
{
    while (n > 0) {
        if (x->p == x->end && !next_piece(x))
            return false;
        const std::size_t k = std::min(n, static_cast<std::size_t>(x->end - x->p));
        std::memcpy(to, x->p, k);
        x->p += k;
        to += k;
        n -= k;
    }
    return true;
}

// The n bytes at b as a number in the lexer's byte order.
std::uint32_t binary_word(const lexer *x, const unsigned char *b, int n)
{
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i)
        v |= std::uint32_t{b[i]} << 8 * (x->little ? i : n - 1 - i);
    return v;
}

} // namespace

namespace {

struct reference {
    char type;           // s, m, u, v or t
    std::string name;
    std::int32_t component; // the component it stands in, or -1
    std::int64_t line;
    std::int32_t file;      // where it is: a set's file, or -1
    bool resolved;
};

template <typename Cell>
struct parser {
    lexer x;
    read_result res{};
    bool probe = false;          // header only
    int pass = 1;
    std::int32_t D = 0, M = 0;   // what the file gives so far (0: unknown)
    std::int32_t want_D = 0, want_M = 0;
    Cell **mu = nullptr, **sigma = nullptr;
    Cell *w = nullptr;
    std::int64_t *w_lines = nullptr, **sigma_lines = nullptr; // where the values are (value_lines)
    std::vector<char> given;     // components given
    std::int64_t components_end = 0; // the line where the model's components end
    std::vector<reference> refs;
    int hmms = 0;
    std::int64_t second_hmm = 0;
    bool done = false;           // probe: D and M known
    std::int64_t stopped_at = 0; // where a fault stopped the reading
    const model_set *set = nullptr; // the loaded set the model may use, or null
    std::vector<set_definition> *index = nullptr; // loading a set's file: its definitions
    std::int32_t file = -1;         // the set's file being read, or -1
    std::int32_t model_file = -1;   // the file of the model's HMM
    char *chunk = nullptr;          // storage for reading the set's files
};

template <typename Cell>
bool fault(parser<Cell> *P, std::int64_t line, const char *form, ...)
{
    if (P->res.fault != read_fault::none)
        return false;
    P->res = fault_at(read_fault::keywords, line);
    va_list a;
    va_start(a, form);
    std::vsnprintf(P->res.text, sizeof P->res.text, form, a);
    va_end(a);
    return false;
}

template <typename Cell>
bool ok(const parser<Cell> *P)
{
    return P->res.fault == read_fault::none && !P->done;
}

// The fault of a file that is not text.
template <typename Cell>
bool binary(parser<Cell> *P, std::int64_t line)
{
    if (P->res.fault == read_fault::none)
        P->res = fault_at(read_fault::not_text, line);
    return false;
}

// The file ends (or a read fails) inside the binary item at `at`.
template <typename Cell>
bool ends_inside(parser<Cell> *P, std::int64_t at)
{
    if (!P->x.failed)
        return fault(P, P->x.line, "the file ends inside the binary item at offset %lld", static_cast<long long>(at));
    if (P->res.fault == read_fault::none)
        P->res = fault_at(read_fault::read_error, P->x.line + 1);
    return false;
}

// A binary 16-bit integer.
template <typename Cell>
bool binary_short(parser<Cell> *P, std::int64_t *v)
{
    unsigned char b[2];
    const std::int64_t at = offset(&P->x);
    if (!take_bytes(&P->x, b, 2))
        return ends_inside(P, at);
    *v = static_cast<std::int16_t>(binary_word(&P->x, b, 2));
    return true;
}

// A binary 32-bit float, widened, into *out where out is given.
template <typename Cell>
bool binary_float(parser<Cell> *P, Cell *out)
{
    unsigned char b[4];
    const std::int64_t at = offset(&P->x);
    if (!take_bytes(&P->x, b, 4))
        return ends_inside(P, at);
    if (out == nullptr)
        return true;
    const double v = std::bit_cast<float>(binary_word(&P->x, b, 4));
    if constexpr (std::is_same_v<Cell, double>)
        *out = v;
    else
        out->size = static_cast<std::uint8_t>(format_le(out->text, v) - out->text);
    return true;
}

// Reads the next symbol into *s.
template <typename Cell>
bool read_symbol(parser<Cell> *P, symbol *s)
{
    lexer *x = &P->x;
    s->n = 0;
    s->key = kw::other;
    s->type = 0;
    s->binary = payload::none;
    x->binary = false;
    if (!skip_blanks(x)) {
        s->kind = symbol::end;
        s->line = x->line;
        if (x->failed)
            P->res = fault_at(read_fault::read_error, x->line + 1);
        return !x->failed;
    }
    s->line = x->line;
    s->at = offset(x);
    s->piece = x->piece_at;
    scan r;
    const char c = *x->p;
    if (c == '<') {
        s->kind = symbol::keyword;
        ++x->p;
        r = take_until(x, s, closes | blank | opens);
        if (r == scan::ok && (x->p == x->end || *x->p != '>'))
            r = scan::unclosed;
        else if (r == scan::ok)
            ++x->p;
        capitals(s->text, s->n);
        s->text[s->n] = '\0';
        if (s->n > 0)
            s->key = keyword_of(s->text, s->n);
    } else if (c == ':') {
        s->kind = symbol::keyword;
        const std::int64_t at = offset(x);
        ++x->p;
        unsigned char code;
        if (!take_bytes(x, &code, 1))
            return ends_inside(P, at);
        const binary_keyword *b = binary_keyword_of(code);
        if (b == nullptr)
            return fault(P, s->line, "binary keyword code %u at offset %lld: no code this reader knows", code,
                         static_cast<long long>(at));
        s->n = std::strlen(b->name);
        std::memcpy(s->text, b->name, s->n + 1);
        s->key = b->key;
        s->binary = b->after;
        x->binary = x->binary_seen = true;
        return true;
    } else if (c == '~') {
        s->kind = symbol::macro;
        ++x->p;
        if (x->p == x->end || is_blank(*x->p) || is_control(*x->p))
            return fault(P, s->line, "a macro marker \"~\" without its letter");
        s->type = static_cast<char>(*x->p++ | 0x20);
        if (s->type == 'o') { // the options have no name
            s->text[0] = '\0';
            return true;
        }
        if (!skip_blanks(x))
            return fault(P, s->line, "~%c without a name", s->type);
        if (*x->p == '"') {
            ++x->p;
            r = take_until(x, s, quote | line_end);
            if (r == scan::ok && (x->p == x->end || *x->p != '"'))
                r = scan::unclosed;
            else if (r == scan::ok)
                ++x->p;
        } else {
            r = take_until(x, s, blank | opens);
        }
    } else {
        s->kind = symbol::word;
        if (c == '"') {
            ++x->p;
            r = take_until(x, s, quote | line_end);
            if (r == scan::ok && x->p < x->end && *x->p == '"')
                ++x->p;
        } else {
            r = take_until(x, s, blank | opens | macro_mark);
        }
    }
    s->text[s->n] = '\0';
    switch (r) {
    case scan::ok:
        return true;
    case scan::control:
        return binary(P, x->line);
    case scan::too_long:
        return fault(P, s->line, "a symbol longer than %zu characters", symbol_chars);
    case scan::unclosed:
        return fault(P, s->line, "\"%.40s\" not closed", s->text);
    }
    return true;
}

template <typename Cell>
const symbol *peek(parser<Cell> *P)
{
    if (!P->x.peeked && read_symbol(P, &P->x.next))
        P->x.peeked = true;
    if (!P->x.peeked) {
        P->x.next.kind = symbol::end;
        return &P->x.next;
    }
    return &P->x.next;
}

template <typename Cell>
const symbol *take(parser<Cell> *P)
{
    const symbol *s = peek(P);
    P->x.peeked = false;
    return s;
}

// A symbol named for a message.
const char *named(const symbol *s)
{
    static thread_local char text[64];
    switch (s->kind) {
    case symbol::end:
        return "the end of the file";
    case symbol::keyword:
        std::snprintf(text, sizeof text, "<%.40s>", s->text);
        return text;
    case symbol::macro:
        std::snprintf(text, sizeof text, "~%c \"%.40s\"", s->type, s->text);
        return text;
    case symbol::word:
        break;
    }
    std::snprintf(text, sizeof text, "\"%.40s\"", s->text);
    return text;
}

template <typename Cell>
bool expected(parser<Cell> *P, const symbol *s, const char *what)
{
    return fault(P, s->line, "%s where %s was expected", named(s), what);
}

template <typename Cell>
bool expect_keyword(parser<Cell> *P, kw key, const char *what)
{
    const symbol *s = take(P);
    return s->kind == symbol::keyword && s->key == key ? true : expected(P, s, what);
}

// The n characters at t as a whole number: an optional sign and up to ten
// digits.
bool integer_of(const char *t, std::size_t n, std::int64_t *v)
{
    const std::size_t sign = n > 0 && (t[0] == '-' || t[0] == '+');
    bool digits = n > sign && n <= 10 + sign;
    std::int64_t value = 0;
    for (std::size_t i = sign; digits && i < n; ++i) {
        digits = t[i] >= '0' && t[i] <= '9';
        value = value * 10 + (t[i] - '0');
    }
    if (digits)
        *v = t[0] == '-' ? -value : value;
    return digits;
}

// A whole number.
template <typename Cell>
bool take_integer(parser<Cell> *P, const char *what, std::int64_t *v)
{
    if (P->x.binary)
        return ok(P) && binary_short(P, v);
    const char *b, *e;
    if (ok(P) && word_here(&P->x, &b, &e) && integer_of(b, static_cast<std::size_t>(e - b), v)) {
        P->x.p = const_cast<char *>(e);
        return true;
    }
    const symbol *s = take(P);
    if (!ok(P))
        return false;
    if (s->kind != symbol::word || !integer_of(s->text, s->n, v))
        return expected(P, s, what);
    return true;
}

// The token [s, e) as a number, wholly one, into *out where out is given.
template <typename Cell>
bool one_number(const char *s, const char *e, Cell *out)
{
    const std::size_t n = static_cast<std::size_t>(e - s);
    if (n == 0 || number_length(s, n) != n)
        return false;
    if (out == nullptr)
        return true;
    if constexpr (std::is_same_v<Cell, double>)
        *out = parse_double(s, n);
    else
        *out = le_text_of(s, n);
    return true;
}

// A number, wholly one, into *out (or only checked, where out is null).
template <typename Cell>
bool take_number(parser<Cell> *P, const char *what, Cell *out)
{
    if (P->x.binary)
        return ok(P) && binary_float(P, out);
    const char *b, *e;
    if (ok(P) && word_here(&P->x, &b, &e) && one_number(b, e, out)) {
        P->x.p = const_cast<char *>(e);
        return true;
    }
    const symbol *s = take(P);
    if (!ok(P))
        return false;
    if (s->kind != symbol::word || !one_number(s->text, s->text + s->n, out))
        return expected(P, s, what);
    return true;
}

// The line of the next symbol, taken in place where it can be.
template <typename Cell>
std::int64_t next_line(parser<Cell> *P)
{
    if (P->x.binary) // the numbers follow at once
        return P->x.line;
    return !P->x.peeked && skip_blanks(&P->x) ? P->x.line : peek(P)->line;
}

// A count that must be D: D itself where the file has not given it yet.
template <typename Cell>
bool take_size(parser<Cell> *P, const char *keyword)
{
    std::int64_t n = 0;
    const std::int64_t line = next_line(P);
    if (!take_integer(P, "a count", &n))
        return false;
    if (n > INT32_MAX) {
        char bracketed[24];
        std::snprintf(bracketed, sizeof bracketed, "<%s>", keyword);
        return fault(P, line, count_too_large_form, bracketed, static_cast<long long>(n));
    }
    if (n < 1)
        return fault(P, line, "<%s> %lld: a count of at least 1 expected", keyword, static_cast<long long>(n));
    if (P->D == 0) {
        if (P->want_D != 0 && n != P->want_D) {
            P->res = {read_fault::other_vector_size, line, n, P->want_D, {}};
            return false;
        }
        P->D = static_cast<std::int32_t>(n);
        P->done = P->probe && P->M != 0;
        return true;
    }
    if (n != P->D)
        return fault(P, line, "<%s> %lld, %d expected", keyword, static_cast<long long>(n), P->D);
    return true;
}

// Reads n numbers, spread over any number of lines, into row (or checks
// them, where row is null).  The values readers take the space and the
// newline as separators; a token they refuse is looked at again: white
// space of another kind is made spaces, and a keyword written straight
// after a number ends it.
template <typename Cell>
bool read_vector(parser<Cell> *P, std::int64_t n, Cell *row, std::int64_t *lines = nullptr)
{
    lexer *x = &P->x;
    std::int64_t last = x->line; // the line of the last value read
    std::int64_t k = 0;
    auto short_by = [&] {
        return fault(P, last, "%lld values, %lld expected", static_cast<long long>(k), static_cast<long long>(n));
    };
    for (; x->binary && k < n; ++k) {
        if (lines != nullptr)
            lines[k] = x->line;
        if (!binary_float(P, row != nullptr ? row + k : nullptr))
            return false;
    }
    while (k < n) {
        if (!skip_blanks(x)) {
            if (x->failed)
                P->res = fault_at(read_fault::read_error, x->line + 1);
            else
                short_by();
            return false;
        }
        // The piece's numbers, up to its last blank where a long line goes
        // on (the token cut there is read whole below).
        char *limit = x->end;
        if (x->cut)
            while (limit > x->p && !is_blank(limit[-1]))
                --limit;
        if (limit == x->p) {
            const std::int64_t line = x->line;
            if (!take_number(P, "a number", row != nullptr ? row + k : nullptr))
                return false;
            if (lines != nullptr)
                lines[k] = line;
            ++k;
            continue;
        }
        const char *after, *bad;
        const std::int32_t want = static_cast<std::int32_t>(std::min<std::int64_t>(n - k, INT32_MAX));
        const std::int64_t got = row != nullptr ? read_numbers(widest_scan(), x->p, limit, want, row + k, &after, &bad)
                                                : check_numbers(widest_scan(), x->p, limit, want, &after, &bad);
        if (lines != nullptr)
            std::fill(lines + k, lines + k + got, x->line);
        k += got;
        last = got > 0 ? x->line : last;
        x->p = const_cast<char *>(after);
        if (bad == nullptr)
            continue;
        char *t = const_cast<char *>(bad), *e = t;
        while (e < limit && *e != ' ' && *e != '\n')
            ++e;
        if (*t == '<')
            return short_by();
        char *other = t;
        while (other < e && !is_blank(*other) && *other != '<' && !is_control(*other))
            ++other;
        if (other < e && is_blank(*other)) { // a tab or a carriage return: made a space
            for (char *q = other; q < x->end; ++q)
                *q = is_blank(*q) && *q != '\n' ? ' ' : *q;
            x->p = t;
            continue;
        }
        if (other < e && *other == '<' && one_number(t, other, row != nullptr ? row + k : nullptr)) {
            if (lines != nullptr)
                lines[k] = x->line;
            ++k;
            last = x->line;
            x->p = other;
            continue;
        }
        if (other < e && is_control(*other))
            return binary(P, x->line);
        x->p = t;
        symbol s;
        read_symbol(P, &s);
        return expected(P, &s, "a number");
    }
    return true;
}

// Skips a vector of n numbers, each checked.
template <typename Cell>
bool skip_numbers(parser<Cell> *P, std::int64_t n)
{
    return read_vector<Cell>(P, n, nullptr);
}

// The number of values of an a × b matrix.  Two counts of ten digits can
// overflow 64 bits: the product is then capped (no file holds as many).
std::int64_t product(std::int64_t a, std::int64_t b)
{
    std::int64_t v;
    return __builtin_mul_overflow(a, b, &v) ? INT64_MAX : v;
}

// Skips the binary numbers after a binary keyword.
template <typename Cell>
bool skip_payload(parser<Cell> *P, payload after)
{
    std::int64_t n = 0, v = 0;
    switch (after) {
    case payload::none:
        return true;
    case payload::one_short:
        return binary_short(P, &n);
    case payload::short_and_float:
        return binary_short(P, &n) && binary_float<Cell>(P, nullptr);
    case payload::one_float:
        return binary_float<Cell>(P, nullptr);
    case payload::shorts:
        if (!binary_short(P, &n))
            return false;
        for (std::int64_t i = 0; i < n; ++i)
            if (!binary_short(P, &v))
                return false;
        return true;
    case payload::floats:
        return binary_short(P, &n) && skip_numbers(P, n);
    case payload::triangle:
        return binary_short(P, &n) && skip_numbers(P, product(n, n + 1) / 2);
    case payload::square:
        return binary_short(P, &n) && skip_numbers(P, product(n, n));
    }
    return true;
}

// A reference to a macro, to resolve in a later pass; none is kept from a
// definition the model does not use (component -1 in a component).
template <typename Cell>
void refer(parser<Cell> *P, const symbol *s, std::int32_t component, bool needed = true)
{
    if (needed)
        P->refs.push_back({s->type, std::string(s->text, s->n), component, s->line, P->file, false});
}

// The references of `type` to `name` that wait for their definition.
template <typename Cell>
std::vector<std::size_t> waiting(const parser<Cell> *P, char type, const symbol *name)
{
    std::vector<std::size_t> r;
    for (std::size_t i = 0; i < P->refs.size(); ++i)
        if (!P->refs[i].resolved && P->refs[i].type == type && P->refs[i].name.size() == name->n &&
            std::memcmp(P->refs[i].name.data(), name->text, name->n) == 0)
            r.push_back(i);
    return r;
}

template <typename Cell>
Cell *row_of(Cell **rows, std::int32_t component)
{
    return rows != nullptr && component >= 0 ? rows[component] : nullptr;
}

template <typename Cell>
void copy_row(Cell **rows, std::int32_t from, std::int32_t to, std::int32_t D)
{
    if (rows != nullptr && from != to)
        std::memcpy(rows[to], rows[from], static_cast<std::size_t>(D) * sizeof(Cell));
}

// A macro's variances copied to the component `to`, with their lines.
template <typename Cell>
void copy_variances(parser<Cell> *P, std::int32_t from, std::int32_t to)
{
    copy_row(P->sigma, from, to, P->D);
    copy_row(P->sigma_lines, from, to, P->D);
}

// <MEAN> or <VARIANCE>: its count, D, then its values into `rows` (and,
// for variances, their lines).
template <typename Cell>
bool vector_of(parser<Cell> *P, const char *keyword, Cell **rows, std::int32_t component)
{
    return take_size(P, keyword) &&
           (P->done || read_vector(P, P->D, row_of(rows, component),
                                   rows == P->sigma ? row_of(P->sigma_lines, component) : nullptr));
}

// The covariance forms other than diagonal variances.
bool full_covariance(const symbol *s)
{
    return (s->kind == symbol::keyword &&
            (s->key == kw::invcovar || s->key == kw::lltcovar || s->key == kw::xform)) ||
           (s->kind == symbol::macro && (s->type == 'i' || s->type == 'c' || s->type == 'x'));
}

// A mean or a variance: a ~u or ~v macro (`letter`) standing for it, or
// the keyword `key` (`name` without its brackets), its count and values.
template <typename Cell>
bool vector_or_macro(parser<Cell> *P, char letter, kw key, const char *name, Cell **rows, std::int32_t component)
{
    if (keyword_here(&P->x, key))
        return vector_of(P, name, rows, component);
    const symbol *s = peek(P);
    if (s->kind == symbol::macro && s->type == letter) {
        refer(P, take(P), component, component >= 0);
        return ok(P);
    }
    if (s->kind == symbol::keyword && s->key == key) {
        take(P);
        return vector_of(P, name, rows, component);
    }
    char what[32];
    std::snprintf(what, sizeof what, "<%s> or ~%c", name, letter);
    return expected(P, take(P), what);
}

// A mixture component's Gaussian: mean, variance, Gaussian constant, for
// `component` (-1: checked and let go).
template <typename Cell>
bool mixpdf(parser<Cell> *P, std::int32_t component)
{
    if (!vector_or_macro(P, 'u', kw::mean, "MEAN", P->mu, component) || P->done)
        return ok(P);
    if (keyword_here(&P->x, kw::variance)) {
        if (!vector_of(P, "VARIANCE", P->sigma, component))
            return false;
    } else {
        const symbol *s = peek(P);
        if (full_covariance(s))
            return fault(P, s->line, "full covariance (%s), diagonal variances expected", named(s));
        if (!vector_or_macro(P, 'v', kw::variance, "VARIANCE", P->sigma, component))
            return false;
    }
    if (keyword_here(&P->x, kw::gconst))
        return take_number<Cell>(P, "a number", nullptr);
    const symbol *s = peek(P);
    if (s->kind == symbol::keyword && s->key == kw::gconst) {
        take(P);
        return take_number<Cell>(P, "a number", nullptr);
    }
    return ok(P);
}

// A component: its mixpdf, or a ~m macro standing for it.
template <typename Cell>
bool component_body(parser<Cell> *P, std::int32_t component)
{
    if (!P->x.peeked && skip_blanks(&P->x) && *P->x.p == '<') // no macro
        return mixpdf(P, component);
    const symbol *s = peek(P);
    if (s->kind == symbol::macro && s->type == 'm') {
        refer(P, take(P), component, component >= 0);
        return ok(P);
    }
    return mixpdf(P, component);
}

// The number of mixture components: M, checked against the caller's.
template <typename Cell>
bool set_mixtures(parser<Cell> *P, std::int64_t m, std::int64_t line)
{
    if (m > INT32_MAX)
        return fault(P, line, count_too_large_form, "<NUMMIXES>", static_cast<long long>(m));
    if (m < 1)
        return fault(P, line, "<NUMMIXES> %lld: at least 1 expected", static_cast<long long>(m));
    if (P->want_M != 0 && m != P->want_M) {
        P->res = {read_fault::other_mixture_count, line, m, P->want_M, {}};
        return false;
    }
    P->M = static_cast<std::int32_t>(m);
    P->done = P->probe && P->D != 0;
    if (!P->done)
        P->given.assign(static_cast<std::size_t>(m), 0);
    return true;
}

// An optional `key` with its number, which must be 1 (one stream; `form`
// says otherwise), and `values` numbers after it.
template <typename Cell>
bool one_stream(parser<Cell> *P, kw key, const char *form, std::int64_t values)
{
    const symbol *s = peek(P);
    if (!(s->kind == symbol::keyword && s->key == key))
        return ok(P);
    const std::int64_t line = s->line;
    take(P);
    std::int64_t n = 0;
    if (!take_integer(P, "a count", &n))
        return false;
    if (n != 1)
        return fault(P, line, form, static_cast<long long>(n));
    return skip_numbers(P, values);
}

// The emitting state's contents: its components (or, `as_model` false, a
// shared state's, checked and let go).
template <typename Cell>
bool state_info(parser<Cell> *P, bool as_model)
{
    const symbol *s = peek(P);
    std::int64_t m = 1, line = s->line;
    if (s->kind == symbol::keyword && s->key == kw::nummixes) {
        take(P);
        if (!take_integer(P, "a count", &m))
            return false;
        if (peek(P)->kind == symbol::word)
            return fault(P, line, "mixture counts of several streams, one stream expected");
    }
    if (as_model && !set_mixtures(P, m, line))
        return false;
    if (P->done)
        return true;
    if (!one_stream(P, kw::sweights, "<SWEIGHTS> of %lld streams, one expected", 1) ||
        !one_stream(P, kw::stream, "stream %lld, one stream expected", 0))
        return false;
    s = peek(P);
    if (s->kind == symbol::keyword && (s->key == kw::tmix || s->key == kw::dprob))
        return fault(P, s->line, "%s: tied or discrete mixtures, Gaussians expected", named(s));
    // Without <MIXTURE>, one Gaussian of weight 1.
    if (!(s->kind == symbol::keyword && s->key == kw::mixture)) {
        if (m != 1)
            return expected(P, take(P), "<MIXTURE>");
        if (as_model) {
            P->given[0] = 1; // its weight, 1, needs no line: it is always usable
            if (P->w != nullptr) {
                if constexpr (std::is_same_v<Cell, double>)
                    P->w[0] = 1.0;
                else
                    P->w[0] = le_text_of("1", 1);
            }
        }
        return component_body(P, as_model ? 0 : -1);
    }
    for (;;) {
        if (!ok(P))
            break;
        if (!keyword_here(&P->x, kw::mixture, &line)) {
            if ((s = peek(P))->kind != symbol::keyword || s->key != kw::mixture) {
                if (as_model)
                    P->components_end = s->line;
                break;
            }
            line = take(P)->line;
        }
        std::int64_t k = 0;
        if (!take_integer(P, "a component number", &k))
            return false;
        if (k < 1 || k > m)
            return fault(P, line, "component %lld of %lld", static_cast<long long>(k), static_cast<long long>(m));
        const std::int32_t i = static_cast<std::int32_t>(k - 1);
        if (as_model && P->given[static_cast<std::size_t>(i)] != 0)
            return fault(P, line, "component %lld given twice", static_cast<long long>(k));
        if (as_model)
            P->given[static_cast<std::size_t>(i)] = 1;
        if (as_model && P->w_lines != nullptr)
            P->w_lines[i] = next_line(P);
        if (!take_number(P, "a weight", as_model && P->w != nullptr ? P->w + i : nullptr) ||
            !component_body(P, as_model ? i : -1))
            return false;
    }
    return ok(P);
}

// Skips what a <DURATION> holds.
template <typename Cell>
bool duration(parser<Cell> *P)
{
    const symbol *s = peek(P);
    if (!(s->kind == symbol::keyword && s->key == kw::duration))
        return true;
    take(P);
    std::int64_t n = 0;
    return take_integer(P, "a count", &n) && skip_numbers(P, n);
}

// The global options, as far as they go: a size, the stream and the
// covariance kind checked, the rest let go.
template <typename Cell>
bool options(parser<Cell> *P)
{
    for (;;) {
        const symbol *s = peek(P);
        if (!ok(P) || s->kind != symbol::keyword || s->key == kw::numstates || s->key == kw::beginhmm)
            return ok(P);
        take(P);
        const std::int64_t line = s->line;
        std::int64_t n = 0;
        switch (s->key) {
        case kw::vecsize:
            if (!take_size(P, "VECSIZE"))
                return false;
            break;
        case kw::streaminfo:
            if (!take_integer(P, "a count", &n))
                return false;
            if (n != 1)
                return fault(P, line, "<STREAMINFO> %lld: %lld streams, one expected", static_cast<long long>(n),
                             static_cast<long long>(n));
            if (!take_size(P, "STREAMINFO"))
                return false;
            break;
        case kw::hmmsetid:
            take(P);
            break;
        case kw::invdiagc:
        case kw::fullc:
        case kw::lltc:
        case kw::xformc:
            return fault(P, line, "%s: full or inverse covariances, diagonal variances expected", named(s));
        case kw::projsize:
            if (!take_integer(P, "a count", &n))
                return false;
            break;
        case kw::inputxform:
            return fault(P, line, "<INPUTXFORM>: input transforms are not read");
        case kw::diagc:
        case kw::other:
            break;
        default:
            return expected(P, s, "an option");
        }
        if (P->done)
            return true;
    }
}

// An HMM, after its ~h name or at its <BEGINHMM>.
template <typename Cell>
bool hmm(parser<Cell> *P)
{
    const std::int64_t line = peek(P)->line;
    if (P->index != nullptr || P->pass > 1 || ++P->hmms > 1) {
        if (P->hmms == 2 && P->second_hmm == 0)
            P->second_hmm = line;
        // Not the model, or another one: let go to its end, at once where
        // only its place is wanted.
        if (P->index != nullptr && peek(P)->kind == symbol::keyword && !P->x.binary) {
            take(P);
            if (skip_plain_body(&P->x))
                return true;
        }
        for (const symbol *s = take(P); ok(P) && !(s->kind == symbol::keyword && s->key == kw::endhmm); s = take(P)) {
            if (s->kind == symbol::end)
                return fault(P, line, "the file ends inside an HMM");
            if (P->x.binary && !skip_payload(P, s->binary))
                return false;
        }
        return ok(P);
    }
    P->model_file = P->file;
    std::int64_t states = 0;
    if (!expect_keyword(P, kw::beginhmm, "<BEGINHMM>") || !options(P) || P->done)
        return ok(P);
    const std::int64_t states_line = peek(P)->line;
    if (!expect_keyword(P, kw::numstates, "<NUMSTATES>") || !take_integer(P, "a count", &states))
        return false;
    if (states != 3)
        return fault(P, states_line, "<NUMSTATES> %lld: %lld emitting states, one expected", static_cast<long long>(states),
                     static_cast<long long>(states - 2));
    std::int64_t k = 0;
    const std::int64_t state_line = peek(P)->line;
    if (!expect_keyword(P, kw::state, "<STATE>") || !take_integer(P, "a state number", &k))
        return false;
    if (k != 2)
        return fault(P, state_line, "<STATE> %lld, 2 expected (the one emitting state)", static_cast<long long>(k));
    const symbol *s = peek(P);
    if (s->kind == symbol::macro && s->type == 's')
        refer(P, take(P), -1);
    else if (!state_info(P, true) || P->done)
        return ok(P);
    if (!duration(P))
        return false;
    s = peek(P);
    if (s->kind == symbol::keyword && s->key == kw::state)
        return fault(P, s->line, "a second emitting state, one expected");
    if (s->kind == symbol::macro && s->type == 't') {
        refer(P, take(P), -1);
    } else {
        std::int64_t n = 0;
        if (!expect_keyword(P, kw::transp, "<TRANSP> or ~t") || !take_integer(P, "a count", &n) ||
            !skip_numbers(P, product(n, n)))
            return false;
    }
    return duration(P) && expect_keyword(P, kw::endhmm, "<ENDHMM>");
}

// Resolves the references of `type` waiting for the definition named `name`:
// a ~u or ~v read into the first component's row and copied to the others'.
template <typename Cell>
bool define_vector(parser<Cell> *P, const symbol *name, kw key, const char *keyword, Cell **rows)
{
    const std::vector<std::size_t> refs = P->pass > 1 ? waiting(P, name->type, name) : std::vector<std::size_t>{};
    char bracketed[16];
    std::snprintf(bracketed, sizeof bracketed, "<%s>", keyword);
    if (!expect_keyword(P, key, bracketed))
        return false;
    if (refs.empty()) {
        std::int64_t n = 0;
        return take_integer(P, "a count", &n) && skip_numbers(P, n);
    }
    const std::int32_t first = P->refs[refs[0]].component;
    if (!vector_of(P, keyword, rows, first))
        return false;
    for (std::size_t r : refs) {
        if (rows == P->sigma)
            copy_variances(P, first, P->refs[r].component);
        else
            copy_row(rows, first, P->refs[r].component, P->D);
        P->refs[r].resolved = true;
    }
    return true;
}

// A macro definition at the top of the file.
template <typename Cell>
bool definition(parser<Cell> *P, const symbol *m)
{
    symbol name = *m;
    std::int64_t n = 0, r = 0, c = 0;
    if (P->set != nullptr && P->file < 0 && name.type != 'o' &&
        set_lookup(P->set, name.type, std::string_view(name.text, name.n)) != nullptr)
        return fault(P, name.line, "~%c \"%.40s\" is defined in a loaded set too", name.type, name.text);
    switch (name.type) {
    case 'o':
        return options(P);
    case 'h':
        return hmm(P);
    case 'u':
        return define_vector(P, &name, kw::mean, "MEAN", P->mu);
    case 'v':
        return define_vector(P, &name, kw::variance, "VARIANCE", P->sigma);
    case 'm': {
        const std::vector<std::size_t> refs = P->pass > 1 ? waiting(P, 'm', &name) : std::vector<std::size_t>{};
        const std::size_t before = P->refs.size();
        const std::int32_t first = refs.empty() ? -1 : P->refs[refs[0]].component;
        if (!mixpdf(P, first))
            return false;
        for (std::size_t k : refs) {
            const std::int32_t to = P->refs[k].component;
            copy_row(P->mu, first, to, P->D);
            copy_variances(P, first, to);
            P->refs[k].resolved = true;
            for (std::size_t j = before; j < P->refs.size() && to != first; ++j)
                if (P->refs[j].component == first) {
                    reference again = P->refs[j];
                    again.component = to;
                    P->refs.push_back(again);
                }
        }
        return true;
    }
    case 's': {
        const std::vector<std::size_t> refs = P->pass > 1 ? waiting(P, 's', &name) : std::vector<std::size_t>{};
        if (!state_info(P, !refs.empty()) || P->done)
            return ok(P);
        for (std::size_t k : refs)
            P->refs[k].resolved = true;
        return duration(P);
    }
    case 't': {
        for (std::size_t k : P->pass > 1 ? waiting(P, 't', &name) : std::vector<std::size_t>{})
            P->refs[k].resolved = true;
        return expect_keyword(P, kw::transp, "<TRANSP>") && take_integer(P, "a count", &n) && skip_numbers(P, product(n, n));
    }
    case 'i':
    case 'c': {
        const symbol *s = take(P);
        if (!(s->kind == symbol::keyword && (s->key == kw::invcovar || s->key == kw::lltcovar)))
            return expected(P, s, "<INVCOVAR> or <LLTCOVAR>");
        return take_integer(P, "a count", &n) && skip_numbers(P, product(n, n + 1) / 2);
    }
    case 'x':
        return expect_keyword(P, kw::xform, "<XFORM>") && take_integer(P, "a count", &r) &&
               take_integer(P, "a count", &c) && skip_numbers(P, product(r, c));
    case 'w':
        return expect_keyword(P, kw::sweights, "<SWEIGHTS>") && take_integer(P, "a count", &n) && skip_numbers(P, n);
    case 'd':
        return expect_keyword(P, kw::duration, "<DURATION>") && take_integer(P, "a count", &n) && skip_numbers(P, n);
    default:
        return fault(P, name.line, "~%c macros are not read", name.type);
    }
}

// One pass over the file.
template <typename Cell>
bool pass(parser<Cell> *P)
{
    while (ok(P)) {
        const symbol *s = peek(P);
        if (s->kind == symbol::end)
            return ok(P);
        if (s->kind == symbol::keyword && s->key == kw::beginhmm) {
            hmm(P);
        } else if (s->kind == symbol::macro) {
            const symbol m = *take(P);
            if (P->index != nullptr)
                P->index->push_back(
                    {m.type, P->file, offset(&P->x), P->x.line, P->x.piece_at, std::string(m.text, m.n)});
            definition(P, &m);
        } else if (s->kind == symbol::keyword && s->key != kw::numstates) {
            if (P->index != nullptr)
                P->index->push_back({'o', P->file, s->at, s->line, s->piece, {}});
            options(P); // options without ~o
        } else {
            return expected(P, take(P), "a macro or <BEGINHMM>");
        }
    }
    return ok(P);
}

template <typename Cell>
bool unresolved(const parser<Cell> *P)
{
    for (const reference &r : P->refs)
        if (!r.resolved)
            return true;
    return false;
}

// The fault of a file that must be read again from its start and cannot
// be, for `what` it holds.
read_result read_only_once(const char *what)
{
    read_result r = fault_at(read_fault::keywords, 0);
    std::snprintf(r.text, sizeof r.text, "%s in a file that cannot be read twice (a pipe)", what);
    return r;
}

// Reads the set's definition `d` from its place, in its file's byte order,
// and comes back to where the file being read stood (it is not read on
// from there: the chunk now holds the set's bytes).
template <typename Cell>
void read_definition_at(parser<Cell> *P, const set_definition &d)
{
    const set_file &f = P->set->files[static_cast<std::size_t>(d.file)];
    line_reader lines;
    start_lines_at(&lines, f.stream, P->chunk, d.piece);
    const lexer was = P->x;
    const std::int32_t file = P->file;
    P->x.in = &lines;
    restart(&P->x);
    P->x.little = f.little;
    P->x.line = d.line;
    P->x.piece_at = d.piece;
    P->file = d.file;
    if (next_piece(&P->x))
        P->x.p = P->x.begin + (d.at - d.piece);
    symbol m{};
    m.kind = symbol::macro;
    m.type = d.type;
    m.line = d.line;
    m.n = std::min(d.name.size(), symbol_chars);
    std::memcpy(m.text, d.name.data(), m.n);
    const bool was_ok = P->res.fault == read_fault::none;
    definition(P, &m);
    if (was_ok && P->res.fault != read_fault::none) {
        P->res.file = d.file;
        P->res.error_number = lines.error_number;
    }
    P->x = was;
    P->file = file;
}

// The set's options, which every model of the set shares.
template <typename Cell>
void set_options(parser<Cell> *P)
{
    for (std::size_t k = 0; ok(P) && k < P->set->options.size(); ++k)
        read_definition_at(P, P->set->definitions[P->set->options[k]]);
}

// The set's definitions of the macros the model refers to and has not had,
// and of those they refer to in turn.
template <typename Cell>
void from_set(parser<Cell> *P)
{
    for (std::size_t i = 0; ok(P) && i < P->refs.size(); ++i)
        if (!P->refs[i].resolved)
            if (const set_definition *d = set_lookup(P->set, P->refs[i].type, P->refs[i].name))
                read_definition_at(P, *d);
}

// What is known once every pass is over: a fault, or the model's own.
template <typename Cell>
read_result finish(parser<Cell> *P)
{
    if (P->res.fault != read_fault::none || P->done)
        return P->res;
    if (P->hmms == 0)
        return {read_fault::keywords, 0, 0, 0, "no HMM in the file"};
    if (P->hmms > 1) {
        fault(P, P->second_hmm, several_hmms_form, static_cast<long long>(P->hmms));
        return P->res;
    }
    for (const reference &r : P->refs)
        if (!r.resolved) {
            fault(P, r.line, P->set != nullptr ? "~%c \"%.40s\" is defined neither in the file nor in the set"
                                               : "~%c \"%.40s\" is not defined in the file",
                  r.type, r.name.c_str());
            P->res.file = r.file;
            return P->res;
        }
    if (P->D == 0)
        return {read_fault::keywords, 0, 0, 0, "no <MEAN> and no <VECSIZE>: the vector size is not known"};
    for (std::size_t k = 0; !P->probe && k < P->given.size(); ++k)
        if (P->given[k] == 0) {
            fault(P, P->components_end, "component %zu of %d missing", k + 1, P->M);
            P->res.file = P->model_file;
            return P->res;
        }
    return P->res;
}

// Reads the file: a first pass for the model, and where it refers to
// macros, further passes from the start for their definitions, each after
// the set's definitions where a set is loaded.
template <typename Cell>
read_result run(parser<Cell> *P)
{
    try {
        pass(P);
        if (P->set != nullptr && ok(P))
            set_options(P);
        while (ok(P) && unresolved(P) && P->pass < 4) {
            ++P->pass;
            if (P->set != nullptr)
                from_set(P);
            if (ok(P) && unresolved(P)) { // the file again, for its own definitions
                if (!restart_lines(P->x.in))
                    return read_only_once("macro references");
                restart(&P->x);
                pass(P);
            }
        }
    } catch (const std::exception &) { // storage for the references
        fault(P, P->x.line, "too little storage for the macro references");
    }
    return finish(P);
}

// Reads the set's HMM `h`: the set's options, the HMM, and the set's
// definitions of what it refers to.
template <typename Cell>
read_result run_set(parser<Cell> *P, const set_definition &h)
{
    try {
        set_options(P);
        if (ok(P))
            read_definition_at(P, h);
        P->pass = 2;
        if (ok(P))
            from_set(P);
    } catch (const std::exception &) {
        fault(P, P->x.line, "too little storage for the macro references");
    }
    return finish(P);
}

// Where a reading puts what it reads.
template <typename Cell>
void aim(parser<Cell> *P, std::int32_t D, std::int32_t M, Cell **mu, Cell **sigma, Cell *w, const value_lines *where)
{
    P->want_D = D;
    P->want_M = M;
    P->mu = mu;
    P->sigma = sigma;
    P->w = w;
    if (where != nullptr) {
        P->w_lines = where->weight;
        P->sigma_lines = where->variance;
    }
}

// Takes the byte order in which the file reads through `once` (a reading
// from its start into the parser it is given, in the order it is given,
// values kept where it is told), as read_model describes: *P is the parser
// whose reading stands.
template <typename Cell, typename Once, typename Again>
read_result in_byte_order(Once once, Again again, parser<Cell> *big, parser<Cell> *little, const char *both,
                          const parser<Cell> **P)
{
    const read_result r = once(big, false, true);
    *P = big;
    if (!big->x.binary_seen || r.fault == read_fault::read_error) // a failed read is not tried again
        return r;
    if (!again())
        return read_only_once("binary numbers");
    *P = little;
    if (r.fault == read_fault::none) { // the values stand: little-endian is only tried
        const read_result l = once(little, true, false);
        if (l.fault == read_fault::none) {
            read_result b = fault_at(read_fault::keywords, 0);
            std::snprintf(b.text, sizeof b.text, "binary numbers that read as %s in both byte orders", both);
            return b;
        }
        if (l.fault == read_fault::read_error)
            return l;
        *P = big;
        return r;
    }
    const read_result l = once(little, true, true);
    if (l.fault != read_fault::none && l.fault != read_fault::read_error &&
        (big->pass > little->pass || (big->pass == little->pass && big->stopped_at >= little->stopped_at))) {
        *P = big;
        return r;
    }
    return l;
}

// Reads the model.  Binary numbers are read in the byte order in which the
// file is one model: big-endian, as such files are mostly written, or
// little-endian; nothing in a file says which, so it is refused where both
// orders fit, and where neither does the fault of the order that read
// further is the one reported.  *found takes the model's D and M.
template <typename Cell>
read_result read_model(std::int32_t D, std::int32_t M, line_reader *in, Cell **mu, Cell **sigma, Cell *w,
                       const value_lines *where, const model_set *set, model_header *found = nullptr)
{
    parser<Cell> big, little;
    const parser<Cell> *read = nullptr;
    auto once = [&](parser<Cell> *P, bool is_little, bool values) {
        P->x.in = in;
        P->x.little = is_little;
        P->set = set;
        P->chunk = in->chunk;
        if (values)
            aim(P, D, M, mu, sigma, w, where);
        else
            aim<Cell>(P, D, M, nullptr, nullptr, nullptr, nullptr);
        const read_result r = run(P);
        P->stopped_at = offset(&P->x);
        return r;
    };
    const read_result r = in_byte_order(once, [&] { return restart_lines(in); }, &big, &little, "a model", &read);
    if (found != nullptr)
        *found = {read->D, read->M};
    return r;
}

// The set's HMM `h`, as read_model reads a file.
template <typename Cell>
read_result read_in_set(const model_set &set, const set_definition &h, char *chunk, std::int32_t D, std::int32_t M,
                        Cell **mu, Cell **sigma, Cell *w, const value_lines *where, bool probe,
                        model_header *found = nullptr)
{
    parser<Cell> P;
    P.set = &set;
    P.chunk = chunk;
    P.probe = probe;
    aim(&P, D, M, mu, sigma, w, where);
    const read_result r = run_set(&P, h);
    if (found != nullptr)
        *found = {P.D, P.M};
    return r;
}

// The set a model may use: none where no file is loaded.
const model_set *loaded(const model_set *set) { return set != nullptr && !set->files.empty() ? set : nullptr; }

} // namespace

read_result read_keyword_header(line_reader *in, model_header *out, const model_set *set)
{
    set = loaded(set);
    parser<double> P;
    P.x.in = in;
    P.probe = true;
    P.set = set;
    P.chunk = in->chunk;
    model_header found{};
    read_result r = run(&P);
    found = {P.D, P.M};
    // Binary counts read in one byte order may be counts in the other too:
    // the whole file tells.
    if (P.x.binary_seen && r.fault != read_fault::read_error)
        r = restart_lines(in) ? read_model<double>(0, 0, in, nullptr, nullptr, nullptr, nullptr, set, &found)
                              : read_only_once("binary numbers");
    if (r.fault == read_fault::none)
        *out = found;
    return r;
}

read_result read_by_keywords(std::int32_t D, std::int32_t M, line_reader *in, double **mu, double **sigma, double *w,
                             const value_lines *where, const model_set *set)
{
    return read_model(D, M, in, mu, sigma, w, where, loaded(set));
}

read_result read_by_keywords(std::int32_t D, std::int32_t M, line_reader *in, le_text **mu, le_text **sigma,
                             le_text *w, const model_set *set)
{
    return read_model(D, M, in, mu, sigma, w, nullptr, loaded(set));
}

const set_definition *set_lookup(const model_set *set, char type, std::string_view name)
{
    char key[symbol_chars + 1];
    if (set == nullptr || set->named.empty() || name.size() >= sizeof key)
        return nullptr;
    key[0] = type;
    std::memcpy(key + 1, name.data(), name.size());
    const auto it = set->named.find(std::string_view(key, name.size() + 1));
    return it == set->named.end() ? nullptr : &set->definitions[it->second];
}

read_result load_set_file(model_set *set, const char *path, std::FILE *stream, char *chunk)
{
    const std::int32_t file = static_cast<std::int32_t>(set->files.size());
    set->files.push_back({path, stream, {}}); // its byte order once it is read
    read_result r{};
    if (lseek(fileno(stream), 0, SEEK_CUR) < 0) {
        r = read_only_once("a model set");
    } else {
        // One reading through, in each byte order where the file is binary.
        std::vector<set_definition> found[2];
        parser<double> big, little;
        const parser<double> *read = nullptr;
        auto once = [&](parser<double> *P, bool is_little, bool) {
            line_reader lines;
            start_lines_at(&lines, stream, chunk, 0);
            P->x.in = &lines;
            P->x.little = is_little;
            P->index = &found[is_little];
            P->file = file;
            try {
                pass(P);
            } catch (const std::exception &) {
                fault(P, P->x.line, "too little storage for the definitions");
            }
            P->stopped_at = offset(&P->x);
            P->res.error_number = lines.error_number;
            P->x.in = nullptr;
            return P->res;
        };
        r = in_byte_order(once, [] { return true; }, &big, &little, "a set", &read);
        set->files.back().little = read == &little;
        for (std::size_t k = 0; r.fault == read_fault::none && k < found[read == &little].size(); ++k) {
            const set_definition &d = found[read == &little][k];
            const std::size_t at = set->definitions.size();
            if (d.type == 'o') {
                set->options.push_back(at);
            } else if (const set_definition *first = set_lookup(set, d.type, d.name)) {
                r = fault_at(read_fault::keywords, d.line);
                const bool here = first->file == file;
                const char *other = set->files[static_cast<std::size_t>(first->file)].path.c_str();
                const int n = std::snprintf(r.text, sizeof r.text, "~%c \"%.40s\" is defined twice, first at line %lld%s%s",
                                            d.type, d.name.c_str(), static_cast<long long>(first->line),
                                            here ? "" : " of ", here ? "" : other);
                if (n >= static_cast<int>(sizeof r.text)) // the earlier file's path as far as it fits
                    std::memcpy(r.text + sizeof r.text - 4, "...", 4);
            } else {
                set->named.emplace(std::string(1, d.type) + d.name, at);
            }
            set->definitions.push_back(d);
        }
    }
    r.file = file; // so that a failed read's errno is the one taken
    return r;
}

std::string load_set_files(model_set *set, const std::vector<const char *> &paths, char *chunk)
{
    for (const char *path : paths) {
        std::FILE *f = std::fopen(path, "r");
        if (f == nullptr)
            return open_error(path);
        const read_result r = load_set_file(set, path, f, chunk);
        if (r.fault != read_fault::none)
            return read_fault_message(r, path);
    }
    return {};
}

void close_set(model_set *set)
{
    for (set_file &f : set->files)
        if (f.stream != nullptr) {
            std::fclose(f.stream);
            f.stream = nullptr;
        }
}

read_result read_set_header(const model_set &set, const set_definition &h, char *chunk, model_header *out)
{
    model_header found{};
    const read_result r = read_in_set<double>(set, h, chunk, 0, 0, nullptr, nullptr, nullptr, nullptr, true, &found);
    if (r.fault == read_fault::none)
        *out = found;
    return r;
}

read_result read_set_model(const model_set &set, const set_definition &h, char *chunk, std::int32_t D,
                           std::int32_t M, double **mu, double **sigma, double *w, const value_lines *where)
{
    return read_in_set(set, h, chunk, D, M, mu, sigma, w, where, false);
}

read_result read_set_model(const model_set &set, const set_definition &h, char *chunk, std::int32_t D,
                           std::int32_t M, le_text **mu, le_text **sigma, le_text *w)
{
    return read_in_set<le_text>(set, h, chunk, D, M, mu, sigma, w, nullptr, false);
}

} // namespace gmm
