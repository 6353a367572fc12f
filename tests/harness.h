// Running the built programs on files in a scratch folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace harness {

// A fresh folder under the system's temporary folder, removed at the end.
struct scratch {
    std::string dir;
    scratch();
    ~scratch();
    scratch(const scratch &) = delete;
    scratch &operator=(const scratch &) = delete;
    // The path of `name` inside the folder.
    std::string at(const std::string &name) const { return dir + "/" + name; }
};

void write_file(const std::string &path, const std::string &bytes);
std::string read_file(const std::string &path);
bool exists(const std::string &path);

struct outcome {
    int status;         // exit status, or 128 + signal; -1: killed when it
                        // ran past its time

    std::string err;    // all of standard error
    std::string out;    // all of standard output
};

// A run pinned to the one CPU it starts on, wherever the scheduler puts it:
// runs side by side are then spread over the CPUs rather than all on one.
inline constexpr int this_cpu = -2;

// What a run gets besides its arguments: limits (0: none), where its
// standard output goes, variables added to its environment, the one CPU it
// may run on, a signal sent to it after a while, and how long it may take
// before it is killed (a hang fails its test, not the suite).  It starts
// with standard input, output and error open and no other file.
struct run_options {
    std::uint64_t address_space = 0; // bytes
    std::uint64_t open_files = 0;    // file descriptors
    std::uint64_t file_size = 0;     // bytes a file may grow to
    std::uint64_t stack = 0;         // bytes of the main thread's stack
    std::string stdout_to = "";      // "": captured; closed_pipe; or a path
    bool stdin_closed = false;       // no descriptor 0, as after `exec 0<&-`
    std::vector<std::string> env = {};
    int cpu = -1;                    // pinned to this CPU; -1: any; this_cpu
    int signal = 0;                  // sent after signal_after_ms; 0: none
    int signal_after_ms = 0;
    int timeout_seconds = 120;
};

// The variables that load `libraries` (':' between them) into a run ahead
// of everything else, the address sanitizer told that they come before its
// runtime, and `vars`.
std::vector<std::string> preload(const std::string &libraries, std::vector<std::string> vars);

// A pipe whose reading end is closed before the run starts.
inline const std::string closed_pipe = "<closed pipe>";

// Runs `argv` (argv[0] is the program's path) in `cwd`.
outcome run(const std::vector<std::string> &argv, const std::string &cwd = ".", const run_options &how = {});

// A model file of the layout the programs read: M components of D values,
// means mu[i], variances sigma[i] and weights w[i], each value printed with
// `form` (a printf conversion for one double).
struct model {
    std::vector<std::vector<double>> mu, sigma;
    std::vector<double> w;
};
std::string model_text(const model &m, const char *form = "%.17g");

// `text` with line n (1-based) replaced by `line` (given without newline).
std::string with_line(std::string text, int n, const std::string &line);

// The first n lines of `text`, the n-th with its newline.
std::string first_lines(const std::string &text, int n);

// A test name made of `text`: every character but letters and digits
// becomes '_'.
std::string test_name(std::string text);

// The rows of the table `make` builds, by address, for testing::ValuesIn.
// Every test process registers the whole table and runs one row of it: the
// table is built once and its rows, some of which carry a megabyte of
// files, are not copied.
template <auto make> auto rows_of()
{
    static const auto table = make();
    std::vector<const typename decltype(table)::value_type *> rows;
    for (const auto &r : table)
        rows.push_back(&r);
    return rows;
}

// `values` as the raw bytes of native doubles.
std::string doubles(const std::vector<double> &values);

} // namespace harness
