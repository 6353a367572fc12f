// The command line both programs share.
//
// A call of exactly the program's file arguments (three for kelvane, four
// for morrit) is always a plain call: every argument is a file name, even
// one that starts with '-'.  Any other call may start with options, GNU
// style (-j 4, -j4, --threads=4, --threads 4), ended by "--" or by the first
// argument that is not an option; after them exactly the program's file
// arguments must remain.
#pragma once

#include <getopt.h>

#include <string>
#include <utility>
#include <vector>

namespace gmm {

// What a program tells about its command line.
struct program_info {
    const char *name;          // for --version: the program's own name
    const char *operands;      // the usage line after the invocation name
    const char *help;          // --help after the usage line: what the program
                               // does, its arguments and its options
    int files;                 // how many file arguments it takes
    const char *short_options; // getopt_long's option letters (may be "")
    const ::option *options;   // getopt_long's table, ended by a zero row
};

// The rows every program's table ends with.
inline constexpr ::option help_option = {"help", no_argument, nullptr, 'h'};
inline constexpr ::option version_option = {"version", no_argument, nullptr, 'V'};
inline constexpr ::option end_of_options = {nullptr, 0, nullptr, 0};

// Option values are kept by the `val` of their table row (below 128).
constexpr int option_slots = 128;

struct command_line {
    enum { run, help, version, wrong } action;
    std::string problem;               // wrong: what is wrong, one line; empty
                                       // for a wrong count of file names alone
    const char *value[option_slots];   // an option's value ("" for a flag), or null;
                                       // the last one given
    std::vector<std::pair<int, const char *>> given; // every option's val and value, in order
    char **files;                      // run: the file arguments
};

// Reads the arguments of `p`'s program.  Options are looked at only when
// the call is not a plain call.  --help and --version are the program's
// when its table has them (the rows with val 'h' and 'V').
command_line read_command_line(int argc, char **argv, const program_info &p);

// The values given for the option `val`, in order (a repeatable option).
std::vector<const char *> values_of(const command_line &cl, int val);

// Answers a call that does not run (--help, --version, or a call that cannot
// run) on the right stream and returns its exit status; -1 for a call that
// runs.
int answer_without_running(const command_line &cl, const char *invocation, const program_info &p);

// "Usage: $ <invocation> <operands>\n".
std::string usage_line(const char *invocation, const program_info &p);

// A call that cannot run: "<invocation>: <problem>\n" (where there is a
// problem to name) and the usage line.
std::string command_line_error(const char *invocation, const program_info &p, const std::string &problem);

// The texts for --help and --version, each ending in a newline.
std::string help_text(const char *invocation, const program_info &p);
std::string version_text(const program_info &p);

// "<invocation>: GMM_SCAN=<value>: scalar, sse4 or avx2 expected\n" where
// the environment names a reader of values lines the programs do not
// have; empty otherwise.
std::string scan_setting_error(const char *invocation);

// A write to a closed pipe or past the file size limit then fails like
// any other write, to be reported, instead of killing the process
// unannounced (SIGPIPE, SIGXFSZ).
void report_failed_writes();

// Writes `message` to standard error and returns exit status 1, so that a
// program's main can say `return fail(...)`.
int fail(const char *message);
int fail(const std::string &message);

} // namespace gmm
