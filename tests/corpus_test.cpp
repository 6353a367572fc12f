// The bad-input corpus (tests/corpus): every way a model file or a list can
// be wrong, each run through both programs, with the exact message and exit
// status expected of each, and no output left behind by a refused model.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "harness.h"

using namespace harness;

namespace {

const std::string absent = "<no such file>";

struct corpus_case {
    std::string file;
    int kelvane_status;
    std::string kelvane_err;
    int morrit_status; // -1: a list, not given to morrit
    std::string morrit_err;
    int records = -1;  // records kelvane must leave in its output; -1: none, no file
};

void PrintTo(const corpus_case &c, std::ostream *os) { *os << c.file; }

void copy_corpus(const scratch &s)
{
    for (const auto &entry : std::filesystem::directory_iterator(SOURCE_DIR "/tests/corpus"))
        std::filesystem::copy_file(entry.path(), s.at(entry.path().filename().string()));
}

// The same message from both programs.
corpus_case both(const std::string &file, const std::string &tail)
{
    const std::string err = tail.rfind("Error:", 0) == 0 ? tail : file + tail;
    return {file, 1, err, 1, err};
}

std::vector<corpus_case> cases()
{
    std::vector<corpus_case> c = {
        {"base.gmm", 0, "", 0, "", 1},
        {"crlf.gmm", 0, "", 0, "", 1},
        {"values_more.gmm", 0, "", 0, "", 1},
        {"values_junk.gmm", 0, "", 0, "", 1},
        {"weight_missing.gmm", 0, "", 1, "weight_missing.gmm:15: missing mixture weight\n", 1},
        both("empty.gmm", ":3: invalid model header\n"),
        both("garbage.gmm", ":3: invalid model header\n"),
        both("line3_one_token.gmm", ":3: invalid model header\n"),
        both("line3_tab.gmm", ":3: invalid model header\n"),
        both("vecsize_zero.gmm", ":3: invalid model header\n"),
        both("vecsize_negative.gmm", ":3: invalid model header\n"),
        both("line8_one_token.gmm", ":8: invalid model header\n"),
        both("mixcount_zero.gmm", ":8: invalid model header\n"),
        both("mixcount_negative.gmm", ":8: invalid model header\n"),
        both("header_overflow.gmm", "Error: Memory allocation for mu / sigma failed\n"),
        both("values_few.gmm", ":13: 2 values, 3 expected\n"),
        both("values_nul.gmm", ":11: 1 values, 3 expected\n"),
        both("values_tab.gmm", ":19: 2 values, 3 expected\n"),
        both("values_cut.gmm", ":17: line longer than 9998 characters\n"),
        // Lists, with base.gmm as the UBM.
        {"list_blank_lines.lst", 0, "", -1, "", 2},
        {"list_no_newline.lst", 0, "", -1, "", 1},
        {"list_missing_later.lst", 1, "none.gmm: File open error!\n", -1, "", 1},
        {"list_bad_model_later.lst", 1, "values_few.gmm:13: 2 values, 3 expected\n", -1, "", 1},
        {"list_empty.lst", 1, "File open error!\n", -1, ""},
        {"list_first_blank.lst", 1, "File open error!\n", -1, ""},
        {"list_crlf.lst", 1, "File open error!\n", -1, ""},
        {"list_garbage.lst", 1, "File open error!\n", -1, ""},
    };
    // The base model cut after each of its first 19 lines.
    for (int n = 1; n <= 19; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "truncated_%02d.gmm", n);
        if (n < 3)
            c.push_back(both(name, ":3: invalid model header\n"));
        else if (n < 8)
            c.push_back(both(name, ":8: invalid model header\n"));
        else
            c.push_back(both(name, ": ends after line " + std::to_string(n) + ", 20 lines expected\n"));
    }
    return c;
}

class corpus_run : public testing::TestWithParam<corpus_case> {};

TEST_P(corpus_run, both_programs)
{
    const corpus_case &c = GetParam();
    scratch s;
    copy_corpus(s);
    const bool is_list = c.morrit_status < 0;

    // kelvane: a model is its own UBM and the one model of the list.
    if (!is_list)
        write_file(s.at("one.lst"), c.file + "\n");
    outcome k = is_list ? run({KELVANE_PATH, "base.gmm", c.file, "sv.bin"}, s.dir)
                        : run({KELVANE_PATH, c.file, "one.lst", "sv.bin"}, s.dir);
    EXPECT_EQ(k.status, c.kelvane_status);
    EXPECT_EQ(k.err, c.kelvane_err);
    if (c.records < 0)
        EXPECT_FALSE(exists(s.at("sv.bin")));
    else
        EXPECT_EQ(read_file(s.at("sv.bin")).size(), static_cast<std::size_t>(c.records) * 2 * 3 * 8);

    if (is_list)
        return;
    outcome m = run({MORRIT_PATH, c.file, "mu.txt", "sigma.txt", "w.txt"}, s.dir);
    EXPECT_EQ(m.status, c.morrit_status);
    EXPECT_EQ(m.err, c.morrit_err);
    for (const char *out : {"mu.txt", "sigma.txt", "w.txt"})
        EXPECT_EQ(exists(s.at(out)), c.morrit_status == 0) << out;
}

INSTANTIATE_TEST_SUITE_P(corpus, corpus_run, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<corpus_case> &i) { return test_name(i.param.file); });

// Line ends of CR LF and surplus values change nothing: the same outputs as
// the base model.
TEST(corpus, tolerated_variants_read_like_the_base_model)
{
    scratch s;
    copy_corpus(s);
    auto outputs = [&](const std::string &file) {
        write_file(s.at("one.lst"), file + "\n");
        EXPECT_EQ(run({KELVANE_PATH, "base.gmm", "one.lst", "sv.bin"}, s.dir).status, 0);
        EXPECT_EQ(run({MORRIT_PATH, file, "mu.txt", "sigma.txt", "w.txt"}, s.dir).status, 0);
        return read_file(s.at("sv.bin")) + read_file(s.at("mu.txt")) + read_file(s.at("sigma.txt")) +
               read_file(s.at("w.txt"));
    };
    const std::string want = outputs("base.gmm");
    EXPECT_EQ(outputs("crlf.gmm"), want);
    EXPECT_EQ(outputs("values_more.gmm"), want);
}

} // namespace
