// End-to-end runs of kelvane: exact output bytes, exact standard error, exit
// status, and an output file left as it was wherever a run fails before the
// output is opened.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "harness.h"
#include "line_reader.h"
#include "messages.h"
#include "progress.h"

using namespace harness;
using gmm::chunk_bytes;

namespace {

const std::string old_output = "previous contents";
const std::string absent = "<no such file>";

// UBM and two models of M = 2 components by D = 3 dimensions whose values
// print and read back exactly.
// Its weights and variances are such that (m - u) * sqrt(w) / sqrt(v)
// rounds otherwise when divided first.
const model ubm = {{{1, 2, 3}, {4, 5, 6}}, {{3, 5, 7}, {2, 6, 10}}, {0.1, 0.9}};
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

// A link made beside the files: name -> target, symbolic or hard.
struct link {
    std::string name, target;
    bool hard;
};

struct kcase {
    const char *name;
    std::map<std::string, std::string> files; // added to or replacing the standard set
    std::vector<std::string> args;            // after the program's name
    int status;
    std::string err;
    std::string out; // expected output bytes; old_output where it must stay untouched
    std::vector<link> links = {};
    run_options how = {};
    bool every_j = false; // the same at -j 1, 2, 3 and 0
    std::string printed = ""; // on standard output
};

void PrintTo(const kcase *c, std::ostream *os) { *os << c->name; }

std::map<std::string, std::string> standard_files()
{
    return {{"ubm.gmm", model_text(ubm)},
            {"a.gmm", model_text(model_a)},
            {"b.gmm", model_text(model_b)},
            {"list", "a.gmm\nb.gmm\n"},
            {"out.bin", old_output}};
}

const std::vector<std::string> std_args = {"ubm.gmm", "list", "out.bin"};

// The header of a .npy file of `rows` records of 6 values of `type` ('8'
// doubles, '4' floats), as the format's description lays it out: the magic,
// version 1.0, the little-endian length of the dictionary that follows,
// padded with spaces and a newline to a multiple of 64 bytes in all.
std::string npy(int rows, char type)
{
    std::string dict = std::string("{'descr': '<f") + type + "', 'fortran_order': False, 'shape': (" +
                       std::to_string(rows) + ", 6), }";
    dict += std::string(63 - (10 + dict.size()) % 64, ' ') + "\n";
    return std::string("\x93NUMPY\x01\x00", 8) + static_cast<char>(dict.size()) + '\0' + dict;
}

// `values` as the raw bytes of native floats, each rounded from its double.
std::string singles(const std::vector<double> &values)
{
    std::string bytes;
    for (double v : values) {
        const float f = static_cast<float>(v);
        bytes.append(reinterpret_cast<const char *>(&f), sizeof f);
    }
    return bytes;
}

std::string huge_header()
{
    return with_line(with_line(model_text(model_a), 3, "<VECSIZE> 2147483647"), 8, "<NUMMIXES> 2147483647");
}

// `line` with spaces added to `n` characters.
std::string padded(std::string line, std::size_t n)
{
    line.resize(n, ' ');
    return line;
}

std::string long_values_line()
{
    std::string l = " 1.5 2.5";
    l.resize(9999, ' ');
    return l + "3.5";
}

// The text of line n (1-based) of `text`, without its newline.
std::string line_of(const std::string &text, int n)
{
    const std::size_t from = first_lines(text, n - 1).size();
    return text.substr(from, first_lines(text, n).size() - from - 1);
}

// b.gmm with lines 2 to 16 filled out with spaces, so that its line 17 (the
// second component's means, given as `means`) starts 5,000 bytes before the
// end of the first read chunk.
std::string means_across_chunk_end(const std::string &means)
{
    std::string text = model_text(model_b);
    std::size_t short_by = chunk_bytes - 5000 - first_lines(text, 16).size();
    for (int k = 2; k <= 16; ++k) {
        const std::string line = line_of(text, k);
        const std::size_t add = std::min(short_by, 9998 - line.size());
        text = with_line(text, k, padded(line, line.size() + add));
        short_by -= add;
    }
    return with_line(text, 17, means);
}

// The normalized record of a model: (m - u) * sqrt(w) / sqrt(v) with the
// UBM's weights and variances, computed here from the values themselves.
std::vector<double> normalized(const model &m, const model &u = ubm)
{
    std::vector<double> r;
    for (std::size_t i = 0; i < m.mu.size(); ++i)
        for (std::size_t j = 0; j < m.mu[i].size(); ++j)
            r.push_back((m.mu[i][j] - u.mu[i][j]) * std::sqrt(u.w[i]) / std::sqrt(u.sigma[i][j]));
    return r;
}

std::vector<kcase> cases()
{
    const std::string a = model_text(model_a);
    const std::string usage = "Usage: $ " KELVANE_PATH " (UBM file) (GMM list) (outfile)\n";
    const std::string prog = KELVANE_PATH ": ";
    const std::string same = ": input file is output file\n";
    const std::string bad_j = "' for -j: a whole number from 0 to 1024 expected\n";
    const std::string ubm_text = model_text(ubm);
    const std::string a_d4 = with_line(a, 3, "<VECSIZE> 4<NULLD>"), a_m1 = with_line(a, 8, "<NUMMIXES> 1");
    model ubm_w0 = ubm;
    ubm_w0.w[0] = 0;
    // A list of 120,000 bytes, read in several pieces.
    std::string long_list;
    std::vector<double> long_records;
    for (int i = 0; i < 10000; ++i) {
        long_list += "a.gmm\nb.gmm\n";
        long_records.insert(long_records.end(), rec_a.begin(), rec_a.end());
        long_records.insert(long_records.end(), rec_b.begin(), rec_b.end());
    }
    return {
        {"two models", {}, std_args, 0, "", doubles(cat({rec_a, rec_b}))},
        {"list longer than a read", {{"list", long_list}}, std_args, 0, "", doubles(long_records)},
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
        {"line of 9998 characters arrives whole", {{"a.gmm", with_line(a, 11, padded(" 1.5 2.5 3.5", 9998))}}, std_args, 0, "",
         doubles(cat({rec_a, rec_b}))},
        {"line of 9998 characters across the end of a read chunk",
         {{"b.gmm", means_across_chunk_end(padded(" -4 -5 -6", 9998))}}, std_args, 0, "", doubles(cat({rec_a, rec_b}))},
        {"list line at the last byte of a read chunk", {{"list", "a.gmm\n" + std::string(chunk_bytes - 7, '\n') + "b.gmm\n"}},
         std_args, 0, "", doubles(cat({rec_a, rec_b}))},
        {"variances line not starting with a space", {{"a.gmm", with_line(a, 13, "1.000000 1.000000 1")}}, std_args, 0, "",
         doubles(cat({rec_a, rec_b}))},

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
        {"short last line without newline is not cut", {{"b.gmm", first_lines(model_text(model_b), 18) + " 1 1"}}, std_args, 1,
         "b.gmm:19: 2 values, 3 expected\n", doubles(rec_a)},
        {"tab joins two values", {{"b.gmm", with_line(model_text(model_b), 11, " 0\t0 0")}}, std_args, 1,
         "b.gmm:11: 2 values, 3 expected\n", doubles(rec_a)},
        {"line cut across the end of a read chunk", {{"b.gmm", means_across_chunk_end(padded(" -4 -5", 9999) + "-6")}},
         std_args, 1, "b.gmm:17: line longer than 9998 characters\n", doubles(rec_a)},
        {"cut line shifts positions", {{"b.gmm", with_line(model_text(model_b), 2, std::string(9999, 'x'))}}, std_args, 1,
         "b.gmm:11: 2 values, 3 expected\n", doubles(rec_a)},
        {"output on a full device", {}, {"ubm.gmm", "list", "/dev/full"}, 1, "/dev/full: File write error!\n", old_output},
        {"output a pipe nobody reads", {}, {"ubm.gmm", "list", "/dev/stdout"}, 1, "/dev/stdout: File write error!\n",
         old_output, {}, {.stdout_to = closed_pipe}, true},
        {"output past the file size limit", {}, std_args, 1, "out.bin: File write error!\n", doubles(rec_a), {},
         {.file_size = 48}, true},
        {"help on a full device", {}, {"--help"}, 1, prog + "write error\n", old_output, {}, {.stdout_to = "/dev/full"}},
        {"version to a pipe nobody reads", {}, {"--version"}, 1, prog + "write error\n", old_output, {},
         {.stdout_to = closed_pipe}},
        {"a reader the programs do not have", {}, std_args, 1, prog + "GMM_SCAN=avx512: scalar, sse4 or avx2 expected\n",
         old_output, {}, {.env = {"GMM_SCAN=avx512"}}},
        {"the SSE4 reader asked for", {}, std_args, 0, "", doubles(cat({rec_a, rec_b})), {}, {.env = {"GMM_SCAN=sse4"}}},
        // The output may be given descriptor 0.
        {"standard input closed", {}, std_args, 0, "", doubles(cat({rec_a, rec_b})), {}, {.stdin_closed = true}},

        // Options.  A call of exactly three arguments is file names alone.
        {"plain call of option-like names", {{"-j", ubm_text}, {"--check", "a.gmm\n"}}, {"-j", "--check", "--help"}, 0, "",
         doubles(rec_a)},
        {"options before the files", {}, {"-j", "2", "--check", "ubm.gmm", "list", "out.bin"}, 0, "", doubles(cat({rec_a, rec_b}))},
        {"joined and long forms", {}, {"-j3", "--threads", "0", "--threads=1", "ubm.gmm", "list", "out.bin"}, 0, "",
         doubles(cat({rec_a, rec_b}))},
        {"double hyphen ends the options", {{"-j", ubm_text}}, {"--", "-j", "list", "out.bin"}, 0, "", doubles(cat({rec_a, rec_b}))},
        {"unknown short option", {}, {"-x", "ubm.gmm", "list", "out.bin"}, 1, prog + "unknown option -x\n" + usage, old_output},
        {"unknown long option", {}, {"--fast", "ubm.gmm", "list", "out.bin"}, 1, prog + "unknown option --fast\n" + usage, old_output},
        {"flag given a value", {}, {"--check=yes", "ubm.gmm", "list", "out.bin"}, 1, prog + "option --check takes no value\n" + usage, old_output},
        {"missing value", {}, {"--progress", "-j"}, 1, prog + "option -j needs a value\n" + usage, old_output},
        {"threads above 1024", {}, {"-j", "1025", "ubm.gmm", "list", "out.bin"}, 1, prog + "bad value '1025" + bad_j + usage, old_output},
        {"threads negative", {}, {"--threads=-1", "ubm.gmm", "list", "out.bin"}, 1, prog + "bad value '-1" + bad_j + usage, old_output},
        {"threads empty", {}, {"--threads=", "ubm.gmm", "list", "out.bin"}, 1, prog + "bad value '" + bad_j + usage, old_output},
        {"threads 1024", {}, {"-j", "1024", "ubm.gmm", "list", "out.bin"}, 0, "", doubles(cat({rec_a, rec_b}))},
        {"files missing after options", {}, {"-j", "2", "ubm.gmm", "list"}, 1, prog + "2 file arguments, 3 expected\n" + usage, old_output},
        {"file too many after options", {}, {"--", "ubm.gmm", "list", "out.bin", "x"}, 1, prog + "4 file arguments, 3 expected\n" + usage, old_output},

        // --sizes-from and --dry-run, for a list run in parts.
        {"sizes from another model", {{"list", "\n\nb.gmm\na.gmm\n"}}, {"--sizes-from=b.gmm", "ubm.gmm", "list", "out.bin"}, 0, "",
         doubles(cat({rec_b, rec_a}))},
        {"sizes from a model, empty list", {{"list", ""}}, {"--sizes-from", "a.gmm", "ubm.gmm", "list", "out.bin"}, 0, "", ""},
        {"sizes from a missing model", {}, {"--sizes-from=none.gmm", "ubm.gmm", "list", "out.bin"}, 1, "File open error!\n", old_output},
        {"sizes from a bad header", {{"c.gmm", with_line(a, 3, "<VECSIZE>")}},
         {"--sizes-from=c.gmm", "ubm.gmm", "list", "out.bin"}, 1, "c.gmm:3: invalid model header\n", old_output},
        {"sizes from a model that is the output", {}, {"--sizes-from=ubm2.gmm", "ubm.gmm", "list", "ubm2.gmm"}, 1,
         "ubm2.gmm" + same, "<input>", {{"ubm2.gmm", "ubm.gmm", true}}},
        {"dry run writes nothing", {}, {"--dry-run", "--normalize", "ubm.gmm", "list", "out.bin"}, 0, "", old_output},
        {"dry run makes no output", {}, {"--dry-run", "ubm.gmm", "list", "new.bin"}, 0, "", absent},
        {"dry run finds the UBM short", {{"ubm.gmm", first_lines(model_text(ubm), 15)}}, {"--dry-run", "ubm.gmm", "list", "out.bin"},
         1, "ubm.gmm: ends after line 15, 20 lines expected\n", old_output},
        {"dry run refuses an output a model names", {{"list", "a.gmm\nb.gmm\nnew.bin\n"}}, {"--dry-run", "ubm.gmm", "list", "new.bin"},
         1, "new.bin" + same, "<input>"},

        // --check: every header, the UBM's included, gives the first model's D and M.
        {"check passes", {}, {"--check", "ubm.gmm", "list", "out.bin"}, 0, "", doubles(cat({rec_a, rec_b}))},
        {"check UBM vector size", {{"ubm.gmm", with_line(ubm_text, 3, "<VECSIZE> 2")}}, {"--check", "ubm.gmm", "list", "out.bin"}, 1,
         "ubm.gmm:3: vector size 2, 3 expected\n", old_output},
        {"check UBM header unreadable", {{"ubm.gmm", with_line(ubm_text, 8, "<NUMMIXES>")}}, {"--check", "ubm.gmm", "list", "out.bin"}, 1,
         "ubm.gmm:8: invalid model header\n", old_output},
        {"check middle model mixture count", {{"c.gmm", a_m1}, {"list", "a.gmm\nc.gmm\nb.gmm\n"}}, {"--check", "ubm.gmm", "list", "out.bin"},
         1, "c.gmm:8: mixture count 1, 2 expected\n", doubles(rec_a)},
        {"check last model vector size", {{"c.gmm", a_d4}, {"list", "a.gmm\nb.gmm\nc.gmm"}}, {"--check", "ubm.gmm", "list", "out.bin"},
         1, "c.gmm:3: vector size 4, 3 expected\n", doubles(cat({rec_a, rec_b}))},
        {"check first model sets the sizes", {{"list", "c.gmm\na.gmm\n"}, {"c.gmm", a_d4}}, {"--check", "ubm.gmm", "list", "out.bin"},
         1, "ubm.gmm:3: vector size 3, 4 expected\n", old_output},
        {"without check the header is not compared", {{"c.gmm", a_m1}, {"list", "a.gmm\nc.gmm\n"}}, std_args, 0, "",
         doubles(cat({rec_a, rec_a}))},
        {"check refuses another layout", {{"c.gmm", with_line(a, 2, "<HMMSETID> set1\n<STREAMINFO> 1 3")}, {"list", "a.gmm\nc.gmm\n"}},
         {"--check", "ubm.gmm", "list", "out.bin"}, 1, "c.gmm:3: <VECSIZE> expected, found \"<STREAMINFO> 1 3\"\n", doubles(rec_a)},

        // --keywords: every model read by its keywords, in any layout.
        {"print sizes", {}, {"--print-sizes", "ubm.gmm", "list", "out.bin"}, 0, "", old_output, {}, {}, false, "3 2\n"},
        {"print sizes after the checks", {}, {"--print-sizes", "ubm.gmm", "list", "list"}, 1, "list" + same, "<input>"},
        {"keywords read the positional layout", {}, {"--keywords", "ubm.gmm", "list", "out.bin"}, 0, "",
         doubles(cat({rec_a, rec_b}))},
        {"keywords read another layout", {{"c.gmm", with_line(a, 2, "<HMMSETID> set1\n<STREAMINFO>\t1 3")}, {"list", "a.gmm\nc.gmm\n"}},
         {"--keywords", "ubm.gmm", "list", "out.bin"}, 0, "", doubles(cat({rec_a, rec_a}))},
        {"keywords with every option", {}, {"-j", "0", "--keywords", "--check", "--normalize", "ubm.gmm", "list", "out.bin"},
         0, "", doubles(cat({normalized(model_a), normalized(model_b)}))},
        {"keywords later model of another vector size",
         {{"c.gmm", model_text({{{1, 2, 3, 4}, {4, 5, 6, 7}}, {{1, 1, 1, 1}, {1, 1, 1, 1}}, {0.5, 0.5}})}, {"list", "a.gmm\nc.gmm\n"}},
         {"--keywords", "ubm.gmm", "list", "out.bin"}, 1, "c.gmm:2: vector size 4, 3 expected\n", doubles(rec_a)},
        {"keywords later model of another mixture count",
         {{"c.gmm", model_text({{{1, 2, 3}}, {{1, 1, 1}}, {1}})}, {"list", "a.gmm\nc.gmm\n"}},
         {"--keywords", "ubm.gmm", "list", "out.bin"}, 1, "c.gmm:8: mixture count 1, 2 expected\n", doubles(rec_a)},
        {"keywords refuse what is not a number", {{"b.gmm", with_line(model_text(model_b), 17, " x1 junk 3.5")}},
         {"--keywords", "ubm.gmm", "list", "out.bin"}, 1, "b.gmm:17: \"x1\" where a number was expected\n", doubles(rec_a)},
        {"keywords refuse a UBM of another layout's sizes", {{"ubm.gmm", model_text({{{1, 2, 3}}, {{1, 1, 1}}, {1}})}},
         {"--keywords", "ubm.gmm", "list", "out.bin"}, 1, "ubm.gmm:8: mixture count 1, 2 expected\n", old_output},

        // --normalize: the UBM's weights and variances scale each value.
        {"normalize", {}, {"--normalize", "ubm.gmm", "list", "out.bin"}, 0, "",
         doubles(cat({normalized(model_a), normalized(model_b)}))},
        {"normalize with every option", {}, {"-j", "0", "--check", "--normalize", "--progress", "ubm.gmm", "list", "out.bin"}, 0,
         "<progress>", doubles(cat({normalized(model_a), normalized(model_b)}))},
        {"normalize weight 0", {{"ubm.gmm", with_line(ubm_text, 9, "<MIXTURE> 1 0")}}, {"--normalize", "ubm.gmm", "list", "out.bin"},
         0, "", doubles(cat({normalized(model_a, ubm_w0), normalized(model_b, ubm_w0)}))},
        {"normalize negative weight", {{"ubm.gmm", with_line(ubm_text, 15, "<MIXTURE> 2 -0.5")}}, {"--normalize", "ubm.gmm", "list", "out.bin"},
         1, "ubm.gmm:15: mixture weight -5.000000e-01, a finite value of 0 or more expected\n", old_output},
        {"normalize weight not a number", {{"ubm.gmm", with_line(ubm_text, 9, "<MIXTURE> 1 nan")}}, {"--normalize", "ubm.gmm", "list", "out.bin"},
         1, "ubm.gmm:9: mixture weight nan, a finite value of 0 or more expected\n", old_output},
        {"normalize missing weight", {{"ubm.gmm", with_line(ubm_text, 9, "<MIXTURE> 1")}}, {"--normalize", "ubm.gmm", "list", "out.bin"},
         1, "ubm.gmm:9: missing mixture weight\n", old_output},
        {"normalize zero variance", {{"ubm.gmm", with_line(ubm_text, 19, " 2 0 2")}}, {"--normalize", "ubm.gmm", "list", "out.bin"},
         1, "ubm.gmm:19: variance 2 is 0.000000e+00, a finite value above 0 expected\n", old_output},
        {"normalize infinite variance", {{"ubm.gmm", with_line(ubm_text, 13, " inf 1 1")}}, {"--normalize", "ubm.gmm", "list", "out.bin"},
         1, "ubm.gmm:13: variance 1 is inf, a finite value above 0 expected\n", old_output},
        {"normalize variance of the longest text", {{"ubm.gmm", with_line(ubm_text, 13, " 1 1 -1e-300")}},
         {"--normalize", "ubm.gmm", "list", "out.bin"},
         1, "ubm.gmm:13: variance 3 is -1.000000e-300, a finite value above 0 expected\n", old_output},
        // By keywords, a value is named at its own line, and the first in
        // the file is the one named.
        {"keywords normalize weight at its line", {{"ubm.gmm", with_line(ubm_text, 15, "\n\n<MIXTURE> 2 -0.5")}},
         {"--keywords", "--normalize", "ubm.gmm", "list", "out.bin"},
         1, "ubm.gmm:17: mixture weight -5.000000e-01, a finite value of 0 or more expected\n", old_output},
        {"keywords normalize variance at its line", {{"ubm.gmm", with_line(ubm_text, 19, " 2\n 0\n 2")}},
         {"--keywords", "--normalize", "ubm.gmm", "list", "out.bin"},
         1, "ubm.gmm:20: variance 2 is 0.000000e+00, a finite value above 0 expected\n", old_output},
        {"keywords normalize first bad value in the file",
         {{"ubm.gmm", "~v \"v2\"\n<VARIANCE> 3\n 2 0 2\n" +
                          with_line(with_line(with_line(ubm_text, 13, " inf 1 1"), 18, "~v \"v2\""), 19, "")}},
         {"--keywords", "--normalize", "ubm.gmm", "list", "out.bin"},
         1, "ubm.gmm:3: variance 2 is 0.000000e+00, a finite value above 0 expected\n", old_output},
        {"keywords normalize variance of a macro defined later",
         {{"ubm.gmm", with_line(with_line(ubm_text, 18, "~v \"v2\""), 19, "") + "~v \"v2\"\n<VARIANCE> 3\n 2 2\n -1\n"}},
         {"--keywords", "--normalize", "ubm.gmm", "list", "out.bin"},
         1, "ubm.gmm:29: variance 3 is -1.000000e+00, a finite value above 0 expected\n", old_output},
        {"keywords normalize", {{"ubm.gmm", "\n" + ubm_text}}, {"--keywords", "--normalize", "ubm.gmm", "list", "out.bin"}, 0, "",
         doubles(cat({normalized(model_a), normalized(model_b)}))},
        {"progress changes no byte", {{"list", "a.gmm\n\n\nb.gmm\n\n"}}, {"--progress", "ubm.gmm", "list", "out.bin"}, 0, "<progress>",
         doubles(cat({rec_a, rec_b}))},

        // --npy: the header of its shape, then the records; --float32: each
        // value rounded once.
        {"npy", {{"list", "a.gmm\n\n\nb.gmm\n\n"}}, {"--npy", "ubm.gmm", "list", "out.bin"}, 0, "",
         npy(2, '8') + doubles(cat({rec_a, rec_b})), {}, {}, true},
        {"float32", {}, {"--float32", "ubm.gmm", "list", "out.bin"}, 0, "", singles(cat({rec_a, rec_b})), {}, {}, true},
        {"npy of floats, normalized", {{"list", "b.gmm\na.gmm\nb.gmm\n"}}, {"--npy", "--float32", "--normalize", "ubm.gmm", "list", "out.bin"},
         0, "", npy(3, '4') + singles(cat({normalized(model_b), normalized(model_a), normalized(model_b)})), {}, {}, true},
        {"npy of no models", {{"list", "\n"}}, {"--npy", "--sizes-from=a.gmm", "ubm.gmm", "list", "out.bin"}, 0, "", npy(0, '8')},
        {"npy of a list that fails", {{"list", "a.gmm\nnone.gmm\nb.gmm\n"}}, {"--npy", "--float32", "ubm.gmm", "list", "out.bin"}, 1,
         "none.gmm: File open error!\n", npy(3, '4') + singles(rec_a), {}, {}, true},
        {"npy of a UBM that fails", {{"ubm.gmm", "x\n"}}, {"--npy", "ubm.gmm", "list", "out.bin"}, 1,
         "ubm.gmm: ends after line 1, 20 lines expected\n", old_output},

        // An output that is one of the inputs is refused, and every file stays.
        {"output is the list", {}, {"ubm.gmm", "list", "list"}, 1, "list" + same, "<input>"},
        {"output is the UBM", {}, {"ubm.gmm", "list", "ubm.gmm"}, 1, "ubm.gmm" + same, "<input>"},
        {"output is the first model", {}, {"ubm.gmm", "list", "a.gmm"}, 1, "a.gmm" + same, "<input>"},
        {"output is a later model", {}, {"-j", "2", "ubm.gmm", "list", "b.gmm"}, 1, "b.gmm" + same, "<input>"},
        {"output links to the list", {}, {"ubm.gmm", "list", "ln"}, 1, "ln" + same, "<input>", {{"ln", "list", false}}},
        {"output links to the UBM", {}, {"ubm.gmm", "list", "ln"}, 1, "ln" + same, "<input>", {{"ln", "ubm.gmm", false}}},
        {"output links to a model", {}, {"ubm.gmm", "list", "ln"}, 1, "ln" + same, "<input>", {{"ln", "b.gmm", false}}},
        {"output hard link to the list", {}, {"ubm.gmm", "list", "ln"}, 1, "ln" + same, "<input>", {{"ln", "list", true}}},
        {"output hard link to the UBM", {}, {"ubm.gmm", "list", "ln"}, 1, "ln" + same, "<input>", {{"ln", "ubm.gmm", true}}},
        {"output hard link to a model", {}, {"ubm.gmm", "list", "ln"}, 1, "ln" + same, "<input>", {{"ln", "b.gmm", true}}},
        {"listed model reached by a link", {{"list", "a.gmm\nln\n"}}, std_args, 1, "out.bin" + same, old_output,
         {{"ln", "out.bin", false}}},
        {"output on the null device", {}, {"ubm.gmm", "list", "/dev/null"}, 0, "", old_output},
        {"output a later model makes", {{"list", "a.gmm\nb.gmm\nnew.bin\n"}}, {"ubm.gmm", "list", "new.bin"}, 1,
         "new.bin" + same, "<input>", {}, {}, true},
        {"output a model makes, by another path", {{"list", "a.gmm\nsub/../new.bin\n"}}, {"ubm.gmm", "list", "./new.bin"}, 1,
         "./new.bin" + same, "<input>", {}, {}, true},
        // In the root folder, whose name has no other slash (refused before
        // anything is made there).
        {"output a model makes, in the root folder", {{"list", "a.gmm\n/gmmtools-test-absent.bin\n"}},
         {"ubm.gmm", "list", "/gmmtools-test-absent.bin"}, 1, "/gmmtools-test-absent.bin" + same, "<input>", {}, {}, true},
        {"same last name in another folder", {{"list", "a.gmm\nsub/new.bin\n"}, {"sub/new.bin", model_text(model_b)}},
         {"ubm.gmm", "list", "new.bin"}, 0, "", doubles(cat({rec_a, rec_b})), {}, {}, true},
    };
}

class kelvane_run : public testing::TestWithParam<const kcase *> {};

// A case's files in `s`: the standard set with the case's added or
// replacing, and an empty folder "sub".
std::map<std::string, std::string> lay_out(const kcase &c, const scratch &s)
{
    EXPECT_EQ(mkdir(s.at("sub").c_str(), 0700), 0);
    std::map<std::string, std::string> files = standard_files();
    for (const auto &[name, text] : c.files)
        files[name] = text;
    for (const auto &[name, text] : files)
        write_file(s.at(name), text);
    return files;
}

// One run of a case, with `options` in front of its arguments.
void check(const kcase &c, const std::vector<std::string> &options)
{
    scratch s;
    const std::map<std::string, std::string> files = lay_out(c, s);
    for (const link &l : c.links)
        ASSERT_EQ(l.hard ? ::link(s.at(l.target).c_str(), s.at(l.name).c_str()) : symlink(l.target.c_str(), s.at(l.name).c_str()), 0);

    std::vector<std::string> argv = {KELVANE_PATH};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    outcome r = run(argv, s.dir, c.how);
    EXPECT_EQ(r.status, c.status);
    if (c.err == "<progress>") { // the rate varies
        const std::string head = "2 of 2 models, ", tail = " models/s\n";
        EXPECT_TRUE(r.err.size() > head.size() + tail.size() && r.err.compare(0, head.size(), head) == 0 &&
                    r.err.compare(r.err.size() - tail.size(), tail.size(), tail) == 0 &&
                    r.err.find_first_not_of("0123456789.", head.size()) == r.err.size() - tail.size())
            << r.err;
    } else {
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_EQ(r.out, c.printed);
    // No input is ever changed, whatever the output.
    const bool named_out = c.args.empty() || c.args.back()[0] == '/' || c.out == old_output ||
                           std::find(c.args.begin(), c.args.end(), "out.bin") != c.args.end();
    const std::string out_name = named_out ? "out.bin" : c.args.back();
    for (const auto &[name, text] : files) {
        if (name != out_name || c.out == "<input>") {
            EXPECT_EQ(read_file(s.at(name)), text) << name;
        }
    }
    if (c.out == "<input>")
        EXPECT_TRUE(files.count(out_name) != 0 || !c.links.empty() || !exists(s.at(out_name))) << out_name << " made";
    else if (c.out == absent)
        EXPECT_FALSE(exists(s.at(out_name)));
    else
        EXPECT_EQ(read_file(s.at(out_name)), c.out);
}

// The same case through the Python module (tests/gmmtools_run.py), where
// kelvane's call is the standard files after the options the module takes,
// and a failure is a model's: the same bytes, or the same fault raised as
// ModelError with kelvane's text, or as OSError naming the file.
#ifdef GMMTOOLS_PYTHON
void check_module(const kcase &c)
{
    std::vector<std::string> argv = {GMMTOOLS_PYTHON, SOURCE_DIR "/tests/gmmtools_run.py"};
    for (std::size_t k = 0; k < c.args.size(); ++k) {
        const std::string &a = c.args[k];
        const bool option = a == "--check" || a == "--normalize" || a == "--progress" || a == "--keywords" ||
                            (a == "-j" && k + 1 < c.args.size());
        if (k + 3 < c.args.size() && !option && !(k > 0 && c.args[k - 1] == "-j"))
            return;
        argv.push_back(a);
    }
    std::string err = c.err == "<progress>" ? "" : c.err;
    for (const auto &[kelvane_says, module_raises] :
         {std::pair<std::string, std::string>{": File open error!\n", ": FileNotFoundError\n"},
          {": File read error!\n", ": IsADirectoryError\n"},
          {gmm::no_storage_text, "MemoryError\n"}})
        if (err.size() >= kelvane_says.size() && err.compare(err.size() - kelvane_says.size(), kelvane_says.size(), kelvane_says) == 0)
            err.replace(err.size() - kelvane_says.size(), kelvane_says.size(), module_raises);
    if (c.args.size() < 3 || !std::equal(std_args.begin(), std_args.end(), c.args.end() - 3) || !c.links.empty() ||
        c.out == "<input>" || c.how.file_size != 0 || !c.how.stdout_to.empty() || err.rfind(KELVANE_PATH, 0) == 0 ||
        err == gmm::open_error_text || err.find("File write error") != std::string::npos)
        return;
    SCOPED_TRACE("gmmtools");
    scratch s;
    lay_out(c, s);
    outcome r = run(argv, s.dir, {.env = {"PYTHONPATH=" GMMTOOLS_PYTHONPATH}});
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, err);
    if (c.status == 0) {
        EXPECT_EQ(read_file(s.at("out.bin")), c.out);
    }
}
#endif

TEST_P(kelvane_run, output_stderr_and_status)
{
    const kcase &c = *GetParam();
    check(c, {});
#ifdef GMMTOOLS_PYTHON
    check_module(c);
#endif
    if (c.every_j)
        for (const char *n : {"1", "2", "3", "0"}) {
            SCOPED_TRACE(std::string("-j ") + n);
            check(c, {"-j", n});
        }
}

INSTANTIATE_TEST_SUITE_P(cases, kelvane_run, testing::ValuesIn(rows_of<cases>()),
                         [](const testing::TestParamInfo<const kcase *> &i) { return test_name(i.param->name); });

// The progress line at a given time: the rate from what is done, the time
// left from what is left.
TEST(kelvane_progress, line_at_a_given_time)
{
    const struct {
        std::int64_t done, total;
        double seconds;
        const char *line;
    } rows[] = {
        {0, 10, 0, "0 of 10 models, 0.0 models/s"},
        {1, 3, 10, "1 of 3 models, 0.1 models/s, 0:00:20 left"},
        {250, 1000, 1.25, "250 of 1000 models, 200.0 models/s, 0:00:04 left"},
        {1, 7201, 1, "1 of 7201 models, 1.0 models/s, 2:00:00 left"},
        {5, 5, 2, "5 of 5 models, 2.5 models/s"},
    };
    for (const auto &r : rows)
        EXPECT_EQ(gmm::progress_line(r.done, r.total, r.seconds), r.line);
}

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

// The text of a progress line with its rate taken out (it varies).
std::string without_rate(std::string err)
{
    for (std::size_t at; (at = err.find(" models/s")) != std::string::npos;) {
        std::size_t from = at;
        while (from > 0 && (std::isdigit(static_cast<unsigned char>(err[from - 1])) || err[from - 1] == '.'))
            --from;
        err.replace(from, at + 9 - from, "<rate>");
    }
    return err;
}

namespace {

// A row of the table of threaded runs below.
struct threads_row {
    const char *name;
    std::string list;
    std::string out = "out.bin";
    run_options how = {};
    int status = -1;                    // of every run, where it is known
    std::string fail = "";              // STRESS_FAIL, in every run
    std::string folder = "";            // where the run starts ("big")
    std::vector<std::string> options = {};
    int signal = 0;                     // sent 50 ms in, while late.gmm holds the run
    std::string unreadable = "";        // reads of this file fail at its byte 63
};

void PrintTo(const threads_row *r, std::ostream *os) { *os << r->name; }

std::string list_of(const std::vector<std::string> &names)
{
    std::string l;
    for (const std::string &n : names)
        l += n + "\n";
    return l;
}

const std::vector<std::string> good = {"a.gmm", "b.gmm", "a.gmm", "b.gmm", "a.gmm", "b.gmm", "a.gmm", "b.gmm"};

// The good list with the names at some of its lines replaced.
std::string good_with(std::initializer_list<std::pair<std::size_t, const char *>> at)
{
    std::vector<std::string> l = good;
    for (const auto &[k, name] : at)
        l[k] = name;
    return list_of(l);
}

std::vector<threads_row> threads_rows()
{
    const std::string big = list_of({"a.gmm", "b.gmm", "a.gmm", "late.gmm", "b.gmm", "a.gmm", "b.gmm", "a.gmm"});
    return {
        {"whole list", list_of(good) + "\n\n"},
        {"first model fails", good_with({{0, "short.gmm"}})},
        {"middle model fails", good_with({{2, "a.gmm"}, {4, "few.gmm"}})},
        {"last model fails", good_with({{7, "few.gmm"}})},
        {"two models fail", good_with({{3, "short.gmm"}, {5, "few.gmm"}})},
        {"missing file after a failing one", good_with({{2, "few.gmm"}, {3, "none.gmm"}})},
        {"blank line after a failing one", good_with({{1, "short.gmm"}, {2, ""}})},
        {"pipe without a writer after a failing one", good_with({{1, "none.gmm"}, {2, "stuck.gmm"}}), "out.bin", {}, 1},
        {"pipe without a writer first, the output refused", list_of({"stuck.gmm", "a.gmm"}), "out.bin", {}, 1, "ftruncate:EIO", "",
         {"--sizes-from=a.gmm"}},
        {"list unreadable part way", good_with({{1, "late.gmm"}}) + good_with({}), "out.bin", {}, 1, "", "", {}, 0, "list"},
        {"full output device", list_of(good), "/dev/full"},
        {"one model, many workers", "b.gmm"},
        {"one model held up", good_with({{1, "late.gmm"}}), "out.bin", {}, 0},
        {"descriptors for one model at a time", good_with({{1, "late.gmm"}}), "out.bin", {.open_files = 6}, 0},
        {"descriptors for no model", list_of(good), "out.bin", {.open_files = 5}, 1},
        {"descriptors short while a model is open", list_of(good), "out.bin", {}, 0, "open:EMFILE:busy"},
        {"memory short while a model is open", good_with({{1, "late.gmm"}}), "out.bin", {}, 0, "open:ENOMEM:busy"},
        {"no thread to be had", list_of(good), "out.bin", {}, 0, "pthread_create:EAGAIN"},
        {"address space for few threads", list_of(good) + list_of(good) + list_of(good), "out.bin", {.address_space = 40 << 20}, 0,
         "", "", {"--normalize"}},
        {"a 24 KiB stack", good_with({{1, "slow.gmm"}}), "out.bin", {.stack = 24 << 10}, 0, "", "", {"--normalize", "--check"}},
        {"a 24 KiB stack, by keywords", good_with({{1, "slow.gmm"}}), "out.bin", {.stack = 24 << 10}, 0, "", "", {"--keywords"}},
        {"old output replaced", big, "out.bin", {}, 0, "", "big"},
        {"old output, its truncation refused", big, "out.bin", {}, 1, "ftruncate:EIO", "big", {"--progress"}},
        {"old output, interrupted", big, "out.bin", {}, -1, "", "big", {}, SIGINT},
        {"old output, terminated", big, "out.bin", {}, -1, "", "big", {}, SIGTERM},
    };
}

class kelvane_threads : public testing::TestWithParam<const threads_row *> {};

} // namespace

// Any number of workers gives what one gives: the same status, standard
// error and output bytes, wherever the list fails, whatever the scheduler
// does and whatever the system runs short of.  Each row (a test of its
// own, so that ctest runs rows side by side) runs as a plain call, then at every -j as the machine schedules it, pinned to one CPU, and
// pinned under the scheduling stress of tests/stress.cpp with two seeds
// (GMM_STRESS_SECONDS=N goes on with further seeds for N seconds a row).  The
// models are large enough that a later model failing on its first values
// line fails before the models ahead of it are read; the large ones' records
// go from their slots straight to the file.
TEST_P(kelvane_threads, every_worker_count_gives_the_same_result)
{
    const threads_row &r = *GetParam();
#ifdef GMM_SANITIZED
    if (r.how.open_files != 0 || r.how.address_space != 0 || r.how.stack != 0)
        GTEST_SKIP() << "the sanitizer runtimes need descriptors, address space and stack of their own";
#endif
    auto sized = [](int M, double shift) {
        model m;
        for (int i = 0; i < M; ++i) {
            m.mu.emplace_back();
            m.sigma.emplace_back(24, 1.0);
            for (int j = 0; j < 24; ++j)
                m.mu.back().push_back(shift + i * 0.5 - j * 0.25);
        }
        return m;
    };
    scratch s;
    ASSERT_EQ(mkdir(s.at("big").c_str(), 0700), 0);
    const std::string a = model_text(sized(64, 1)), b = model_text(sized(64, -3));
    write_file(s.at("ubm.gmm"), model_text(sized(64, 0)));
    write_file(s.at("a.gmm"), a);
    write_file(s.at("b.gmm"), b);
    write_file(s.at("few.gmm"), with_line(a, 11, " 1 2"));
    write_file(s.at("short.gmm"), first_lines(b, 300));
    // Means that the exact fast paths leave to the C library's conversion.
    std::string slow_means;
    for (int j = 0; j < 24; ++j)
        slow_means += j % 2 == 0 ? " +0x1.8p-1" : " +2.5";
    write_file(s.at("slow.gmm"), with_line(a, 11, slow_means));
    write_file(s.at("big/ubm.gmm"), model_text(sized(512, 0)));
    write_file(s.at("big/a.gmm"), model_text(sized(512, 1)));
    write_file(s.at("big/b.gmm"), model_text(sized(512, -3)));
    const std::string old = std::string(2 << 20, 'x');
    // A model read through a pipe whose writer waits: its worker is held up
    // while the others go on, so a record written before it is read shows.
    // Another pipe never gets a writer.
    ASSERT_EQ(mkfifo(s.at("late.gmm").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(s.at("big/late.gmm").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(s.at("stuck.gmm").c_str(), 0600), 0);
    std::signal(SIGPIPE, SIG_IGN);
    const char *soak = std::getenv("GMM_STRESS_SECONDS");
    const auto soak_end = std::chrono::steady_clock::now() + std::chrono::seconds(soak != nullptr ? std::atoi(soak) : 0);
    for (int seed = 1; seed <= 2 || std::chrono::steady_clock::now() < soak_end; ++seed) {
        const std::string dir = r.folder.empty() ? s.dir : s.at(r.folder);
        write_file(dir + "/list", r.list);
        // Runs kelvane with `threads` before the files, limited, pinned and
        // signalled as `how` says, under the stress of `seed` (0: none); the
        // held-up model gets b.gmm's text a while after it is opened.
        auto kelvane = [&](std::vector<std::string> threads, run_options how, int seed) {
            std::atomic<bool> ended{false};
            std::thread feed([&] {
                if (r.list.find("late.gmm") == std::string::npos)
                    return;
                int fd;
                while ((fd = open((dir + "/late.gmm").c_str(), O_WRONLY | O_NONBLOCK)) < 0 && !ended)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                if (fd < 0)
                    return;
                fcntl(fd, F_SETFL, 0);
                // Long enough for the other workers to go on; a signal's
                // row holds the run past the signal (the run cannot end
                // before late.gmm is fed).
                std::this_thread::sleep_for(std::chrono::milliseconds(r.signal != 0 ? 100 : 40));
                const std::string text = read_file(dir + "/b.gmm");
                if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) && r.signal == 0)
                    ADD_FAILURE() << "late.gmm not read";
                close(fd);
            });
            std::remove((dir + "/out.bin").c_str());
            if (!r.folder.empty())
                write_file(dir + "/out.bin", old);
            std::vector<std::string> argv = {KELVANE_PATH};
            argv.insert(argv.end(), r.options.begin(), r.options.end());
            argv.insert(argv.end(), threads.begin(), threads.end());
            argv.insert(argv.end(), {"ubm.gmm", "list", r.out});
            std::vector<std::string> libraries, vars;
            if (seed != 0 || !r.fail.empty())
                libraries.push_back(STRESS_PATH);
            if (seed != 0)
                vars.push_back("STRESS_SEED=" + std::to_string(seed));
            if (!r.fail.empty())
                vars.push_back("STRESS_FAIL=" + r.fail);
            if (!r.unreadable.empty()) {
                libraries.push_back(READ_FAULT_PATH);
                vars.insert(vars.end(), {"READ_FAULT_FILE=" + dir + "/" + r.unreadable, "READ_FAULT_AT=63"});
            }
            if (!libraries.empty())
                how.env = preload(libraries.size() == 1 ? libraries[0] : libraries[0] + ":" + libraries[1], vars);
            how.timeout_seconds = 30;
            const outcome o = run(argv, dir, how);
            ended = true;
            feed.join();
            return std::pair<outcome, std::string>{o, read_file(dir + "/out.bin")};
        };
        // The plain call, at one thread; a signal's row ends that call
        // without one, for the whole output a signal leaves a prefix of.
        run_options plain = r.how;
        const auto [one, want] = kelvane({}, plain, 0);
        if (r.status >= 0) {
            EXPECT_EQ(one.status, r.status) << one.err;
        }
        if (r.signal != 0) {
            EXPECT_EQ(one.status, 0) << one.err;
            plain.signal = r.signal;
            plain.signal_after_ms = 50;
        }
        struct way {
            const char *threads;
            int cpu;
            int seed;
        };
        std::vector<way> ways = {{nullptr, -1, 0}};
        for (const char *n : {"1", "2", "3", "8", "0"}) {
            if (seed == 1)
                ways.insert(ways.end(), {{n, -1, 0}, {n, this_cpu, 0}});
            ways.push_back({n, this_cpu, seed});
        }
        for (const way &w : ways) {
            SCOPED_TRACE(std::string(w.threads != nullptr ? std::string("-j ") + w.threads : "plain call") +
                         (w.cpu != -1 ? ", pinned" : "") + (w.seed != 0 ? ", seed " + std::to_string(w.seed) : ""));
            if (w.threads == nullptr && r.signal == 0)
                continue; // the plain call ran above
            run_options how = plain;
            how.cpu = w.cpu;
            std::vector<std::string> threads;
            if (w.threads != nullptr)
                threads = {"-j", w.threads};
            const auto [many, got] = kelvane(threads, how, w.seed);
            if (r.signal != 0) {
                // Killed: the old output as it was, or the start of the new one.
                EXPECT_EQ(many.status, 128 + r.signal);
                EXPECT_EQ(many.err, "");
                EXPECT_TRUE(got == old || want.compare(0, got.size(), got) == 0) << got.size() << " bytes";
                continue;
            }
            EXPECT_EQ(many.status, one.status);
            EXPECT_EQ(without_rate(many.err), without_rate(one.err));
            EXPECT_TRUE(got == want) << got.size() << " bytes, " << want.size() << " expected";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(rows, kelvane_threads, testing::ValuesIn(rows_of<threads_rows>()),
                         [](const testing::TestParamInfo<const threads_row *> &i) { return test_name(i.param->name); });
