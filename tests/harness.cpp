#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace harness {

scratch::scratch()
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "gmmtest.XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    dir = tmpl;
}

scratch::~scratch()
{
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f)
        throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

outcome run(const std::vector<std::string> &argv, const std::string &cwd, const run_options &how)
{
    scratch io;
    const std::string err_path = io.at("stderr");
    const std::string out_path = how.stdout_to.empty() ? io.at("stdout") : how.stdout_to;
    int pipe_ends[2] = {-1, -1};
    if (how.stdout_to == closed_pipe && (pipe(pipe_ends) != 0 || close(pipe_ends[0]) != 0))
        throw std::runtime_error("pipe failed");
    // Everything the child needs is made here: it shares this process's
    // memory until it execs, so it allocates and changes nothing.
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char *> env;
    for (char **v = environ; *v != nullptr; ++v) {
        const char *eq = std::strchr(*v, '=');
        const std::size_t name = eq == nullptr ? std::strlen(*v) : static_cast<std::size_t>(eq - *v) + 1;
        bool replaced = false;
        for (const std::string &added : how.env)
            replaced = replaced || added.compare(0, name, *v, name) == 0;
        if (!replaced)
            env.push_back(*v);
    }
    for (const std::string &v : how.env)
        env.push_back(const_cast<char *>(v.c_str()));
    env.push_back(nullptr);
    const std::pair<int, std::uint64_t> limits[] = {
        {RLIMIT_AS, how.address_space}, {RLIMIT_NOFILE, how.open_files}, {RLIMIT_FSIZE, how.file_size},
        {RLIMIT_STACK, how.stack}};
    // vfork, not fork: a test process holds megabytes of tables, which a
    // fork would copy the mappings of, and then fault page by page.
    pid_t pid = vfork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int o = pipe_ends[1] >= 0 ? pipe_ends[1] : open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int n = open("/dev/null", O_RDONLY);
        if (e < 0 || o < 0 || n < 0 || dup2(e, 2) < 0 || dup2(o, 1) < 0 || dup2(n, 0) < 0 ||
            chdir(cwd.c_str()) != 0)
            _exit(127);
        if (how.stdin_closed)
            close(0);
        close_range(3, ~0u, 0);
        // As from a shell: a write to a closed pipe or past the file size
        // limit kills a program that does not see to it.
        signal(SIGPIPE, SIG_DFL);
        signal(SIGXFSZ, SIG_DFL);
        for (const auto &[which, value] : limits) {
            struct rlimit lim = {value, value};
            if (value != 0 && setrlimit(which, &lim) != 0)
                _exit(127);
        }
        if (how.cpu >= 0 || how.cpu == this_cpu) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(how.cpu == this_cpu ? sched_getcpu() : how.cpu, &one);
            if (sched_setaffinity(0, sizeof one, &one) != 0)
                _exit(127);
        }
        execve(args[0], args.data(), env.data());
        _exit(127);
    }
    if (pipe_ends[1] >= 0)
        close(pipe_ends[1]);
    // Waits for the end, sending the signal on the way, or the kill.
    using clock = std::chrono::steady_clock;
    const clock::time_point began = clock::now();
    const clock::time_point signal_at = began + std::chrono::milliseconds(how.signal_after_ms);
    const clock::time_point kill_at = began + std::chrono::seconds(how.timeout_seconds);
    const int ends = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    bool signalled = how.signal == 0, killed = false;
    int status = 0;
    pid_t ended;
    while ((ended = waitpid(pid, &status, WNOHANG)) == 0) {
        const clock::time_point now = clock::now();
        if (!signalled && now >= signal_at) {
            kill(pid, how.signal);
            signalled = true;
        }
        if (!killed && now >= kill_at) {
            kill(pid, SIGKILL);
            killed = true;
        }
        // Until the run ends or the next of those is due; a millisecond at
        // a time where the run's end cannot be waited for.
        const clock::time_point next = !signalled ? signal_at : !killed ? kill_at : now + std::chrono::seconds(1);
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
        struct pollfd p = {ends, POLLIN, 0};
        poll(&p, ends >= 0 ? 1 : 0, ends >= 0 ? static_cast<int>(std::max<long long>(ms, 1)) : 1);
    }
    if (ends >= 0)
        close(ends);
    if (ended != pid)
        throw std::runtime_error("waitpid failed");
    outcome r;
    r.status = killed ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.err = read_file(err_path);
    r.out = how.stdout_to.empty() ? read_file(out_path) : "";
    return r;
}

std::vector<std::string> preload(const std::string &libraries, std::vector<std::string> vars)
{
    const char *asan = std::getenv("ASAN_OPTIONS");
    vars.push_back("LD_PRELOAD=" + libraries);
    vars.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") + ":verify_asan_link_order=0");
    return vars;
}

static void put_values(std::string &s, const std::vector<double> &v, const char *form)
{
    char num[64];
    for (double x : v) {
        std::snprintf(num, sizeof num, form, x);
        s += ' ';
        s += num;
    }
    s += '\n';
}

std::string model_text(const model &m, const char *form)
{
    const std::size_t M = m.mu.size(), D = M ? m.mu[0].size() : 0;
    std::string s = "~o\n<STREAMINFO> 1 " + std::to_string(D) + "\n<VECSIZE> " + std::to_string(D) +
                    "<NULLD><MFCC_E_D_A><DIAGC>\n~h \"test\"\n<BEGINHMM>\n<NUMSTATES> 3\n<STATE> 2\n"
                    "<NUMMIXES> " + std::to_string(M) + "\n";
    char num[64];
    for (std::size_t i = 0; i < M; ++i) {
        std::snprintf(num, sizeof num, form, i < m.w.size() ? m.w[i] : 1.0 / static_cast<double>(M));
        s += "<MIXTURE> " + std::to_string(i + 1) + " " + num + "\n<MEAN> " + std::to_string(D) + "\n";
        put_values(s, m.mu[i], form);
        s += "<VARIANCE> " + std::to_string(D) + "\n";
        put_values(s, m.sigma[i], form);
        s += "<GCONST> 1.000000e+00\n";
    }
    s += "<TRANSP> 3\n 0.0 1.0 0.0\n 0.0 0.5 0.5\n 0.0 0.0 0.0\n<ENDHMM>\n";
    return s;
}

std::string with_line(std::string text, int n, const std::string &line)
{
    std::size_t b = 0;
    for (int i = 1; i < n; ++i)
        b = text.find('\n', b) + 1;
    std::size_t e = text.find('\n', b);
    return text.replace(b, e - b, line);
}

std::string first_lines(const std::string &text, int n)
{
    std::size_t e = 0;
    for (int i = 0; i < n; ++i)
        e = text.find('\n', e) + 1;
    return text.substr(0, e);
}

std::string test_name(std::string text)
{
    for (char &ch : text)
        if (!std::isalnum(static_cast<unsigned char>(ch)))
            ch = '_';
    return text;
}

std::string doubles(const std::vector<double> &values)
{
    std::string s(values.size() * sizeof(double), '\0');
    if (!values.empty())
        std::memcpy(s.data(), values.data(), s.size());
    return s;
}

} // namespace harness
