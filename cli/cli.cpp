#include "cli.h"

#include <csignal>
#include <cstdio>
#include <cstring>

#include "messages.h"
#include "values_line.h"

#ifndef GMM_VERSION
#error "GMM_VERSION must name the project's version"
#endif

namespace gmm {

namespace {

// How an option was written: "-j" or "--threads" (without "=value").
std::string as_written(const char *arg, int letter)
{
    if (arg != nullptr && std::strncmp(arg, "--", 2) == 0)
        return std::string(arg, std::strcspn(arg, "="));
    return std::string("-") + static_cast<char>(letter);
}

const ::option *row_of(const ::option *options, int val)
{
    for (const ::option *o = options; o->name != nullptr; ++o)
        if (o->val == val)
            return o;
    return nullptr;
}

// Writes the answer to --help or --version on standard output, flushed so
// that a failed write (a full disk, a closed pipe) is seen and reported.
int answer(const char *invocation, const std::string &text)
{
    if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0)
        return fail(std::string(invocation) + ": write error\n");
    return 0;
}

} // namespace

command_line read_command_line(int argc, char **argv, const program_info &p)
{
    command_line cl{};
    cl.action = command_line::run;
    cl.files = argv + 1;
    if (argc == p.files + 1)
        return cl;

    // '+': options stop at the first file argument; ':': a missing value is
    // told apart from an unknown option.
    const std::string letters = std::string("+:") + p.short_options;
    opterr = 0;
    for (;;) {
        const int before = optind;
        const int c = getopt_long(argc, argv, letters.c_str(), p.options, nullptr);
        if (c == -1)
            break;
        // The argument being read: the last one taken, or the one still
        // being read when it is a cluster of short options.
        const char *arg = argv[optind > before ? optind - 1 : before];
        if (c == ':') {
            cl.action = command_line::wrong;
            cl.problem = "option " + as_written(arg, optopt) + " needs a value";
            return cl;
        }
        if (c == '?') {
            cl.action = command_line::wrong;
            const ::option *row = optopt != 0 ? row_of(p.options, optopt) : nullptr;
            if (row != nullptr && row->has_arg == no_argument && std::strncmp(arg, "--", 2) == 0)
                cl.problem = "option --" + std::string(row->name) + " takes no value";
            else if (optopt != 0 && std::strncmp(arg, "--", 2) != 0)
                cl.problem = std::string("unknown option -") + static_cast<char>(optopt);
            else
                cl.problem = "unknown option " + as_written(arg, 0);
            return cl;
        }
        if (c == 'h' && row_of(p.options, 'h') != nullptr) {
            cl.action = command_line::help;
            return cl;
        }
        if (c == 'V' && row_of(p.options, 'V') != nullptr) {
            cl.action = command_line::version;
            return cl;
        }
        if (c >= 0 && c < option_slots) {
            cl.value[c] = optarg != nullptr ? optarg : "";
            cl.given.emplace_back(c, cl.value[c]);
        }
    }
    const int given = argc - optind;
    if (given != p.files) {
        // A call of file names alone gets the usage line alone.
        cl.action = command_line::wrong;
        if (optind > 1)
            cl.problem = std::to_string(given) + " file arguments, " + std::to_string(p.files) + " expected";
        return cl;
    }
    cl.files = argv + optind;
    return cl;
}

std::vector<const char *> values_of(const command_line &cl, int val)
{
    std::vector<const char *> v;
    for (const auto &[c, value] : cl.given)
        if (c == val)
            v.push_back(value);
    return v;
}

int answer_without_running(const command_line &cl, const char *invocation, const program_info &p)
{
    switch (cl.action) {
    case command_line::help:
        return answer(invocation, help_text(invocation, p));
    case command_line::version:
        return answer(invocation, version_text(p));
    case command_line::wrong:
        return fail(command_line_error(invocation, p, cl.problem));
    case command_line::run:
        break;
    }
    return -1;
}

std::string usage_line(const char *invocation, const program_info &p)
{
    return std::string("Usage: $ ") + invocation + " " + p.operands + "\n";
}

std::string command_line_error(const char *invocation, const program_info &p, const std::string &problem)
{
    if (problem.empty())
        return usage_line(invocation, p);
    return std::string(invocation) + ": " + problem + "\n" + usage_line(invocation, p);
}

std::string help_text(const char *invocation, const program_info &p)
{
    return std::string("Usage: $ ") + invocation + " [options] " + p.operands + "\n" + p.help;
}

std::string version_text(const program_info &p)
{
    return std::string(p.name) + " " GMM_VERSION "\n";
}

void report_failed_writes()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

std::string scan_setting_error(const char *invocation)
{
    const char *value = refused_scan_setting();
    if (value == nullptr)
        return {};
    return std::string(invocation) + ": GMM_SCAN=" + value + ": scalar, sse4 or avx2 expected\n";
}

int fail(const char *message)
{
    std::fputs(message, stderr);
    return 1;
}

int fail(const std::string &message) { return fail(message.c_str()); }

} // namespace gmm
