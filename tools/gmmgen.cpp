// gmmgen: writes a UBM and adapted models as text model files, for tests,
// benchmarks and examples.
//
//   gmmgen [--binary=big|--binary=little] DIR M D N [SEED]
//
// Writes DIR/ubm.gmm, DIR/model0001.gmm .. DIR/modelNNNN.gmm (each model is
// the UBM with its means moved a little) and DIR/models.lst naming the
// models, one path per line, as DIR/modelNNNN.gmm.  The same SEED always
// gives the same files.  With --binary the models are in binary storage,
// in that byte order (M and D at most 32767), with the values the text
// files would have rounded to floats.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "model_writer.h"

namespace {

// splitmix64: small, fast and the same on every platform.
std::uint64_t next_random(std::uint64_t *state)
{
    std::uint64_t z = (*state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// Uniform in [0, 1).
double uniform(std::uint64_t *state)
{
    return static_cast<double>(next_random(state) >> 11) * 0x1.0p-53;
}

struct mixture {
    int M, D;
    std::vector<double> w, mu, sigma;
};

enum class storage { text, big, little };

bool write_model(const std::string &file, const std::string &name, const mixture &g, storage how)
{
    std::FILE *f = std::fopen(file.c_str(), "w");
    if (f == nullptr)
        return false;
    const bool written =
        how == storage::text
            ? gmm::write_model_text(f, name.c_str(), "MFCC_E_D_A", g.M, g.D, g.mu.data(), g.sigma.data(), g.w.data())
            : gmm::write_model_binary(f, how == storage::little, name.c_str(), "MFCC_E_D_A", g.M, g.D, g.mu.data(),
                                      g.sigma.data(), g.w.data());
    return std::fclose(f) == 0 && written;
}

} // namespace

int main(int argc, char **argv)
{
    storage how = storage::text;
    const std::string first = argc > 1 ? argv[1] : "";
    if (first == "--binary=big" || first == "--binary=little") {
        how = first == "--binary=big" ? storage::big : storage::little;
        argv[1] = argv[0];
        ++argv;
        --argc;
    }
    if (argc < 5 || argc > 6) {
        std::fprintf(stderr, "Usage: $ %s [--binary=big|--binary=little] DIR M D N [SEED]\n", argv[0]);
        return 1;
    }
    const std::string dir = argv[1];
    mixture g;
    g.M = std::atoi(argv[2]);
    g.D = std::atoi(argv[3]);
    const int N = std::atoi(argv[4]);
    std::uint64_t state = argc == 6 ? std::strtoull(argv[5], nullptr, 10) : 1;
    if (g.M < 1 || g.D < 1 || N < 0) {
        std::fprintf(stderr, "%s: M and D must be at least 1, N at least 0\n", argv[0]);
        return 1;
    }
    if (how != storage::text && (g.M > gmm::max_binary_count || g.D > gmm::max_binary_count)) {
        std::fprintf(stderr, "%s: M and D must be at most %d in binary storage\n", argv[0], gmm::max_binary_count);
        return 1;
    }
    const std::size_t cells = static_cast<std::size_t>(g.M) * g.D;
    g.w.resize(g.M);
    g.mu.resize(cells);
    g.sigma.resize(cells);
    double total = 0;
    for (double &w : g.w)
        total += (w = 0.05 + uniform(&state));
    for (double &w : g.w)
        w /= total;
    for (double &m : g.mu)
        m = 8.0 * uniform(&state) - 4.0;
    for (double &s : g.sigma)
        s = 0.05 + 4.0 * uniform(&state);
    if (!write_model(dir + "/ubm.gmm", "ubm", g, how)) {
        std::fprintf(stderr, "%s: cannot write %s/ubm.gmm\n", argv[0], dir.c_str());
        return 1;
    }

    std::FILE *list = std::fopen((dir + "/models.lst").c_str(), "w");
    if (list == nullptr) {
        std::fprintf(stderr, "%s: cannot write %s/models.lst\n", argv[0], dir.c_str());
        return 1;
    }
    mixture a = g;
    for (int n = 1; n <= N; ++n) {
        for (std::size_t c = 0; c < cells; ++c)
            a.mu[c] = g.mu[c] + 0.5 * uniform(&state) - 0.25;
        char name[32];
        std::snprintf(name, sizeof name, "model%04d", n);
        const std::string file = dir + "/" + name + ".gmm";
        if (!write_model(file, name, a, how)) {
            std::fprintf(stderr, "%s: cannot write %s\n", argv[0], file.c_str());
            return 1;
        }
        std::fprintf(list, "%s\n", file.c_str());
    }
    if (std::fclose(list) != 0) {
        std::fprintf(stderr, "%s: cannot write %s/models.lst\n", argv[0], dir.c_str());
        return 1;
    }
    return 0;
}
