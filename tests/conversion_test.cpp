// Differential tests of the number conversions against the C library: the
// token parser against strtod() bit for bit, the printer against
// snprintf("%le") byte for byte; every token also as part of a values line,
// read by the plain reader and by each vector reader the processor has.  Seeded; GMM_DIFF_SCALE=N runs N times as
// many values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "format_le.h"
#include "le_text.h"
#include "line_reader.h"
#include "parse_number.h"
#include "values_line.h"

namespace {

// The values-line readers this processor runs: the plain one, and each
// vector one up to the widest (none where GMM_SCAN=scalar is set).
std::vector<gmm::scan_width> widths()
{
    std::vector<gmm::scan_width> w = {gmm::scan_width::scalar};
    for (gmm::scan_width v : {gmm::scan_width::sse4, gmm::scan_width::avx2})
        if (gmm::widest_scan() >= v)
            w.push_back(v);
    return w;
}

const std::vector<gmm::scan_width> readers = widths();

// `text` in storage of exactly its size, so that a read past its end, or
// before its start, is caught by the address sanitizer at once.
struct exact_copy {
    std::unique_ptr<char[]> bytes;
    const char *begin, *end;
    explicit exact_copy(const std::string &text) : bytes(new char[text.size()])
    {
        std::memcpy(bytes.get(), text.data(), text.size());
        begin = bytes.get();
        end = begin + text.size();
    }
};

// Whether two cells hold the same value, bit for bit or letter for letter.
bool same_first(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool same_first(const gmm::le_text &a, const gmm::le_text &b)
{
    return a.size == b.size && std::memcmp(a.text, b.text, a.size) == 0;
}

// The first value of a line as the plain reader takes it.
template <typename Cell>
struct first_of {
    const char *b, *e;
    operator Cell() const
    {
        Cell c[1];
        gmm::read_values(gmm::scan_width::scalar, b, e, 1, c);
        return c[0];
    }
};

// The token first on a values line of three, long enough for a vector
// reader to take it: each reader gives strtod's value for it (or, for
// le_text, what "%le" prints), and counts three numbers.  A reader by
// keywords does the same for a token that is wholly a number (`whole`),
// and stops at any other.
template <typename Cell, typename Check>
bool reads_on_a_line(const std::string &token, bool whole, Check same)
{
    if (token.empty() || token.find_first_of(" \n", 0) != std::string::npos || token.find('\0') != std::string::npos)
        return true;
    const exact_copy line(token + " -1.000000e+00  2.500000e-01 \n");
    for (gmm::scan_width w : readers) {
        Cell row[3], kept[3];
        const char *b = line.begin, *e = line.end, *stop, *bad, *checked_stop, *checked_bad;
        const std::int64_t k = gmm::read_numbers(w, b, e, 3, kept, &stop, &bad);
        const std::int64_t checked = gmm::check_numbers(w, b, e, 3, &checked_stop, &checked_bad);
        const bool by_keywords = whole ? k == 3 && bad == nullptr && same(kept) && checked == 3 && checked_bad == nullptr
                                       : k == 0 && bad == b && checked == 0 && checked_bad == b;
        // Alone on its line, in storage of just that size: the last-token
        // readers must not look before the line's start.
        const exact_copy alone(token + "\n");
        Cell lone[1];
        const char *lb = alone.begin, *le = alone.end, *lstop, *lbad;
        if (gmm::read_values(w, lb, le, 1, lone) != 1 || !same_first(lone[0], static_cast<Cell>(first_of<Cell>{b, e})) ||
            gmm::read_numbers(w, lb, le, 1, lone, &lstop, &lbad) != (whole ? 1 : 0) ||
            gmm::check_numbers(w, lb, le, 1, &lstop, &lbad) != (whole ? 1 : 0)) {
            ADD_FAILURE() << "token \"" << token << "\" alone on a line, reader " << static_cast<int>(w);
            return false;
        }
        // Twice side by side, where the widest reader takes two at once.
        const exact_copy twice(token + " " + token + " \n");
        Cell pair[2];
        const Cell first = first_of<Cell>{b, e};
        if (gmm::read_values(w, twice.begin, twice.end, 2, pair) != 2 || !same_first(pair[0], first) ||
            !same_first(pair[1], first)) {
            ADD_FAILURE() << "token \"" << token << "\" twice on a line, reader " << static_cast<int>(w);
            return false;
        }
        // Asked for more than the line holds, a reader goes to its end.
        Cell more[4];
        const bool to_the_end = gmm::read_values(w, b, e, 4, more) == 3 &&
                                gmm::read_numbers(w, b, e, 4, kept, &stop, &bad) == (whole ? 3 : 0) &&
                                gmm::check_numbers(w, b, e, 4, &checked_stop, &checked_bad) == (whole ? 3 : 0);
        if (gmm::read_values(w, b, e, 3, row) != 3 || gmm::count_values(w, b, e, 9) != 3 || !same(row) || !by_keywords ||
            !to_the_end) {
            ADD_FAILURE() << "token \"" << token << "\" on a line, reader " << static_cast<int>(w);
            return false;
        }
    }
    return true;
}

long scale()
{
    const char *s = std::getenv("GMM_DIFF_SCALE");
    return s != nullptr && std::atol(s) > 0 ? std::atol(s) : 1;
}

std::uint64_t bits(double d)
{
    std::uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

double from_bits(std::uint64_t b)
{
    double d;
    std::memcpy(&d, &b, sizeof d);
    return d;
}

// Compares parse_double with strtod on one token; false (with a test
// failure) on the first difference.
bool parses_like_strtod(const std::string &token)
{
    char *stop;
    const double want = std::strtod(token.c_str(), &stop);
    const exact_copy t(token);
    const double got = gmm::parse_double(t.begin, token.size());
    const std::size_t taken = static_cast<std::size_t>(stop - token.c_str());
    if (gmm::number_length(t.begin, token.size()) != taken) {
        ADD_FAILURE() << "token \"" << token << "\": number_length " << gmm::number_length(t.begin, token.size())
                      << ", strtod takes " << taken;
        return false;
    }
    if (bits(got) == bits(want))
        return reads_on_a_line<double>(token, taken == token.size() && token.find('\0') == std::string::npos,
                                       [&](const double *row) {
                                           return bits(row[0]) == bits(want) && row[1] == -1.0 && row[2] == 0.25;
                                       });
    ADD_FAILURE() << "token \"" << token << "\": got " << std::hexfloat << got << ", strtod gives " << want;
    return false;
}

bool prints_like_snprintf(double v)
{
    char want[64], got[64];
    int n = std::snprintf(want, sizeof want, "%le", v);
    char *end = gmm::format_le(got, v);
    if (end - got == n && std::memcmp(got, want, static_cast<std::size_t>(n)) == 0)
        return true;
    ADD_FAILURE() << "bits " << std::hex << bits(v) << ": got \"" << std::string(got, end) << "\", snprintf gives \""
                  << want << "\"";
    return false;
}

std::string print(const char *form, double v)
{
    char b[512];
    std::snprintf(b, sizeof b, form, v);
    return b;
}

std::string print_prec(const char *form, int prec, double v)
{
    char b[512];
    std::snprintf(b, sizeof b, form, prec, v);
    return b;
}

TEST(parse_double, special_and_malformed_tokens)
{
    const char *tokens[] = {
        "0", "-0", "+0", "0.0", "-0.000000e+00", "00000", ".5", "-.5", "5.", "-5.", ".", "-", "+", "", "e5", ".e5",
        "1e", "1e+", "1e-", "1E5", "1e+05", "1e-05", "1e005", "1.5x", "1.5e3x", "1,5", "1..5", "1.2.3", "1e5e5",
        "--1", "+-1", "-+1", "+1.5", "+.5", "\t1.5", "\r1.5", "\v2", "\f3", "\t", "\t-", "1.5\r", "1.5\t", "1\t2",
        "inf", "-inf", "+inf", "INF", "Inf", "infinity", "-Infinity", "infin", "nan", "-nan", "NAN", "nan(123)",
        "nan(0x7ff)", "-nan(abc)", "nanx", "0x1p3", "0X1P-3", "-0x1.8p1", "0x", "0x.8", "0xg", "0x1p", "0x1.fffffffffffffp1023",
        "1e308", "1.7976931348623157e308", "1.7976931348623158e308", "1.8e308", "-1e309", "1e-307", "2.2250738585072014e-308",
        "2.2250738585072011e-308", "4.9406564584124654e-324", "2.4703282292062327e-324", "2.4703282292062328e-324",
        "1e-323", "1e-400", "-1e-400", "1e99999999999999999999", "1e-99999999999999999999", "0e99999999999",
        "123456789012345678901234567890", "0.000000000000000000000000000001234567890123456789", "9007199254740993",
        "9007199254740992.5", "179769313486231570000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000",
        "1e22", "1e23", "9.999999999999999e22", "1234567.0e-7", "1.234568e-01", "-6.740083e-01", "3.067716e+00",
        "2.5", "7.500000e-01", "1\xff", "\xff", "0.1e-1", "12345678901234567890e-30", "1234567890123456789e22",
        "nan(", "nan()", "nan(a_B9)x", "nan(-)", "infinit", "0x.p1", "0xp1", "1.e5", "0x1.p-2", "0x.", "-0x",
    };
    for (const char *t : tokens)
        parses_like_strtod(t);
    // Tokens longer than any line, whose value depends on their last bytes.
    for (const std::size_t zeros : {9996, 9999, 20000, 100000}) {
        parses_like_strtod("+1.5" + std::string(zeros, '0') + "e5");
        parses_like_strtod("0." + std::string(zeros, '0') + "1e" + std::to_string(zeros + 1));
        parses_like_strtod(" -" + std::string(zeros, '0') + "2x");
    }
    // Numbers longer than a short copy, each form strtod takes, converted
    // where they lie: in range, out of it either way, and with junk after.
    for (const std::size_t k : {120, 127, 128, 129, 130, 400, 9990}) {
        const std::string z(k, '0'), nines(k, '9'), w(k, '\t');
        for (const std::string &t :
             {"1" + z, "1" + z + "x", "-1" + z + "e-200", "1" + z + "e-999", "0." + z + "1e-300", "0." + z + "1e-400",
              "-0." + z + "1e400", "." + z + "2e+99999999999999999999", "4." + z + "9e-324", "2.4703282292062327" + z + "1e-324",
              "2.4703282292062327" + z + "e-324", nines + ".5e300", "+" + nines + "x", "0x1." + z + "1p-1075",
              "0x1." + z + "p-1075", "-0x" + z + "1.8p1", "0x1" + z + "p-" + std::to_string(k + 2), "0x1" + z + "p-999", "0X" + z + "2P+1020", "0x0." + z + "1pz",
              "nan(" + z + "5)", "-nan(0x" + z + "f)", "nan(1" + nines + ")", "nan(" + z + "8)", "NaN(" + z + "x)",
              "nan(" + z + "_)", "nan(" + z, w + "1.5", w + "-0x1p3", w + "inf", w + "nan(" + z + "7)", w + z + "1e3x",
              w + "+", "-" + z + "e"})
            parses_like_strtod(t);
    }
}

TEST(parse_double, random_values_in_every_printed_form)
{
    std::mt19937_64 rng(20261208);
    const long n = 60000 * scale();
    const char *forms[] = {"%e", "%.17g", "%g", "%.6e", "%.20e", "%.15g", "%a", "%f"};
    long checked = 0;
    for (long i = 0; i < n; ++i) {
        // Random bit patterns cover every exponent, subnormals and specials.
        double v = from_bits(rng());
        // Values of the size model files hold.
        double w = std::ldexp(static_cast<double>(rng() >> 11), -53) * 16.0 - 8.0;
        for (double x : {v, w}) {
            for (const char *f : forms) {
                if (f[1] == 'f' && std::fabs(x) > 1e30)
                    continue;
                if (!parses_like_strtod(print(f, x)))
                    return;
                ++checked;
            }
            if (!parses_like_strtod(print_prec("%.*e", static_cast<int>(rng() % 25), x)))
                return;
            ++checked;
        }
    }
    EXPECT_GE(checked, 15 * n);
}

TEST(parse_double, near_halfway_decimals)
{
    // The exact midpoint between two neighbouring doubles, printed with all
    // its digits and nudged by one unit in the last place either way, is the
    // hardest case of correct rounding.
    std::mt19937_64 rng(7);
    const long n = 100000 * scale();
    for (long i = 0; i < n; ++i) {
        double x = from_bits(rng() & 0x7fefffffffffffffULL);
        if (!std::isfinite(x) || x == 0)
            continue;
        long double mid = (static_cast<long double>(x) + std::nextafter(x, INFINITY)) / 2;
        char b[128];
        std::snprintf(b, sizeof b, "%.40Le", mid);
        std::string t = b;
        if (!parses_like_strtod(t) || !parses_like_strtod(print("%.17e", x)) || !parses_like_strtod(print("%.16e", x)))
            return;
        // 17 and 18 significant digits around the midpoint.
        std::snprintf(b, sizeof b, "%.17Le", mid);
        if (!parses_like_strtod(b))
            return;
        std::snprintf(b, sizeof b, "%.18Le", mid);
        if (!parses_like_strtod(b))
            return;
    }
}

TEST(parse_double, random_strings)
{
    std::mt19937_64 rng(99);
    const char alphabet[] = "0123456789012345678901234567890123456789..eE+-xXpPaAfFinNtTy(\t\r";
    const long n = 500000 * scale();
    for (long i = 0; i < n; ++i) {
        // One in a hundred longer than a number's short copy.
        std::string t(i % 100 == 0 ? 100 + rng() % 200 : 1 + rng() % 24, ' ');
        for (char &c : t)
            c = alphabet[rng() % (sizeof alphabet - 1)];
        if (!parses_like_strtod(t))
            return;
    }
}

// The fast paths are the common case, not only right answers: each takes
// every token of its shape and range, and leaves the rest to the slower
// paths.  A token is tried alone, in storage of its size (where digits are
// read one at a time), and before other numbers (where eight are read at
// once); where it is taken, the path must stop after its first `length`
// characters with a result `right` accepts.
template <class Cell, class Right>
bool fast_path_takes(const std::string &token, bool (*path)(const char *&, const char *, Cell *), bool want,
                     std::size_t length, Right right)
{
    for (const std::string &text : {token, token + " 1.000000e+00 2.000000e+00"}) {
        const exact_copy t(text);
        const char *p = t.begin;
        Cell got{};
        const bool taken = path(p, t.end, &got);
        if (taken != want || (taken && (!right(got) || p != t.begin + length))) {
            ADD_FAILURE() << "token \"" << text << "\": " << (taken ? "taken" : "left");
            return false;
        }
    }
    return true;
}

// A number's fast path against strtod: the same value, read as far.
bool fast_path_takes(const std::string &token, bool (*path)(const char *&, const char *, double *), bool want)
{
    char *stop;
    const double value = std::strtod(token.c_str(), &stop);
    return fast_path_takes(token, path, want, static_cast<std::size_t>(stop - token.c_str()),
                           [&](double got) { return bits(got) == bits(value); });
}

TEST(parse_double, the_fast_paths_take_their_whole_range)
{
    // "%e"'s shape, with 'e' or 'E' and every two-digit exponent: taken
    // where seven digits times one exact power of ten (10^-22 to 10^22) is
    // the value, that is for exponents -16 to 28.
    std::mt19937_64 rng(5);
    char text[32];
    for (int e = -99; e <= 99; ++e)
        for (const char *form : {"%s%ld.%06lde%+03d", "%s%ld.%06ldE%+03d"})
            for (int i = 0; i < 20; ++i) {
                const long q = static_cast<long>(rng() % 10000000);
                std::snprintf(text, sizeof text, form, rng() % 2 ? "-" : "", q / 1000000, q % 1000000, e);
                if (!fast_path_takes(text, gmm::detail::fast_e_form, e >= -16 && e <= 28))
                    return;
            }
    for (const char *t : {"", "-", "1.000000e+5", "1.0000000e+00", "1.000000x+00", "1.000000e*00", "1,000000e+00",
                          "+1.000000e+00", "1.00000ae+00", "1.000000e+0a", ".1000000e+00"})
        fast_path_takes(t, gmm::detail::fast_e_form, false);
    // Plain decimals: taken with 1 to 19 digits, a value m x 10^k with
    // m <= 2^53 and |k| <= 22, or m = 0 whatever k is.
    const std::pair<const char *, bool> decimals[] = {
        {"0", true}, {"-0", true}, {"7", true}, {".5", true}, {"5.", true}, {"-3.25", true}, {"12345678", true},
        {"123456789", true}, {"1234567812345678", true}, {"9007199254740992", true}, {"9007199254740993", false},
        {"1234567890123456789", false}, {"0.000000000000000001", true}, {"0.0000000000000000001", false},
        {"0000000000000000001", true}, {"00000000000000000001", false}, {"1e22", true}, {"1e23", false},
        {"1e-22", true}, {"1e-23", false}, {"1.5e-21", true}, {"1.5e-22", false}, {"15e21", true}, {"15e22", true}, {"15e23", false},
        {"1.5E+3", true}, {"1e+05", true}, {"0e999", true}, {"-0e-999999", true}, {"1e0000000000000000000001", true},
        {"1e", false}, {"1e+", false}, {"1ex", false}, {"1e-x", false}, {".", false}, {"-", false}, {"-.", false},
        {"", false}, {"x", false}, {"1.5x", true}, {"12345678.12345678", true}, {"1234567.123456789012", false},
        // Runs of digits longer than three reads of eight.
        {"1234567890123456789012345", false}, {"-0.12345678901234567890123456e-3", false},
        {"1.0000000000000000000000000000000000000000", false}};
    for (const auto &[token, taken] : decimals)
        fast_path_takes(token, gmm::detail::fast_decimal, taken);
}

// Counting a line: every reader gives the number of tokens before its
// first NUL (up to D), on lines of every length up to several blocks of the
// widest, made of separators, NULs and number characters in random places.
TEST(count_values, every_reader_counts_the_tokens_before_a_nul)
{
    std::mt19937_64 rng(13);
    const char alphabet[] = "  \n1e-.7\0";
    for (int i = 0; i < 20000 * scale(); ++i) {
        std::string text(rng() % 200, ' ');
        for (char &c : text)
            c = alphabet[rng() % (sizeof alphabet - 1)];
        if (i % 3 == 0) // mostly tokens, a NUL late or never
            for (char &c : text)
                c = c == '\0' && rng() % 8 != 0 ? '5' : c;
        std::int64_t want = 0;
        bool after_separator = true;
        for (char c : text) {
            if (c == '\0')
                break;
            want += after_separator && c != ' ' && c != '\n';
            after_separator = c == ' ' || c == '\n';
        }
        const exact_copy line(text);
        for (gmm::scan_width w : readers)
            for (std::int32_t D : {1, 7, 1000})
                if (gmm::count_values(w, line.begin, line.end, D) != std::min<std::int64_t>(want, D)) {
                    ADD_FAILURE() << "reader " << static_cast<int>(w) << ", D " << D << ": counts "
                                  << gmm::count_values(w, line.begin, line.end, D) << ", not " << want << ", in \""
                                  << text << "\"";
                    return;
                }
    }
}

// The lines of `f` as the line reader hands them out, each piece with a
// mark where it was cut.
std::string pieces_of(gmm::line_reader *r)
{
    std::string got;
    gmm::text_line l;
    while (gmm::next_line(r, &l) == gmm::line_status::ok)
        got += std::string(l.begin, l.end) + (l.cut ? "|" : "");
    return got;
}

// A stream with no descriptor (an in-memory file, as the fuzz targets give
// the readers) and a reader at a place of its own take the lines a file
// gives, pieces of long lines included.
TEST(line_reader, every_kind_of_stream_gives_the_files_lines)
{
    std::mt19937_64 rng(29);
    std::string text;
    for (int i = 0; i < 300; ++i)
        text += std::string(rng() % 3 == 0 ? rng() % 25000 : rng() % 80, 'a' + static_cast<char>(i % 26)) + "\n";
    text += "no newline at the end";
    std::vector<char> chunk(gmm::chunk_bytes + 1);
    std::FILE *file = std::tmpfile();
    ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), file), text.size());
    std::rewind(file);
    gmm::line_reader r;
    gmm::start_lines(&r, file, chunk.data());
    const std::string want = pieces_of(&r);
    EXPECT_GT(std::count(want.begin(), want.end(), '|'), 0);
    std::FILE *memory = fmemopen(text.data(), text.size(), "r");
    gmm::start_lines(&r, memory, chunk.data());
    EXPECT_EQ(pieces_of(&r), want);
    std::fclose(memory);
    // From a place, the stream left where it stands.
    const std::size_t from = text.find('\n', text.size() / 2) + 1;
    std::rewind(file);
    gmm::start_lines_at(&r, file, chunk.data(), static_cast<std::int64_t>(from));
    std::FILE *rest = fmemopen(text.data() + from, text.size() - from, "r");
    std::vector<char> other(gmm::chunk_bytes + 1);
    gmm::line_reader whole;
    gmm::start_lines(&whole, rest, other.data());
    EXPECT_EQ(pieces_of(&r), pieces_of(&whole));
    EXPECT_EQ(std::ftell(file), 0);
    std::fclose(rest);
    std::fclose(file);
}

TEST(parse_int32, header_integers_like_strtol)
{
    const char *tokens[] = {"39", "39<NULLD><MFCC_E_D_A><DIAGC>", "+39", "-1", "0", "x", "", "\t7", "2147483647",
                            "2147483648", "4294967297", "-2147483649", "99999999999999999999", "-99999999999999999999",
                            "0x10", "007", " 5"};
    std::vector<std::string> all(std::begin(tokens), std::end(tokens));
    all.push_back(std::string(20000, '0') + "12");
    for (const std::string &lead : {std::string(200, ' '), std::string(20000, '\t'), std::string(129, '\v')}) {
        for (const char *t : {"5", "-2147483649", "+9223372036854775807", "9223372036854775808", "-9223372036854775808",
                              "-9223372036854775809", "18446744073709551617", "-", "x"})
            all.push_back(lead + t);
    }
    all.push_back(std::string(1, '-').append(300, '0').append("4294967301x"));
    all.push_back(std::string(30, '9'));
    for (const std::string &t : all) {
        long v = std::strtol(t.c_str(), nullptr, 10);
        EXPECT_EQ(gmm::parse_int32(t.data(), t.size()), static_cast<std::int32_t>(static_cast<std::uint32_t>(v))) << t;
    }
}

TEST(format_le, special_values)
{
    const double values[] = {0.0, -0.0, INFINITY, -INFINITY, NAN, -NAN, from_bits(0x7ff0000000000001ULL),
                             from_bits(0xfff0000000000001ULL), from_bits(0x7fffffffffffffffULL),
                             from_bits(1), from_bits(0x800fffffffffffffULL), 1.0, -1.0, 9.9999995, 9.9999994999,
                             0.5, 1e100, 1e-100, 1e308, 1.7976931348623157e308, 2.2250738585072014e-308, 123456.5};
    for (double v : values)
        prints_like_snprintf(v);
}

TEST(format_le, integers_with_a_tie_in_the_seventh_decimal)
{
    // Eight significant digits ending in 5 lie exactly halfway between two
    // seven-digit results.
    const long n = 1000000 * scale();
    std::mt19937_64 rng(3);
    for (long i = 0; i < n; ++i) {
        const long k = 10000000 + static_cast<long>(rng() % 90000000);
        double v = static_cast<double>(k - k % 10 + 5);
        if (!prints_like_snprintf(v) || !prints_like_snprintf(-v) || !prints_like_snprintf(v / 1024))
            return;
    }
}

TEST(format_le, powers_of_two_and_ten)
{
    for (int e = -1074; e <= 1023; ++e)
        if (!prints_like_snprintf(std::ldexp(1.0, e)) || !prints_like_snprintf(-std::ldexp(1.5, e)))
            return;
    for (int e = -330; e <= 310; ++e)
        if (!prints_like_snprintf(std::pow(10.0, e)) || !prints_like_snprintf(std::nextafter(std::pow(10.0, e), 0.0)))
            return;
}

TEST(format_le, every_binary_exponent_at_its_edges_and_around_powers_of_ten)
{
    // Smallest and largest mantissa of every binary exponent, and the
    // neighbours of every power of ten, where the decimal exponent steps.
    for (std::uint64_t field = 0; field < 2047; ++field)
        for (std::uint64_t mant : {0ULL, 1ULL, 0xFFFFFFFFFFFFFULL, 0x8000000000000ULL})
            if (!prints_like_snprintf(from_bits(field << 52 | mant)))
                return;
    for (int e = -25; e <= 25; ++e) {
        const double p = std::strtod(("1e" + std::to_string(e)).c_str(), nullptr);
        double lo = p, hi = p;
        for (int i = 0; i < 50; ++i, lo = std::nextafter(lo, 0.0), hi = std::nextafter(hi, INFINITY))
            if (!prints_like_snprintf(lo) || !prints_like_snprintf(hi) || !prints_like_snprintf(-hi))
                return;
        // 9.9999995 x 10^e and its neighbours round up into the next decade.
        double t = std::strtod(("9.9999995e" + std::to_string(e)).c_str(), nullptr);
        for (int i = 0; i < 50; ++i, t = std::nextafter(t, 0.0))
            if (!prints_like_snprintf(t) || !prints_like_snprintf(std::nextafter(t, INFINITY)))
                return;
    }
}

// The fast path is the common case, not only a right answer: every double
// from 10^-13 up to 10^7 (where the factor 10^k of seven digits fits 64
// bits) is printed there, as snprintf prints it, and none outside.
TEST(format_le, the_fast_path_takes_its_whole_range)
{
    for (int e2 = -80; e2 <= 60; ++e2)
        for (std::uint64_t mant : {0ULL, 1ULL, 0x5555555555555ULL, 0xFFFFFFFFFFFFFULL})
            for (std::uint64_t sign : {0ULL, 1ULL}) {
                const std::uint64_t b = sign << 63 | static_cast<std::uint64_t>(e2 + 1023) << 52 | mant;
                char got[64], *end = got;
                const bool fast = gmm::detail::fast_le(end, b);
                EXPECT_EQ(fast, std::fabs(from_bits(b)) >= 1e-13 && std::fabs(from_bits(b)) < 1e7) << std::hex << b;
                if (fast) {
                    EXPECT_EQ(std::string(got, end), print("%le", from_bits(b)));
                }
            }
}

TEST(format_le, every_seven_digit_mantissa)
{
    // d.dddddd x 10^-3 for every one of the 9 x 10^6 digit strings, read as
    // the C library reads it: exercises the digit generation exhaustively.
    char text[32];
    for (long q = 1000000; q < 10000000; ++q) {
        std::snprintf(text, sizeof text, "%ld.%06lde-03", q / 1000000, q % 1000000);
        if (!prints_like_snprintf(std::strtod(text, nullptr)))
            return;
    }
}

TEST(format_le, random_bit_patterns_and_model_values)
{
    std::mt19937_64 rng(11);
    const long n = 1000000 * scale();
    for (long i = 0; i < n; ++i) {
        const std::uint64_t b = rng();
        if (!prints_like_snprintf(from_bits(b)) || !prints_like_snprintf(from_bits(b & 0x800fffffffffffffULL)))
            return;
        // Values as model files hold them: seven significant digits.
        double w = std::strtod(print("%e", from_bits(b | 0x3ff0000000000000ULL) * 0.37).c_str(), nullptr);
        if (!prints_like_snprintf(w))
            return;
    }
}

// A token kept as text is what "%le" prints for strtod's value of it, both
// whole and as one token of a values line: tokens of the printed shape are
// copied, every other is read and printed, and the two must never differ.
bool keeps_like_snprintf(const std::string &token)
{
    char want[64], *stop;
    const int n = std::snprintf(want, sizeof want, "%le", std::strtod(token.c_str(), &stop));
    const gmm::le_text whole = gmm::le_text_of(token.data(), token.size());
    const exact_copy line(token + " 1");
    gmm::le_text first;
    const char *end = gmm::scan_le_text(line.begin, line.end, &first);
    if (std::string(whole.text, whole.size) == std::string(want, static_cast<std::size_t>(n)) &&
        std::string(first.text, first.size) == std::string(want, static_cast<std::size_t>(n)) &&
        end == line.begin + token.size())
        return reads_on_a_line<gmm::le_text>(token, *stop == '\0', [&](const gmm::le_text *row) {
            return std::string(row[0].text, row[0].size) == std::string(want, static_cast<std::size_t>(n)) &&
                   std::string(row[2].text, row[2].size) == "2.500000e-01";
        });
    ADD_FAILURE() << "token \"" << token << "\": kept \"" << std::string(whole.text, whole.size) << "\" and \""
                  << std::string(first.text, first.size) << "\", snprintf gives \"" << want << "\"";
    return false;
}

// A token of the shape model files hold with one byte made each of the 256
// values in turn, at every place: the vector readers check the whole shape
// in one compare, so each byte's range is held against strtod and "%le",
// on both sides of every edge.
TEST(le_text, every_byte_of_a_printed_token_changed)
{
    for (const std::string base : {"1.234567e+01", "-9.876543E-05", "0.000000e+00", "-2.000000e-22"})
        for (std::size_t at = 0; at < base.size(); ++at)
            for (int byte = 0; byte < 256; ++byte) {
                std::string t = base;
                t[at] = static_cast<char>(byte);
                // A separator or a NUL ends the token that is kept.
                const bool one_token = byte != ' ' && byte != '\n' && byte != '\0';
                if (!parses_like_strtod(t) || (one_token && !keeps_like_snprintf(t)))
                    return;
            }
}

// Tokens of the shape "%le" prints are kept as they stand, with no
// conversion: every two-digit exponent but "e-00", a first digit of 1 to 9
// and a lower-case 'e'.
bool copies_as_printed(const std::string &token, bool printed)
{
    return fast_path_takes(token, gmm::detail::printed_shape, printed, token.size(),
                           [&](const gmm::le_text &kept) { return std::string(kept.text, kept.size) == token; });
}

TEST(le_text, the_printed_shape_is_copied)
{
    std::mt19937_64 rng(9);
    char text[32];
    for (int e = -99; e <= 99; ++e)
        for (const char letter : {'e', 'E'})
            for (long first = 0; first <= 9; ++first) {
                const long q = first * 1000000 + static_cast<long>(rng() % 1000000);
                std::snprintf(text, sizeof text, "%s%ld.%06ld%c%+03d", rng() % 2 ? "-" : "", q / 1000000, q % 1000000,
                              letter, e);
                if (!copies_as_printed(text, letter == 'e' && first != 0))
                    return;
            }
    for (const char *t : {"", "-", "1.000000e-00", "-9.999999e-00", "1.000000e+5", "1.0000000e+00", "+1.000000e+00"})
        copies_as_printed(t, false);
}

TEST(le_text, tokens_kept_as_printed)
{
    const char *tokens[] = {"1.000000e+00", "-2.500000e-01", "0.000000e+00", "-0.000000e+00", "0.500000e+00",
                            "1.000000e-00", "1.000000e+23", "9.999999e+22", "1.000000E+00", "1.000000e+5",
                            "1.0000000e+00", "1.000000e+100", "9.999999e+99", "1.000000e-99", "-9.999999e-99",
                            "2.249273e+00x", "+1.000000e+00", "1.000000e+00\r", "inf", "-nan", "0x1p3", "7"};
    for (const char *t : tokens)
        keeps_like_snprintf(t);
    // Every exponent "%le" writes with two digits, with random digits.
    std::mt19937_64 rng(7);
    char text[32];
    for (int e = -99; e <= 99; ++e)
        for (int i = 0; i < 200 * scale(); ++i) {
            const long q = 1000000 + static_cast<long>(rng() % 9000000);
            std::snprintf(text, sizeof text, "%s%ld.%06lde%+03d", rng() % 2 ? "-" : "", q / 1000000, q % 1000000, e);
            if (!keeps_like_snprintf(text))
                return;
        }
}

} // namespace
