// End-to-end runs of morrit: exact text of the three outputs, exact standard
// error, exit status, and no output created when the model cannot be used.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "harness.h"
#include "text_writer.h"

using namespace harness;

namespace {

const std::string absent = "<no such file>";

// Means (1, 2, 3) and (4, 5, 6), variances and weights 0.25 and 0.75.
const model m23 = {{{1, 2, 3}, {4, 5, 6}}, {{0.5, 0.125, 2}, {1e10, -0.0, 3.5}}, {0.25, 0.75}};
const std::string mu23 = "1.000000e+00 4.000000e+00\n2.000000e+00 5.000000e+00\n3.000000e+00 6.000000e+00";
const std::string sigma23 =
    "5.000000e-01 1.000000e+10\n1.250000e-01 -0.000000e+00\n2.000000e+00 3.500000e+00";
const std::string w23 = "2.500000e-01 7.500000e-01";

struct mcase {
    const char *name;
    std::string model;              // text of m.gmm
    std::vector<std::string> args;  // after the program's name
    int status;
    std::string err;
    std::string mu, sigma, w;       // expected text of mu.txt, sigma.txt, w.txt
    run_options how = {};
};

void PrintTo(const mcase *c, std::ostream *os) { *os << c->name; }

const std::vector<std::string> std_args = {"m.gmm", "mu.txt", "sigma.txt", "w.txt"};

std::vector<mcase> cases()
{
    const std::string t = model_text(m23);
    const std::string usage = "Usage: $ " MORRIT_PATH " (GMM file) (mu_out) (sigma_out) (w_out)\n";
    const std::string specials = with_line(t, 11, " -0 inf -inf");
    return {
        {"two components of three dimensions", t, std_args, 0, "", mu23, sigma23, w23},
        {"standard input closed: an output may be descriptor 0", t, std_args, 0, "", mu23, sigma23, w23, {.stdin_closed = true}},
        {"one component", model_text({{{1, -2}}, {{3, 4}}, {1}}), std_args, 0, "",
         "1.000000e+00\n-2.000000e+00", "3.000000e+00\n4.000000e+00", "1.000000e+00"},
        {"one dimension", model_text({{{1}, {2}, {3}}, {{4}, {5}, {6}}, {0.5, 0.25, 0.25}}), std_args, 0, "",
         "1.000000e+00 2.000000e+00 3.000000e+00", "4.000000e+00 5.000000e+00 6.000000e+00",
         "5.000000e-01 2.500000e-01 2.500000e-01"},
        {"special values", with_line(with_line(specials, 13, " nan -nan 4.9406564584124654e-324"), 9, "<MIXTURE> 1 -0.0"), std_args, 0, "",
         "-0.000000e+00 4.000000e+00\ninf 5.000000e+00\n-inf 6.000000e+00",
         "nan 1.000000e+10\n-nan -0.000000e+00\n4.940656e-324 3.500000e+00", "-0.000000e+00 7.500000e-01"},
        {"rounding ties go to even", with_line(t, 11, " 12345665 12345675 0.0000015"), std_args, 0, "",
         "1.234566e+07 4.000000e+00\n1.234568e+07 5.000000e+00\n1.500000e-06 6.000000e+00", sigma23, w23},
        {"weight in C library forms", with_line(with_line(t, 9, "<MIXTURE> 1 0x1p-2junk"), 15, "<MIXTURE>  2\t+0.75 x"),
         std_args, 0, "", mu23, sigma23, "2.500000e-01 0.000000e+00"},
        {"rest of the file is not read", t.substr(0, t.find("<TRANSP>")) + std::string("\0\xff garbage", 10), std_args, 0,
         "", mu23, sigma23, w23},
        {"hyphen paths are file names", t, {"m.gmm", "-", "sigma.txt", "w.txt"}, 0, "", absent, sigma23, w23},
        {"output replaces the model", t, {"m.gmm", "mu.txt", "sigma.txt", "m.gmm"}, 0, "", mu23, sigma23, absent},

        {"option-like names in a plain call", t, {"m.gmm", "-h", "sigma.txt", "--version"}, 0, "", absent, sigma23, absent},
        {"double hyphen ends the options", t, {"--", "m.gmm", "mu.txt", "sigma.txt", "w.txt"}, 0, "", mu23, sigma23, w23},
        {"unknown option", t, {"-j", "2", "m.gmm", "mu.txt", "sigma.txt", "w.txt"}, 1,
         MORRIT_PATH ": unknown option -j\n" + usage, absent, absent, absent},
        {"files missing after options", t, {"--", "m.gmm", "mu.txt"}, 1,
         MORRIT_PATH ": 2 file arguments, 4 expected\n" + usage, absent, absent, absent},
        {"no arguments", t, {}, 1, usage, absent, absent, absent},
        {"three arguments", t, {"m.gmm", "mu.txt", "sigma.txt"}, 1, usage, absent, absent, absent},
        {"five arguments", t, {"m.gmm", "mu.txt", "sigma.txt", "w.txt", "x"}, 1, usage, absent, absent, absent},
        {"model missing", t, {"none.gmm", "mu.txt", "sigma.txt", "w.txt"}, 1, "File open error!\n", absent, absent, absent},
        {"model is a folder", t, {"sub", "mu.txt", "sigma.txt", "w.txt"}, 1, "sub: File read error!\n", absent, absent, absent},
        {"empty model", "", std_args, 1, "m.gmm:3: invalid model header\n", absent, absent, absent},
        {"mixture count 0", with_line(t, 8, "<NUMMIXES> 0"), std_args, 1, "m.gmm:8: invalid model header\n", absent, absent, absent},
        {"storage too large", with_line(with_line(t, 3, "<VECSIZE> 2147483647"), 8, "<NUMMIXES> 2147483647"), std_args, 1,
         "Error: Memory allocation for mu / sigma failed\n", absent, absent, absent},
        {"missing weight", with_line(t, 15, "<MIXTURE> 2"), std_args, 1, "m.gmm:15: missing mixture weight\n", absent, absent, absent},
        {"missing weight after a space", with_line(t, 15, "<MIXTURE> 2 "), std_args, 1, "m.gmm:15: missing mixture weight\n", absent,
         absent, absent},
        {"short model", first_lines(t, 18), std_args, 1,
         "m.gmm: ends after line 18, 20 lines expected\n", absent, absent, absent},
        {"few values", with_line(t, 19, " 1e10 0"), std_args, 1, "m.gmm:19: 2 values, 3 expected\n", absent, absent, absent},
        {"cut values line", with_line(t, 13, " 1" + std::string(9997, ' ') + "2 3"), std_args, 1,
         "m.gmm:13: line longer than 9998 characters\n", absent, absent, absent},

        {"means output unopenable", t, {"m.gmm", "nodir/mu.txt", "sigma.txt", "w.txt"}, 1,
         "nodir/mu.txt: File open error!\n", absent, absent, absent},
        {"variances output unopenable", t, {"m.gmm", "mu.txt", "sub", "w.txt"}, 1, "sub: File open error!\n", mu23, absent, absent},
        {"weights output unopenable", t, {"m.gmm", "mu.txt", "sigma.txt", "nodir/w"}, 1, "nodir/w: File open error!\n", mu23,
         sigma23, absent},
        {"means output full", t, {"m.gmm", "/dev/full", "sigma.txt", "w.txt"}, 1, "/dev/full: File write error!\n", absent, absent, absent},
        {"variances output full", t, {"m.gmm", "mu.txt", "/dev/full", "w.txt"}, 1, "/dev/full: File write error!\n", mu23, absent, absent},
        {"weights output full", t, {"m.gmm", "mu.txt", "sigma.txt", "/dev/full"}, 1, "/dev/full: File write error!\n", mu23, sigma23, absent},
        {"variances output a pipe nobody reads", t, {"m.gmm", "mu.txt", "/dev/stdout", "w.txt"}, 1,
         "/dev/stdout: File write error!\n", mu23, absent, absent, {.stdout_to = closed_pipe}},
        {"means past the file size limit", t, std_args, 1, "mu.txt: File write error!\n", mu23.substr(0, 60), absent, absent,
         {.file_size = 60}},
        {"help to a pipe nobody reads", t, {"--help"}, 1, MORRIT_PATH ": write error\n", absent, absent, absent,
         {.stdout_to = closed_pipe}},
        {"version on a full device", t, {"--version"}, 1, MORRIT_PATH ": write error\n", absent, absent, absent,
         {.stdout_to = "/dev/full"}},
        {"a reader the programs do not have", t, std_args, 1, MORRIT_PATH ": GMM_SCAN=sse5: scalar, sse4 or avx2 expected\n",
         absent, absent, absent, {.env = {"GMM_SCAN=sse5"}}},
        // Checked, and by keywords: the model as it is, and one whose values
        // only the keywords find.
        {"checked", t, {"--check", "m.gmm", "mu.txt", "sigma.txt", "w.txt"}, 0, "", mu23, sigma23, w23},
        {"checked, a mean count other than D", with_line(t, 10, "<MEAN> 4"), {"--check", "m.gmm", "mu.txt", "sigma.txt", "w.txt"},
         1, "m.gmm:10: <MEAN> 3 expected, found \"<MEAN> 4\"\n", absent, absent, absent},
        {"by keywords", with_line(t, 11, " 1 2\n3"), {"--keywords", "m.gmm", "mu.txt", "sigma.txt", "w.txt"}, 0, "",
         mu23, sigma23, w23},
        // Numbers the C library converts, on a stack of 24 KiB.
        {"weight in C library forms, a 24 KiB stack", with_line(with_line(t, 9, "<MIXTURE> 1 0x1p-2junk"), 11, " +1 +2 3x"),
         std_args, 0, "", mu23, sigma23, "2.500000e-01 7.500000e-01", {.stack = 24 << 10}},
        {"by keywords, a 24 KiB stack", with_line(t, 11, " +1 +0x1p1\n+3"), {"--keywords", "m.gmm", "mu.txt", "sigma.txt", "w.txt"},
         0, "", mu23, sigma23, w23, {.stack = 24 << 10}},
    };
}

class morrit_run : public testing::TestWithParam<const mcase *> {};

TEST_P(morrit_run, outputs_stderr_and_status)
{
    const mcase &c = *GetParam();
#ifdef GMM_SANITIZED
    if (c.how.stack != 0)
        GTEST_SKIP() << "the sanitizer runtimes need more stack than the limit allows";
#endif
    scratch s;
    write_file(s.at("m.gmm"), c.model);
    ASSERT_EQ(mkdir(s.at("sub").c_str(), 0700), 0);
    std::vector<std::string> argv = {MORRIT_PATH};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    outcome r = run(argv, s.dir, c.how);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    const std::pair<const char *, const std::string *> outputs[] = {
        {"mu.txt", &c.mu}, {"sigma.txt", &c.sigma}, {"w.txt", &c.w}};
    for (const auto &[name, want] : outputs) {
        if (*want == absent)
            EXPECT_FALSE(exists(s.at(name))) << name;
        else
            EXPECT_EQ(read_file(s.at(name)), *want) << name;
    }
    if (c.name == std::string("option-like names in a plain call")) {
        EXPECT_EQ(read_file(s.at("-h")), mu23);
        EXPECT_EQ(read_file(s.at("--version")), w23);
    }
    if (c.name == std::string("hyphen paths are file names")) {
        EXPECT_EQ(read_file(s.at("-")), mu23);
    }
    if (c.name == std::string("output replaces the model")) {
        EXPECT_EQ(read_file(s.at("m.gmm")), w23);
    }
}

INSTANTIATE_TEST_SUITE_P(cases, morrit_run, testing::ValuesIn(rows_of<cases>()),
                         [](const testing::TestParamInfo<const mcase *> &i) { return test_name(i.param->name); });

} // namespace

// --help and --version of both programs: standard output, status 0, and no
// file touched.
TEST(command_line, help_and_version)
{
    const struct {
        std::vector<std::string> argv;
        std::string out_start;
    } calls[] = {
        {{KELVANE_PATH, "--help"}, "Usage: $ " KELVANE_PATH " [options] (UBM file) (GMM list) (outfile)\n"},
        {{KELVANE_PATH, "-h", "x", "y", "z"}, "Usage: $ " KELVANE_PATH " [options] (UBM file)"},
        {{KELVANE_PATH, "--version"}, "kelvane " GMM_VERSION "\n"},
        {{MORRIT_PATH, "-h"}, "Usage: $ " MORRIT_PATH " [options] (GMM file) (mu_out) (sigma_out) (w_out)\n"},
        {{MORRIT_PATH, "--version"}, "morrit " GMM_VERSION "\n"},
    };
    for (const auto &c : calls) {
        scratch s;
        outcome r = run(c.argv, s.dir);
        EXPECT_EQ(r.status, 0) << c.argv[1];
        EXPECT_EQ(r.err, "") << c.argv[1];
        EXPECT_EQ(r.out.substr(0, c.out_start.size()), c.out_start) << c.argv[1];
        EXPECT_FALSE(exists(s.at("x")) || exists(s.at("z")));
    }
}

// A model large enough for its matrices to be placed on huge pages, its
// values written both in the shape "%le" prints (kept as they stand) and
// in others (read and printed): every output value is what "%le" prints of
// what strtod reads.
TEST(morrit_large, outputs_are_what_the_c_library_prints)
{
    const int M = 1100, D = 64;
    model m;
    std::uint64_t x = 88172645463325252ULL;
    auto next = [&] { // xorshift: values of every sign and size
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        return std::ldexp(static_cast<double>(x >> 11), -53 + static_cast<int>(x % 40) - 20) * ((x >> 5) % 2 ? 1 : -1);
    };
    for (int i = 0; i < M; ++i) {
        m.mu.emplace_back();
        m.sigma.emplace_back();
        m.w.push_back(next());
        for (int j = 0; j < D; ++j) {
            m.mu.back().push_back(next());
            m.sigma.back().push_back(next());
        }
    }
    // Means in the printed shape, variances and weights with all 17 digits.
    std::string text = model_text(m, "%.17g");
    for (int i = 0; i < M; ++i) {
        std::string line;
        char num[64];
        for (double v : m.mu[i]) {
            std::snprintf(num, sizeof num, " %e", v);
            line += num;
        }
        text = with_line(text, 11 + 6 * i, line);
    }
    auto printed = [](double v) {
        char num[64];
        std::snprintf(num, sizeof num, "%le", v);
        return std::string(num);
    };
    auto matrix = [&](const std::vector<std::vector<double>> &rows, bool reread) {
        std::string s;
        for (int c = 0; c < D; ++c)
            for (int r = 0; r < M; ++r) {
                const double v = reread ? std::strtod(printed(rows[r][c]).c_str(), nullptr) : rows[r][c];
                s += printed(v) + (r + 1 < M ? " " : c + 1 < D ? "\n" : "");
            }
        return s;
    };
    std::string w;
    for (int i = 0; i < M; ++i)
        w += printed(m.w[i]) + (i + 1 < M ? " " : "");

    scratch s;
    write_file(s.at("m.gmm"), text);
    outcome r = run({MORRIT_PATH, "m.gmm", "mu.txt", "sigma.txt", "w.txt"}, s.dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(s.at("mu.txt")), matrix(m.mu, true));
    EXPECT_EQ(read_file(s.at("sigma.txt")), matrix(m.sigma, false));
    EXPECT_EQ(read_file(s.at("w.txt")), w);
}

// Each output has its own status: a file the device refuses (more than a
// stream's buffer of it, so the write itself fails) is reported, and the
// next file is still written whole.
TEST(text_writer, each_file_has_its_own_status)
{
    using gmm::write_status;
    std::vector<gmm::le_text> values;
    std::string line;
    for (int i = 0; i < 500; ++i) {
        char num[32];
        std::snprintf(num, sizeof num, "%le", i * 0.25);
        values.push_back(gmm::le_text_of(num, std::strlen(num)));
        if (i > 0)
            line += ' ';
        line += num;
    }
    std::vector<gmm::le_text *> rows;
    for (gmm::le_text &v : values)
        rows.push_back(&v);
    scratch s;
    EXPECT_EQ(gmm::write_vector(values.data(), 500, "/dev/full"), write_status::write_failed);
    EXPECT_EQ(gmm::write_vector(values.data(), 500, s.at("w.txt").c_str()), write_status::ok);
    EXPECT_EQ(read_file(s.at("w.txt")), line);
    EXPECT_EQ(gmm::write_array(rows.data(), 500, 1, "/dev/full"), write_status::write_failed);
    EXPECT_EQ(gmm::write_array(rows.data(), 500, 1, s.at("mu.txt").c_str()), write_status::ok);
    EXPECT_EQ(read_file(s.at("mu.txt")), line);
    EXPECT_EQ(gmm::write_array(rows.data(), 500, 1, s.at("no/such/mu.txt").c_str()), write_status::open_failed);
}
