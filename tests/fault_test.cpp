// Faults from outside the input files: storage that cannot be had,
// directories and devices where files are expected, very long lists.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "supervectors.h"

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
        outcome k = run({KELVANE_PATH, "ubm.gmm", "list", "out.bin"}, s.dir, {.address_space = limit});
        EXPECT_EQ(k.status, 1);
        EXPECT_EQ(k.err, no_storage);
        EXPECT_EQ(read_file(s.at("out.bin")), "previous");
        outcome m = run({MORRIT_PATH, "big.gmm", "mu", "sigma", "w"}, s.dir, {.address_space = limit});
        EXPECT_EQ(m.status, 1);
        EXPECT_EQ(m.err, no_storage);
        EXPECT_FALSE(exists(s.at("mu")) || exists(s.at("sigma")) || exists(s.at("w")));
    }
    // A first model whose header promises far more components than the UBM
    // holds: storage for one worker is obtained, the UBM's fault reported,
    // at any number of workers.
    {
        scratch s;
        write_file(s.at("big.gmm"), with_header("10", "2500000"));
        write_file(s.at("ubm.gmm"), first_lines(model_text(small), 8));
        write_file(s.at("list"), "big.gmm\nbig.gmm\nbig.gmm\n");
        for (const char *n : {"1", "2", "3", "0"}) {
            outcome k = run({KELVANE_PATH, "-j", n, "ubm.gmm", "list", "out.bin"}, s.dir, {.address_space = 3 * limit});
            EXPECT_EQ(k.status, 1) << "-j " << n;
            EXPECT_EQ(k.err, "ubm.gmm: ends after line 8, 15000008 lines expected\n") << "-j " << n;
        }
    }
    // The same limit is ample for a real model.
    scratch s;
    write_file(s.at("m.gmm"), model_text(small));
    write_file(s.at("list"), "m.gmm\n");
    EXPECT_EQ(run({KELVANE_PATH, "m.gmm", "list", "out.bin"}, s.dir, {.address_space = limit}).status, 0);
    EXPECT_EQ(run({MORRIT_PATH, "m.gmm", "mu", "sigma", "w"}, s.dir, {.address_space = limit}).status, 0);
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
    // Binary numbers are read in both byte orders, so from the start again.
    const std::string binary = read_file(SOURCE_DIR "/tests/corpus/kw_binary_big.gmm");
    write_file(s.at("m.lst"), "m.gmm\n");
    for (const char *program : {MORRIT_PATH, KELVANE_PATH}) {
        std::thread feed([&] { write_file(s.at("pipe.gmm"), binary); });
        outcome r = program == std::string(MORRIT_PATH)
                        ? run({program, "--keywords", "pipe.gmm", "mu", "sigma", "w"}, s.dir)
                        : run({program, "--keywords", "pipe.gmm", "m.lst", "out.bin"}, s.dir);
        feed.join();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "pipe.gmm: binary numbers in a file that cannot be read twice (a pipe)\n");
        EXPECT_FALSE(exists(s.at("mu")));
        EXPECT_EQ(read_file(s.at("out.bin")), "previous");
    }
}

// A run in which every read of `file` fails at byte `at`, or with `once`
// only the first (the address sanitizer is told that the preloaded read()
// comes before its runtime).
run_options read_failing_at(const std::string &file, std::size_t at, bool once = false)
{
    std::vector<std::string> vars = {"READ_FAULT_FILE=" + file, "READ_FAULT_AT=" + std::to_string(at)};
    if (once)
        vars.push_back("READ_FAULT_ONCE=1");
    return {.env = preload(READ_FAULT_PATH, vars)};
}

// A read that fails part way through a file, as at a bad sector: every
// whole line before the fault is used, and the fault is reported where it
// cuts a line, with the same records and message at any number of workers.
// A read that fails once is a failure all the same: the file is not read
// again, nor on after it.
TEST(fault, read_failing_at_a_chosen_byte)
{
    scratch s;
    write_file(s.at("ubm.gmm"), model_text(small));
    const std::string b = model_text({{{2, 2, 2}, {5, 5, 5}}, {{1, 1, 1}, {1, 1, 1}}, {0.5, 0.5}});
    write_file(s.at("a.gmm"), model_text({{{1, 0, 3}, {4, 5, 9}}, {{1, 1, 1}, {1, 1, 1}}, {0.5, 0.5}}));
    write_file(s.at("b.gmm"), b);
    std::string ten, far;
    for (int i = 0; i < 10; ++i)
        ten += i % 2 ? "b.gmm\n" : "a.gmm\n";
    std::string deep; // 206 bytes a line: 1,275 whole lines before byte 262,744
    for (int i = 0; i < 100; ++i)
        deep += "./";
    for (int i = 0; i < 1400; ++i)
        far += deep + (i % 3 ? "b.gmm\n" : "a.gmm\n");
    const struct {
        const char *name;
        std::string list;
        const char *bad_file;
        std::size_t at;
        std::size_t lines_before; // list lines whose records are written
        std::string err;
    } rows[] = {
        {"list, in its eleventh line", ten + ten, "list", 63, 10, "list: File read error!\n"},
        {"list, past its first chunk", far, "list", 262744, 1275, "list: File read error!\n"},
        {"list, in its first line", ten, "list", 3, 0, "File open error!\n"},
        {"a later model's means", ten, "b.gmm", b.find("<MEAN>") + 12, 1, "b.gmm: File read error!\n"},
        {"the first model's header", "b.gmm\n" + ten, "b.gmm", 10, 0, "b.gmm: File read error!\n"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        write_file(s.at("list"), r.list);
        write_file(s.at("before.lst"), first_lines(r.list, static_cast<int>(r.lines_before)));
        std::remove(s.at("want.bin").c_str());
        if (r.lines_before > 0) {
            ASSERT_EQ(run({KELVANE_PATH, "ubm.gmm", "before.lst", "want.bin"}, s.dir).status, 0);
        }
        const std::string want = r.lines_before > 0 ? read_file(s.at("want.bin")) : "previous";
        // A fault that passes is tried with one worker, where the model
        // it falls in is known, and not in a list, which is read twice
        // (first for its first line alone, where the fault may fall).
        for (const bool once : {false, true})
            for (const std::vector<std::string> &options : {std::vector<std::string>{}, {"-j", "1"}, {"-j", "2"}, {"-j", "3"}, {"-j", "0"}}) {
                if (once && (r.bad_file == std::string("list") || (!options.empty() && options[1] != "1")))
                    continue;
                SCOPED_TRACE((options.empty() ? "plain call" : "-j " + options[1]) + (once ? ", failing once" : ""));
                write_file(s.at("out.bin"), "previous");
                std::vector<std::string> argv = {KELVANE_PATH};
                argv.insert(argv.end(), options.begin(), options.end());
                argv.insert(argv.end(), {"ubm.gmm", "list", "out.bin"});
                const outcome o = run(argv, s.dir, read_failing_at(s.at(r.bad_file), r.at, once));
                EXPECT_EQ(o.status, 1);
                EXPECT_EQ(o.err, r.err);
                EXPECT_EQ(read_file(s.at("out.bin")), want);
            }
    }
    // morrit: a model that fails part way is refused whole, in binary
    // storage too (in its numbers, or in a keyword's code).  A binary file
    // is read again from its start: a read that fails once fails the model
    // where the header's reading meets it (at 150 it falls in a read that
    // never comes, as the whole file is then read at once from its start).
    write_file(s.at("big.gmm"), read_file(SOURCE_DIR "/tests/corpus/kw_binary_big.gmm"));
    write_file(s.at("little.gmm"), read_file(SOURCE_DIR "/tests/corpus/kw_binary_little.gmm"));
    for (const bool once : {false, true})
        for (const auto &[file, at] : {std::pair{"b.gmm", 100}, {"big.gmm", 150}, {"big.gmm", 50}, {"little.gmm", 3},
                                       {"little.gmm", 4}}) {
            if (once && at == 150)
                continue;
            SCOPED_TRACE(std::string(file) + " at " + std::to_string(at) + (once ? ", failing once" : ""));
            std::remove(s.at("mu").c_str());
            std::vector<std::string> argv = {MORRIT_PATH, file, "mu", "sigma", "w"};
            if (file != std::string("b.gmm"))
                argv.insert(argv.begin() + 1, "--keywords");
            const outcome m = run(argv, s.dir, read_failing_at(s.at(file), at, once));
            EXPECT_EQ(m.status, 1);
            EXPECT_EQ(m.err, std::string(file) + ": File read error!\n");
            EXPECT_FALSE(exists(s.at("mu")));
        }
    // Past the last component: a plain read has all it reads, and a checked
    // or keyword read, which goes on to the end of the file, fails.
    const run_options after = read_failing_at(s.at("b.gmm"), b.find("<TRANSP>") + 5);
    for (const std::string option : {"", "--check", "--keywords"}) {
        SCOPED_TRACE(option);
        std::remove(s.at("mu").c_str());
        std::vector<std::string> argv = {MORRIT_PATH};
        if (!option.empty())
            argv.push_back(option);
        argv.insert(argv.end(), {"b.gmm", "mu", "sigma", "w"});
        const outcome o = run(argv, s.dir, after);
        EXPECT_EQ(o.status, option.empty() ? 0 : 1);
        EXPECT_EQ(o.err, option.empty() ? "" : "b.gmm: File read error!\n");
        EXPECT_EQ(exists(s.at("mu")), option.empty());
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

// The first end of a run stands: a sink that refuses a record and asks the
// run to stop as it does so ends it with that refusal, not the stop.
TEST(fault, the_first_end_of_a_run_stands)
{
    scratch s;
    write_file(s.at("m.gmm"), model_text(small));
    static std::string path;
    static std::atomic<bool> stop;
    path = s.at("m.gmm");
    int left, puts;
    auto next = [](void *from, char *, const char **p) {
        *p = path.c_str();
        return --*static_cast<int *>(from) >= 0 ? gmm::line_status::ok : gmm::line_status::end;
    };
    auto put = [](void *to, std::int64_t item, const double *) {
        ++*static_cast<int *>(to);
        stop = item > 0;
        return item > 0 ? gmm::run_fault{gmm::fault_kind::write, 0, 0, -1, "refused\n"} : gmm::run_fault{};
    };
    for (int n : {1, 3}) {
        left = 6, puts = 0, stop = false;
        std::vector<gmm::worker_scratch> scratch(static_cast<std::size_t>(n));
        std::vector<gmm::component_matrix> slots(static_cast<std::size_t>(gmm::record_slots(n)));
        gmm::component_matrix mu;
        ASSERT_TRUE(gmm::alloc_component_matrix(2, 3, &mu) && gmm::alloc_component_matrix(2, 3, &slots[0]) &&
                    gmm::alloc_scratch(&scratch[0]));
        const gmm::extraction x = {3, 2, gmm::read_rule::positions, mu.rows, nullptr, nullptr, &stop};
        const gmm::run_fault f = gmm::make_records(x, {next, &left, "list"}, {nullptr, put, &puts}, scratch.data(), n,
                                                   slots.data());
        EXPECT_EQ(f.kind, gmm::fault_kind::write) << n;
        EXPECT_EQ(f.item, 1) << n;
        EXPECT_EQ(puts, 2) << n;
        for (gmm::worker_scratch &w : scratch)
            gmm::free_scratch(&w);
        for (gmm::component_matrix &m : slots)
            gmm::free_component_matrix(&m);
        gmm::free_component_matrix(&mu);
    }
}

} // namespace
