// Faults from outside the input files: storage that cannot be had,
// directories and devices where files are expected, very long lists.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <thread>
#include <vector>

#include "harness.h"

using namespace harness;

namespace {

const model small = {{{1, 2, 3}, {4, 5, 6}}, {{1, 1, 1}, {2, 2, 2}}, {0.5, 0.5}};
const std::string no_storage = "Error: Memory allocation for mu / sigma failed\n";

std::string with_header(const std::string &D, const std::string &M)
{
    return with_line(with_line(model_text(small), 3, "<VECSIZE> " + D), 8, "<NUMMIXES> " + M);
}

// Under a 256 MiB address-space limit, storage for these headers cannot be
// obtained: both programs must say so and leave their outputs alone.  (The
// sanitizers reserve far more address space than that, so this runs only in
// the normal build.)
TEST(fault, storage_refused_under_an_address_space_limit)
{
#ifdef GMM_SANITIZED
    GTEST_SKIP() << "the sanitizer runtimes need more address space than the limit allows";
#endif
    const std::uint64_t limit = 256ULL << 20;
    const std::pair<const char *, const char *> headers[] = {
        {"1000", "1000000"}, {"2147483647", "2"}, {"1", "2147483647"}, {"2147483647", "2147483647"}};
    for (const auto &[D, M] : headers) {
        SCOPED_TRACE(std::string("D = ") + D + ", M = " + M);
        scratch s;
        write_file(s.at("big.gmm"), with_header(D, M));
        write_file(s.at("ubm.gmm"), model_text(small));
        write_file(s.at("list"), "big.gmm\n");
        write_file(s.at("out.bin"), "previous");
        outcome k = run({KELVANE_PATH, "ubm.gmm", "list", "out.bin"}, s.dir, limit);
        EXPECT_EQ(k.status, 1);
        EXPECT_EQ(k.err, no_storage);
        EXPECT_EQ(read_file(s.at("out.bin")), "previous");
        outcome m = run({MORRIT_PATH, "big.gmm", "mu", "sigma", "w"}, s.dir, limit);
        EXPECT_EQ(m.status, 1);
        EXPECT_EQ(m.err, no_storage);
        EXPECT_FALSE(exists(s.at("mu")) || exists(s.at("sigma")) || exists(s.at("w")));
    }
    // The same limit is ample for a real model.
    scratch s;
    write_file(s.at("m.gmm"), model_text(small));
    write_file(s.at("list"), "m.gmm\n");
    EXPECT_EQ(run({KELVANE_PATH, "m.gmm", "list", "out.bin"}, s.dir, limit).status, 0);
    EXPECT_EQ(run({MORRIT_PATH, "m.gmm", "mu", "sigma", "w"}, s.dir, limit).status, 0);
}

TEST(fault, directories_where_files_are_expected)
{
    scratch s;
    write_file(s.at("m.gmm"), model_text(small));
    write_file(s.at("list"), "m.gmm\n");
    ASSERT_EQ(mkdir(s.at("dir").c_str(), 0700), 0);
    struct {
        std::vector<std::string> argv;
        std::string err;
    } cases[] = {
        {{KELVANE_PATH, "m.gmm", "dir", "out.bin"}, "File open error!\n"},
        {{KELVANE_PATH, "dir", "list", "out.bin"}, "dir: File read error!\n"},
        {{KELVANE_PATH, "m.gmm", "list", "dir"}, "dir: File open error!\n"},
        {{MORRIT_PATH, "dir", "mu", "sigma", "w"}, "dir: File read error!\n"},
        {{MORRIT_PATH, "m.gmm", "dir", "sigma", "w"}, "dir: File open error!\n"},
        {{MORRIT_PATH, "m.gmm", "mu", "sigma", "dir"}, "dir: File open error!\n"},
    };
    for (const auto &c : cases) {
        outcome r = run(c.argv, s.dir);
        EXPECT_EQ(r.status, 1) << c.argv[1] << " " << c.argv[2];
        EXPECT_EQ(r.err, c.err) << c.argv[1] << " " << c.argv[2];
    }
    EXPECT_FALSE(exists(s.at("out.bin")));
}

// A pipe cannot be read twice: the list (read once for its first model's
// header, then from its start) and the model of morrit (probed, then read)
// must be refused rather than read from the wrong place.
TEST(fault, pipes_where_files_are_read_twice)
{
    scratch s;
    write_file(s.at("m.gmm"), model_text(small));
    write_file(s.at("out.bin"), "previous");
    ASSERT_EQ(mkfifo(s.at("list").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(s.at("pipe.gmm").c_str(), 0600), 0);
    for (const std::vector<std::string> &argv : {std::vector<std::string>{KELVANE_PATH, "m.gmm", "list", "out.bin"},
                                                 {KELVANE_PATH, "-j", "4", "m.gmm", "list", "out.bin"}}) {
        std::thread feed([&] { write_file(s.at("list"), "m.gmm\nm.gmm\n"); });
        outcome r = run(argv, s.dir);
        feed.join();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "list: File read error!\n");
        EXPECT_EQ(read_file(s.at("out.bin")), "previous");
    }
    {
        std::thread feed([&] { write_file(s.at("pipe.gmm"), model_text(small)); });
        outcome r = run({MORRIT_PATH, "pipe.gmm", "mu", "sigma", "w"}, s.dir);
        feed.join();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "pipe.gmm: File read error!\n");
        EXPECT_FALSE(exists(s.at("mu")));
    }
}

TEST(fault, list_of_ten_thousand_lines)
{
    scratch s;
    write_file(s.at("ubm.gmm"), model_text(small));
    write_file(s.at("m.gmm"), model_text({{{2, 2, 2}, {5, 5, 5}}, {{1, 1, 1}, {1, 1, 1}}, {0.5, 0.5}}));
    std::string list;
    for (int i = 0; i < 10000; ++i)
        list += "m.gmm\n";
    write_file(s.at("list"), list);
    outcome r = run({KELVANE_PATH, "ubm.gmm", "list", "out.bin"}, s.dir);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string record = doubles({1, 0, -1, 1, 0, -1});
    std::string want;
    for (int i = 0; i < 10000; ++i)
        want += record;
    EXPECT_EQ(read_file(s.at("out.bin")), want);
}

} // namespace
