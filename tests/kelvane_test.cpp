// End-to-end runs of kelvane: exact output bytes, exact standard error, exit
// status, and an output file left as it was wherever a run fails before the
// output is opened.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "harness.h"

using namespace harness;

namespace {

const std::string old_output = "previous contents";
const std::string absent = "<no such file>";

// UBM and two models of M = 2 components by D = 3 dimensions whose values
// print and read back exactly.
const model ubm = {{{1, 2, 3}, {4, 5, 6}}, {{1, 1, 1}, {2, 2, 2}}, {0.25, 0.75}};
const model model_a = {{{1.5, 2.5, 3.5}, {4.25, 5, 7}}, {{1, 1, 1}, {1, 1, 1}}, {0.5, 0.5}};
const model model_b = {{{0, 0, 0}, {-4, -5, -6}}, {{1, 1, 1}, {1, 1, 1}}, {0.5, 0.5}};
const std::vector<double> rec_a = {0.5, 0.5, 0.5, 0.25, 0, 1};
const std::vector<double> rec_b = {-1, -2, -3, -8, -10, -12};

std::vector<double> cat(std::initializer_list<std::vector<double>> parts)
{
    std::vector<double> all;
    for (const auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

struct kcase {
    const char *name;
    std::map<std::string, std::string> files; // added to or replacing the standard set
    std::vector<std::string> args;            // after the program's name
    int status;
    std::string err;
    std::string out; // expected output bytes; old_output where it must stay untouched
};

void PrintTo(const kcase &c, std::ostream *os) { *os << c.name; }

std::map<std::string, std::string> standard_files()
{
    return {{"ubm.gmm", model_text(ubm)},
            {"a.gmm", model_text(model_a)},
            {"b.gmm", model_text(model_b)},
            {"list", "a.gmm\nb.gmm\n"},
            {"out.bin", old_output}};
}

const std::vector<std::string> std_args = {"ubm.gmm", "list", "out.bin"};

std::string huge_header()
{
    return with_line(with_line(model_text(model_a), 3, "<VECSIZE> 2147483647"), 8, "<NUMMIXES> 2147483647");
}

std::string long_values_line()
{
    std::string l = " 1.5 2.5";
    l.resize(9999, ' ');
    return l + "3.5";
}

std::vector<kcase> cases()
{
    const std::string a = model_text(model_a);
    const std::string usage = "Usage: $ " KELVANE_PATH " (UBM file) (GMM list) (outfile)\n";
    return {
        {"two models", {}, std_args, 0, "", doubles(cat({rec_a, rec_b}))},
        {"one line list", {{"list", "a.gmm\n"}}, std_args, 0, "", doubles(rec_a)},
        {"last line without newline", {{"list", "b.gmm\na.gmm"}}, std_args, 0, "", doubles(cat({rec_b, rec_a}))},
        {"same model twice", {{"list", "a.gmm\na.gmm\n"}}, std_args, 0, "", doubles(cat({rec_a, rec_a}))},
        {"blank lines are skipped", {{"list", "a.gmm\n\n\nb.gmm\n\n"}}, std_args, 0, "", doubles(cat({rec_a, rec_b}))},
        {"model equal to the UBM gives +0.0", {{"list", "ubm.gmm\n"}}, std_args, 0, "", std::string(48, '\0')},
        {"path with spaces", {{"my model.gmm", a}, {"list", "my model.gmm\n"}}, std_args, 0, "", doubles(rec_a)},
        {"carriage return belongs to the path", {{"a.gmm\r", a}, {"list", "a.gmm\r\n"}}, std_args, 0, "", doubles(rec_a)},
        {"carriage return path missing", {{"list", "a.gmm\r\n"}}, std_args, 1, "File open error!\n", old_output},
        {"hyphen model is a file name", {{"-", a}, {"list", "-\n"}}, std_args, 0, "", doubles(rec_a)},
        {"hyphen output is a file name", {}, {"ubm.gmm", "list", "-"}, 0, "", doubles(cat({rec_a, rec_b}))},
        {"UBM header is not read",
         {{"ubm.gmm", with_line(with_line(model_text(ubm), 3, "<VECSIZE> 7"), 8, "<NUMMIXES> 1")}},
         std_args, 0, "", doubles(cat({rec_a, rec_b}))},
        {"UBM with longer rows",
         {{"ubm.gmm", model_text({{{1, 2, 3, 9, 9}, {4, 5, 6, 9, 9}}, {{1, 1, 1, 1, 1}, {1, 1, 1, 1, 1}}, {}})}},
         std_args, 0, "", doubles(cat({rec_a, rec_b}))},
        {"header with leading spaces",
         {{"a.gmm", with_line(with_line(a, 3, "   <VECSIZE>   3<NULLD>"), 8, "  <NUMMIXES>  2 ")}},
         std_args, 0, "", doubles(cat({rec_a, rec_b}))},
        {"tab and carriage return are not separators",
         {{"a.gmm", with_line(a, 11, "\t1.5 2.5\r 3.5\r")}}, std_args, 0, "", doubles(cat({rec_a, rec_b}))},
        {"token without a number is zero",
         {{"a.gmm", with_line(a, 11, " x1 junk 3.5")}, {"list", "a.gmm\n"}}, std_args, 0, "",
         doubles({-1, -2, 0.5, 0.25, 0, 1})},
        {"C library number forms",
         {{"a.gmm", with_line(a, 11, " 0x1.8p0 +2.5e0 3.5e+0x")}, {"list", "a.gmm\n"}}, std_args, 0, "",
         doubles(rec_a)},
        {"surplus values are ignored",
         {{"a.gmm", with_line(a, 11, " 1.5 2.5 3.5 4.5 5.5")}, {"list", "a.gmm\n"}}, std_args, 0, "", doubles(rec_a)},
        {"nothing after the last component is read",
         {{"a.gmm", first_lines(a, 20)}, {"list", "a.gmm\n"}}, std_args, 0, "", doubles(rec_a)},

        // Argument and open failures leave the output untouched.
        {"no arguments", {}, {}, 1, usage, old_output},
        {"two arguments", {}, {"ubm.gmm", "list"}, 1, usage, old_output},
        {"four arguments", {}, {"ubm.gmm", "list", "out.bin", "x"}, 1, usage, old_output},
        {"list missing", {}, {"ubm.gmm", "nolist", "out.bin"}, 1, "File open error!\n", old_output},
        {"list empty", {{"list", ""}}, std_args, 1, "File open error!\n", old_output},
        {"list first line empty", {{"list", "\na.gmm\n"}}, std_args, 1, "File open error!\n", old_output},
        {"first model missing", {{"list", "none.gmm\na.gmm\n"}}, std_args, 1, "File open error!\n", old_output},
        {"UBM missing", {}, {"noubm.gmm", "list", "out.bin"}, 1, "noubm.gmm: File open error!\n", old_output},
        {"output folder missing", {}, {"ubm.gmm", "list", "nodir/out.bin"}, 1, "nodir/out.bin: File open error!\n", absent},
        {"storage too large", {{"a.gmm", huge_header()}}, std_args, 1,
         "Error: Memory allocation for mu / sigma failed\n", old_output},

        // Header faults of the first model.
        {"first model empty", {{"a.gmm", ""}}, std_args, 1, "a.gmm:3: invalid model header\n", old_output},
        {"first model ends at line 2", {{"a.gmm", first_lines(a, 2)}}, std_args, 1, "a.gmm:3: invalid model header\n", old_output},
        {"first model ends at line 7", {{"a.gmm", first_lines(a, 7)}}, std_args, 1, "a.gmm:8: invalid model header\n", old_output},
        {"line 3 with one token", {{"a.gmm", with_line(a, 3, "<VECSIZE>")}}, std_args, 1, "a.gmm:3: invalid model header\n", old_output},
        {"line 3 token after a tab", {{"a.gmm", with_line(a, 3, "<VECSIZE>\t3")}}, std_args, 1, "a.gmm:3: invalid model header\n", old_output},
        {"vector size 0", {{"a.gmm", with_line(a, 3, "<VECSIZE> 0")}}, std_args, 1, "a.gmm:3: invalid model header\n", old_output},
        {"vector size not a number", {{"a.gmm", with_line(a, 3, "<VECSIZE> <NULLD>")}}, std_args, 1, "a.gmm:3: invalid model header\n", old_output},
        {"line 8 with one token", {{"a.gmm", with_line(a, 8, "<NUMMIXES>")}}, std_args, 1, "a.gmm:8: invalid model header\n", old_output},
        {"mixture count -1", {{"a.gmm", with_line(a, 8, "<NUMMIXES> -1")}}, std_args, 1, "a.gmm:8: invalid model header\n", old_output},
        {"line 8 ends the file", {{"a.gmm", first_lines(a, 7) + "<NUMMIXES> 1"}, {"list", "a.gmm\n"}}, std_args, 1,
         "a.gmm: ends after line 8, 14 lines expected\n", ""},
        {"first model is a folder", {{"list", "sub\n"}}, std_args, 1, "sub: File read error!\n", old_output},

        // Faults of the UBM: output untouched.
        {"UBM is a folder", {}, {"sub", "list", "out.bin"}, 1, "sub: File read error!\n", old_output},
        {"UBM short", {{"ubm.gmm", first_lines(model_text(ubm), 15)}}, std_args, 1,
         "ubm.gmm: ends after line 15, 20 lines expected\n", old_output},
        {"UBM few values", {{"ubm.gmm", with_line(model_text(ubm), 19, " 1 2")}}, std_args, 1,
         "ubm.gmm:19: 2 values, 3 expected\n", old_output},
        {"UBM line cut", {{"ubm.gmm", with_line(model_text(ubm), 11, long_values_line())}}, std_args, 1,
         "ubm.gmm:11: line longer than 9998 characters\n", old_output},

        // Faults of a later model: the records before it stay.
        {"later model missing", {{"list", "a.gmm\nnone.gmm\nb.gmm\n"}}, std_args, 1, "none.gmm: File open error!\n", doubles(rec_a)},
        {"later line of spaces", {{"list", "a.gmm\n  \nb.gmm\n"}}, std_args, 1, "  : File open error!\n", doubles(rec_a)},
        {"later model is a folder", {{"list", "a.gmm\nsub\n"}}, std_args, 1, "sub: File read error!\n", doubles(rec_a)},
        {"later model short", {{"b.gmm", first_lines(model_text(model_b), 19)}}, std_args, 1,
         "b.gmm: ends after line 19, 20 lines expected\n", doubles(rec_a)},
        {"later model few values", {{"b.gmm", with_line(model_text(model_b), 17, "")}}, std_args, 1,
         "b.gmm:17: 0 values, 3 expected\n", doubles(rec_a)},
        {"tab joins two values", {{"b.gmm", with_line(model_text(model_b), 11, " 0\t0 0")}}, std_args, 1,
         "b.gmm:11: 2 values, 3 expected\n", doubles(rec_a)},
        {"cut line shifts positions", {{"b.gmm", with_line(model_text(model_b), 2, std::string(9999, 'x'))}}, std_args, 1,
         "b.gmm:11: 2 values, 3 expected\n", doubles(rec_a)},
        {"output on a full device", {}, {"ubm.gmm", "list", "/dev/full"}, 1, "/dev/full: File write error!\n", old_output},
    };
}

class kelvane_run : public testing::TestWithParam<kcase> {};

TEST_P(kelvane_run, output_stderr_and_status)
{
    const kcase &c = GetParam();
    scratch s;
    std::map<std::string, std::string> files = standard_files();
    for (const auto &[name, text] : c.files)
        files[name] = text;
    for (const auto &[name, text] : files)
        write_file(s.at(name), text);
    ASSERT_EQ(mkdir(s.at("sub").c_str(), 0700), 0);

    std::vector<std::string> argv = {KELVANE_PATH};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    outcome r = run(argv, s.dir);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    const std::string out_name = c.args.size() == 3 && c.args[2][0] != '/' ? c.args[2] : "out.bin";
    if (c.out == absent)
        EXPECT_FALSE(exists(s.at(out_name)));
    else
        EXPECT_EQ(read_file(s.at(out_name)), c.out);
}

INSTANTIATE_TEST_SUITE_P(cases, kelvane_run, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<kcase> &i) { return test_name(i.param.name); });

// The bundled examples: one record per listed model, each value the model's
// mean minus the UBM's, read from the text as the C library reads it.
TEST(kelvane_examples, records_match_the_model_text)
{
    scratch s;
    outcome r = run({KELVANE_PATH, "examples/ubm.gmm", "examples/models.lst", s.at("sv.bin")}, SOURCE_DIR);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string sv = read_file(s.at("sv.bin"));
    ASSERT_EQ(sv.size(), 3u * 16 * 39 * 8);

    auto means = [](const std::string &text) {
        std::vector<double> v;
        std::size_t pos = 0;
        for (int line = 1; pos < text.size(); ++line) {
            std::size_t e = text.find('\n', pos);
            if (line > 8 && (line - 9) % 6 == 2 && line <= 8 + 6 * 16) {
                std::string l = text.substr(pos, e - pos);
                char *p = l.data();
                for (char *end; ; p = end) {
                    double x = std::strtod(p, &end);
                    if (end == p)
                        break;
                    v.push_back(x);
                }
            }
            pos = e + 1;
        }
        return v;
    };
    const std::vector<double> base = means(read_file(SOURCE_DIR "/examples/ubm.gmm"));
    ASSERT_EQ(base.size(), 16u * 39);
    for (int n = 0; n < 3; ++n) {
        const std::vector<double> m = means(read_file(SOURCE_DIR "/examples/model000" + std::to_string(n + 1) + ".gmm"));
        ASSERT_EQ(m.size(), base.size());
        std::vector<double> want(m.size());
        for (std::size_t k = 0; k < m.size(); ++k)
            want[k] = m[k] - base[k];
        EXPECT_EQ(sv.substr(static_cast<std::size_t>(n) * 16 * 39 * 8, 16 * 39 * 8), doubles(want)) << "record " << n;
    }
}

} // namespace
