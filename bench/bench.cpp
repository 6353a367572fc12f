// Benchmark: kelvane and morrit against plain-stdio baselines of the same
// programs and against the floor (the same files read and the same number of
// bytes written, nothing converted), on generated models of the sizes met in
// practice.
//
//   bench [WORKDIR [RUNS]]
//
// Generates its workloads in WORKDIR (kept between runs), checks that each
// program's output is byte-identical to its baseline's, then times RUNS
// alternating rounds and prints medians, throughput in MB of model text per
// second and the speed-up over the baseline; then how kelvane's time grows
// with the length of the list and with the size of the models, and its peak
// resident memory for lists of 10 and of 100 models, on one thread and on
// every usable CPU; the instructions a value costs, counted by callgrind, on
// the vector readers and the plain ones; then the Python module's rows
// (python_bench.py).
#include <sched.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct measured {
    double seconds;
};

// In a forked child: runs `argv` in place of the child.
[[noreturn]] void exec_child(const std::vector<std::string> &argv)
{
    std::vector<char *> a;
    for (const std::string &s : argv)
        a.push_back(const_cast<char *>(s.c_str()));
    a.push_back(nullptr);
    execv(a[0], a.data());
    _exit(127);
}

measured run(const std::vector<std::string> &argv)
{
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0)
        exec_child(argv);
    int status = 0;
    waitpid(pid, &status, 0);
    auto t1 = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench: %s failed\n", argv[0].c_str());
        std::exit(1);
    }
    return {std::chrono::duration<double>(t1 - t0).count()};
}

// The peak resident memory of a run of `argv`, in KiB: the program's own
// high-water mark, read when it exits.  (The rusage of a child counts the
// memory of the process it was forked from, the benchmark's own.)
long peak_kib(const std::vector<std::string> &argv)
{
    pid_t pid = fork();
    if (pid == 0) {
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        exec_child(argv);
    }
    int status = 0;
    waitpid(pid, &status, 0); // stopped at the exec
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT);
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    long kib = -1;
    while (waitpid(pid, &status, 0) == pid && WIFSTOPPED(status)) {
        if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
            std::ifstream st("/proc/" + std::to_string(pid) + "/status");
            for (std::string line; std::getline(st, line);)
                if (line.rfind("VmHWM:", 0) == 0)
                    kib = std::atol(line.c_str() + 6);
        }
        ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    }
    return kib;
}

std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

double file_mb(const std::string &path)
{
    struct stat st {};
    stat(path.c_str(), &st);
    return static_cast<double>(st.st_size) / 1e6;
}

void generate(const std::string &dir, int M, int D, int N)
{
    if (access((dir + "/models.lst").c_str(), R_OK) == 0)
        return;
    mkdir(dir.c_str(), 0755);
    std::printf("generating %s: M = %d, D = %d, %d models\n", dir.c_str(), M, D, N);
    std::fflush(stdout);
    run({GMMGEN_PATH, dir, std::to_string(M), std::to_string(D), std::to_string(N), "12345"});
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct variant {
    const char *name;
    std::vector<std::string> argv;
};

// Runs every variant once and requires each output to be byte-identical to
// the first variant's (the floor, which writes only sizes, is not checked),
// then times `runs` rounds in which each variant runs once in turn, and
// prints each one's median against the first's.  With `fresh`, the outputs
// are removed before every run, so that each run creates them.
void compare(const char *title, double mb, const std::vector<variant> &vs, const std::vector<std::string> &outputs,
             int runs, bool fresh = false)
{
    auto timed = [&](const variant &v) {
        if (fresh)
            for (const std::string &o : outputs)
                unlink(o.c_str());
        return run(v.argv).seconds;
    };
    run(vs[0].argv);
    std::vector<std::string> want;
    for (const std::string &o : outputs)
        want.push_back(slurp(o));
    for (const variant &v : vs) {
        if (v.argv[0] == FLOOR_PATH)
            continue;
        run(v.argv);
        for (std::size_t i = 0; i < outputs.size(); ++i)
            if (slurp(outputs[i]) != want[i]) {
                std::fprintf(stderr, "bench: %s: %s: %s differs from the baseline's\n", title, v.name, outputs[i].c_str());
                std::exit(1);
            }
    }
    std::vector<std::vector<double>> t(vs.size());
    for (int r = 0; r < runs; ++r)
        for (std::size_t k = 0; k < vs.size(); ++k)
            t[k].push_back(timed(vs[k]));
    std::printf("%s (%.0f MB of model text)\n", title, mb);
    const double base = median(t[0]);
    for (std::size_t k = 0; k < vs.size(); ++k) {
        const double m = median(t[k]);
        std::printf("  %-34s %9.4f s %9.1f MB/s %8.2fx\n", vs[k].name, m, mb / m, base / m);
    }
    std::fflush(stdout);
}

// The median time of `runs` runs.
double timed_median(const std::vector<std::string> &argv, int runs)
{
    std::vector<double> t;
    for (int r = 0; r < runs; ++r)
        t.push_back(run(argv).seconds);
    return median(t);
}

// The first n lines of a list, as a list of its own.
std::string head_list(const std::string &dir, int n)
{
    const std::string path = dir + "/first" + std::to_string(n) + ".lst";
    std::ifstream in(dir + "/models.lst");
    std::ofstream part(path);
    std::string line;
    for (int i = 0; i < n && std::getline(in, line); ++i)
        part << line << '\n';
    return path;
}

long file_size(const std::string &path)
{
    struct stat st {};
    stat(path.c_str(), &st);
    return static_cast<long>(st.st_size);
}

// The instructions a run of `argv` executes, counted by callgrind (exact
// and repeatable, whatever else the machine does); -1 without valgrind.
long long instructions(const std::vector<std::string> &argv)
{
    const std::string log = "/tmp/bench-callgrind." + std::to_string(getpid());
    std::vector<std::string> a = {"/usr/bin/valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                                  "--log-file=" + log};
    a.insert(a.end(), argv.begin(), argv.end());
    if (access(a[0].c_str(), X_OK) != 0)
        return -1;
    run(a);
    long long n = -1;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);)
        if (const auto at = line.find("Collected : "); at != std::string::npos)
            n = std::atoll(line.c_str() + at + 12);
    unlink(log.c_str());
    return n;
}

// The models of `dir` (one HMM each, its options on lines 1 to 3) as a
// set: `macros` holds the options, `hmmdefs` every HMM, `names.lst` their
// names in list order.
void make_set(const std::string &dir)
{
    if (access((dir + "/names.lst").c_str(), R_OK) == 0)
        return;
    std::ifstream list(dir + "/models.lst");
    std::ofstream hmmdefs(dir + "/hmmdefs"), names(dir + "/names.lst");
    bool first = true;
    for (std::string path; std::getline(list, path);) {
        std::ifstream model(path);
        std::string line;
        for (int n = 1; n <= 3 && std::getline(model, line); ++n)
            if (first)
                std::ofstream(dir + "/macros", std::ios::app) << line << '\n';
        first = false;
        hmmdefs << model.rdbuf();
        const std::size_t slash = path.rfind('/') + 1;
        names << path.substr(slash, path.size() - slash - 4) << '\n';
    }
}

int usable_cpus()
{
    cpu_set_t set;
    return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string work = argc > 1 ? argv[1] : "build/bench-work";
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    mkdir(work.c_str(), 0755);
    const std::string k1024 = work + "/k1024", m2048 = work + "/m2048", small = work + "/small";
    generate(k1024, 1024, 60, 100);
    generate(m2048, 2048, 60, 1);
    generate(small, 64, 39, 1000);
    const std::string set512 = work + "/set512";
    generate(set512, 512, 39, 1000);
    make_set(set512);
    const int sizes[] = {128, 512, 2048};
    for (int M : sizes)
        generate(work + "/size" + std::to_string(M), M, 60, 20);

    auto list_mb = [](const std::string &dir, const std::string &list) {
        double mb = file_mb(dir + "/ubm.gmm");
        std::ifstream in(list);
        for (std::string path; std::getline(in, path);)
            mb += file_mb(path);
        return mb;
    };
    const std::string cpus = std::to_string(usable_cpus());
    std::printf("median of %d alternating runs; MB of model text read per second; %s usable CPUs\n", runs,
                cpus.c_str());
    const std::string out = work + "/out";
    const std::string ubm = k1024 + "/ubm.gmm", list = k1024 + "/models.lst";
    compare("kelvane, UBM + 100 models of 1024 x 60", list_mb(k1024, list),
            {{"baseline (fgets/strtok/strtod)", {PLAIN_KELVANE_PATH, ubm, list, out + ".sv"}},
             {"floor (read and write only)",
              {FLOOR_PATH, ubm, "@" + list, "--", out + ".sv", std::to_string(100L * 1024 * 60 * 8)}},
             {"kelvane -j 1", {KELVANE_PATH, "-j", "1", ubm, list, out + ".sv"}},
             {"kelvane -j 1 --check", {KELVANE_PATH, "-j", "1", "--check", ubm, list, out + ".sv"}},
             {"kelvane -j 1 --keywords", {KELVANE_PATH, "-j", "1", "--keywords", ubm, list, out + ".sv"}},
             {("kelvane -j 0 (" + cpus + " threads)").c_str(), {KELVANE_PATH, "-j", "0", ubm, list, out + ".sv"}}},
            {out + ".sv"}, runs);

    // The kinds of output, in alternating rounds against the raw file: a
    // .npy file, whose records must be the raw file's, and floats.  Each
    // output is made anew: replacing one would wait for the write-back of
    // the run before, whichever kind that was.
    {
        const std::vector<variant> kinds = {
            {"kelvane -j 1", {KELVANE_PATH, "-j", "1", ubm, list, out + ".sv"}},
            {"kelvane -j 1 --npy", {KELVANE_PATH, "-j", "1", "--npy", ubm, list, out + ".npy"}},
            {"kelvane -j 1 --float32", {KELVANE_PATH, "-j", "1", "--float32", ubm, list, out + ".f4"}},
            {"kelvane -j 1 --npy --float32", {KELVANE_PATH, "-j", "1", "--npy", "--float32", ubm, list, out + ".f4.npy"}}};
        std::vector<std::vector<double>> t(kinds.size());
        for (int r = 0; r < runs; ++r)
            for (std::size_t k = 0; k < kinds.size(); ++k) {
                unlink(kinds[k].argv.back().c_str());
                t[k].push_back(run(kinds[k].argv).seconds);
            }
        const std::string raw = slurp(out + ".sv"), npy = slurp(out + ".npy");
        if (npy.size() < raw.size() || npy.compare(npy.size() - raw.size(), raw.size(), raw) != 0) {
            std::fprintf(stderr, "bench: the .npy file's records differ from the raw file's\n");
            std::exit(1);
        }
        std::printf("kelvane's outputs, UBM + 100 models of 1024 x 60\n");
        for (std::size_t k = 0; k < kinds.size(); ++k)
            std::printf("  %-34s %9.4f s %8.2fx the raw file's time\n", kinds[k].name, median(t[k]),
                        median(t[k]) / median(t[0]));
        std::fflush(stdout);
    }

    const std::string model = m2048 + "/model0001.gmm";
    const std::vector<std::string> outputs = {out + ".mu", out + ".sigma", out + ".w"};
    run({PLAIN_MORRIT_PATH, model, outputs[0], outputs[1], outputs[2]});
    const std::vector<variant> morrit = {
        {"baseline (fgets/strtok/strtod/fprintf)", {PLAIN_MORRIT_PATH, model, outputs[0], outputs[1], outputs[2]}},
        {"floor (read and write only)",
         {FLOOR_PATH, model, "--", outputs[0], std::to_string(file_size(outputs[0])), outputs[1],
          std::to_string(file_size(outputs[1])), outputs[2], std::to_string(file_size(outputs[2]))}},
        {"morrit", {MORRIT_PATH, model, outputs[0], outputs[1], outputs[2]}},
        {"morrit --keywords", {MORRIT_PATH, "--keywords", model, outputs[0], outputs[1], outputs[2]}}};
    compare("morrit, 2048 x 60, new output files", file_mb(model), morrit, outputs, runs, true);
    compare("morrit, 2048 x 60, output files replaced", file_mb(model), morrit, outputs, runs);

    // Instructions per value, on the vector readers and on the plain ones.
    const std::string ten = head_list(k1024, 10);
    const double mean_values = 11.0 * 1024 * 60, morrit_values = 2048.0 * 60 * 2 + 2048;
    std::printf("instructions per value (callgrind), vector readers / plain readers (GMM_SCAN=scalar)\n");
    for (const bool plain : {false, true}) {
        if (plain)
            setenv("GMM_SCAN", "scalar", 1);
        const long long k = instructions({KELVANE_PATH, ubm, ten, out + ".sv"});
        const long long m = instructions({MORRIT_PATH, model, outputs[0], outputs[1], outputs[2]});
        unsetenv("GMM_SCAN");
        if (k < 0 || m < 0) {
            std::printf("  (valgrind not found)\n");
            break;
        }
        std::printf("  %-7s kelvane, UBM + 10 x (1024 x 60): %6.1f a mean value   morrit, 2048 x 60: %6.1f a value\n",
                    plain ? "plain" : "vector", static_cast<double>(k) / mean_values,
                    static_cast<double>(m) / morrit_values);
    }
    std::fflush(stdout);

    // A set in one file against the same models as files of their own,
    // and the least a set's loading can cost: one more read of its files.
    for (const char *j : {"1", "0"}) {
        const std::string title = std::string("kelvane -j ") + j + ", 1,000 models of 512 x 39: files, or one set (-H)";
        compare(title.c_str(), list_mb(set512, set512 + "/models.lst"),
                {{"files, --keywords",
                  {KELVANE_PATH, "-j", j, "--keywords", set512 + "/ubm.gmm", set512 + "/models.lst", out + ".sv"}},
                 {"-H macros -H hmmdefs, names",
                  {KELVANE_PATH, "-j", j, "-H", set512 + "/macros", "-H", set512 + "/hmmdefs", set512 + "/ubm.gmm",
                   set512 + "/names.lst", out + ".sv"}},
                 {"floor: a read of macros and hmmdefs", {FLOOR_PATH, set512 + "/macros", set512 + "/hmmdefs", "--"}}},
                {out + ".sv"}, runs);
    }

    std::printf("kelvane time by list length (UBM + N models of 64 x 39)\n");
    for (int n : {10, 100, 1000}) {
        const std::string part = head_list(small, n);
        const double j1 = timed_median({KELVANE_PATH, "-j", "1", small + "/ubm.gmm", part, out + ".sv"}, runs);
        const double j0 = timed_median({KELVANE_PATH, "-j", "0", small + "/ubm.gmm", part, out + ".sv"}, runs);
        std::printf("  %5d models   -j 1 %8.4f s (%6.1f us a model)   -j 0 %8.4f s (%6.1f us a model)\n", n, j1,
                    j1 / n * 1e6, j0, j0 / n * 1e6);
    }
    std::printf("kelvane time by model size (UBM + 20 models of M x 60)\n");
    for (int M : sizes) {
        const std::string dir = work + "/size" + std::to_string(M);
        const double mb = list_mb(dir, dir + "/models.lst");
        const double j1 = timed_median({KELVANE_PATH, "-j", "1", dir + "/ubm.gmm", dir + "/models.lst", out + ".sv"}, runs);
        const double j0 = timed_median({KELVANE_PATH, "-j", "0", dir + "/ubm.gmm", dir + "/models.lst", out + ".sv"}, runs);
        std::printf("  M = %4d (%5.1f MB)   -j 1 %8.4f s (%6.1f MB/s)   -j 0 %8.4f s (%6.1f MB/s)\n", M, mb, j1,
                    mb / j1, j0, mb / j0);
    }

    std::printf("kelvane peak resident memory (1024 x 60; one matrix is %.0f KiB)\n", 1024.0 * 60 * 8 / 1024);
    for (const char *j : {"1", "0"}) {
        const long m10 = peak_kib({KELVANE_PATH, "-j", j, ubm, ten, out + ".sv"});
        const long m100 = peak_kib({KELVANE_PATH, "-j", j, ubm, list, out + ".sv"});
        std::printf("  -j %s: %ld KiB for 10 models, %ld KiB for 100\n", j, m10, m100);
    }
    std::fflush(stdout);

#ifdef GMMTOOLS_PYTHON
    // The Python module's rows, on the same workloads.
    setenv("PYTHONPATH", GMMTOOLS_PYTHONPATH, 1);
    run({GMMTOOLS_PYTHON, SOURCE_DIR "/bench/python_bench.py", work, std::to_string(runs), KELVANE_PATH});
#endif
    return 0;
}
