// Benchmark: kelvane and morrit against plain-stdio baselines of the same
// programs, on generated models of the sizes met in practice.
//
//   bench [WORKDIR [RUNS]]
//
// Generates its workloads in WORKDIR (kept between runs), checks that each
// program's output is byte-identical to its baseline's, then times RUNS
// alternating runs of each and prints medians, throughput in MB of model
// text per second, and the peak resident memory of kelvane for lists of 10
// and of 100 models.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
    long peak_kib;
};

measured run(const std::vector<std::string> &argv)
{
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char *> a;
        for (const std::string &s : argv)
            a.push_back(const_cast<char *>(s.c_str()));
        a.push_back(nullptr);
        execv(a[0], a.data());
        _exit(127);
    }
    int status = 0;
    struct rusage ru {};
    wait4(pid, &status, 0, &ru);
    auto t1 = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench: %s failed\n", argv[0].c_str());
        std::exit(1);
    }
    return {std::chrono::duration<double>(t1 - t0).count(), ru.ru_maxrss};
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

// Checks the outputs, then times the baseline and the project alternately.
// With `fresh`, the outputs are removed before every run, so that each run
// creates them instead of truncating the previous run's.
void compare(const char *title, double mb, const std::vector<std::string> &plain,
             const std::vector<std::string> &fast, const std::vector<std::string> &outputs, int runs,
             bool fresh = false)
{
    auto timed = [&](const std::vector<std::string> &argv) {
        if (fresh)
            for (const std::string &o : outputs)
                unlink(o.c_str());
        return run(argv).seconds;
    };
    run(plain);
    std::vector<std::string> want;
    for (const std::string &o : outputs)
        want.push_back(slurp(o));
    run(fast);
    for (std::size_t i = 0; i < outputs.size(); ++i)
        if (slurp(outputs[i]) != want[i]) {
            std::fprintf(stderr, "bench: %s: %s differs from the baseline's\n", title, outputs[i].c_str());
            std::exit(1);
        }
    std::vector<double> tp, tf;
    for (int r = 0; r < runs; ++r) {
        tp.push_back(timed(plain));
        tf.push_back(timed(fast));
    }
    const double p = median(tp), f = median(tf);
    std::printf("%-34s %9.3f s %8.1f MB/s %9.3f s %8.1f MB/s %7.2fx\n", title, p, mb / p, f, mb / f, p / f);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    const std::string work = argc > 1 ? argv[1] : "build/bench-work";
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    mkdir(work.c_str(), 0755);
    const std::string k1024 = work + "/k1024", k512 = work + "/k512", m2048 = work + "/m2048";
    generate(k1024, 1024, 60, 100);
    generate(k512, 512, 39, 200);
    generate(m2048, 2048, 60, 1);

    auto list_mb = [](const std::string &dir, int n) {
        double mb = file_mb(dir + "/ubm.gmm");
        std::ifstream list(dir + "/models.lst");
        std::string path;
        for (int i = 0; i < n && std::getline(list, path); ++i)
            mb += file_mb(path);
        return mb;
    };
    {
        std::ifstream in(k1024 + "/models.lst");
        std::ofstream ten(k1024 + "/ten.lst");
        std::string path;
        for (int i = 0; i < 10 && std::getline(in, path); ++i)
            ten << path << '\n';
    }

    std::printf("median of %d alternating runs; MB of model text read per second\n", runs);
    std::printf("%-34s %11s %13s %11s %13s %8s\n", "workload", "baseline", "", "project", "", "speed-up");
    const std::string out = work + "/out";
    compare("kelvane 100 x (1024 x 60)", list_mb(k1024, 100),
            {PLAIN_KELVANE_PATH, k1024 + "/ubm.gmm", k1024 + "/models.lst", out + ".sv"},
            {KELVANE_PATH, k1024 + "/ubm.gmm", k1024 + "/models.lst", out + ".sv"}, {out + ".sv"}, runs);
    compare("kelvane 200 x (512 x 39)", list_mb(k512, 200),
            {PLAIN_KELVANE_PATH, k512 + "/ubm.gmm", k512 + "/models.lst", out + ".sv"},
            {KELVANE_PATH, k512 + "/ubm.gmm", k512 + "/models.lst", out + ".sv"}, {out + ".sv"}, runs);
    const std::string model = m2048 + "/model0001.gmm";
    const std::vector<std::string> plain_morrit = {PLAIN_MORRIT_PATH, model, out + ".mu", out + ".sigma", out + ".w"};
    const std::vector<std::string> fast_morrit = {MORRIT_PATH, model, out + ".mu", out + ".sigma", out + ".w"};
    const std::vector<std::string> morrit_outputs = {out + ".mu", out + ".sigma", out + ".w"};
    compare("morrit 2048 x 60, new outputs", file_mb(model), plain_morrit, fast_morrit, morrit_outputs, runs, true);
    compare("morrit 2048 x 60, outputs replaced", file_mb(model), plain_morrit, fast_morrit, morrit_outputs, runs);

    const long m10 = run({KELVANE_PATH, k1024 + "/ubm.gmm", k1024 + "/ten.lst", out + ".sv"}).peak_kib;
    const long m100 = run({KELVANE_PATH, k1024 + "/ubm.gmm", k1024 + "/models.lst", out + ".sv"}).peak_kib;
    const double matrices = 4.0 * 1024 * 60 * 8 / 1024;
    std::printf("kelvane peak resident memory (1024 x 60): %ld KiB for 10 models, %ld KiB for 100 "
                "(four matrices: %.0f KiB)\n", m10, m100, matrices);
    return 0;
}
