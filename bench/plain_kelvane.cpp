// Baseline for the benchmark: the supervector extractor written the plain way.
#include "plain_common.h"

int main(int argc, char **argv)
{
    if (argc != 4)
        return 1;
    std::FILE *list = std::fopen(argv[2], "r");
    std::fgets(plain::line, 9999, list);
    std::FILE *first = std::fopen(std::strtok(plain::line, "\n"), "r");
    int D = 0, M = 0;
    plain::read_header(first, &D, &M);
    std::fclose(first);
    std::rewind(list);
    double **ubm_mu = plain::matrix(M, D), **ubm_sigma = plain::matrix(M, D);
    double **mu = plain::matrix(M, D), **sigma = plain::matrix(M, D);
    std::FILE *ubm = std::fopen(argv[1], "r");
    std::FILE *out = std::fopen(argv[3], "wb");
    plain::read_components(ubm, D, M, ubm_mu, ubm_sigma, nullptr);
    std::fclose(ubm);
    char path[10000];
    while (std::fgets(path, 9999, list) != nullptr) {
        char *p = std::strtok(path, "\n");
        if (p == nullptr)
            continue;
        std::FILE *f = std::fopen(p, "r");
        plain::read_components(f, D, M, mu, sigma, nullptr);
        std::fclose(f);
        for (int i = 0; i < M; ++i) {
            for (int j = 0; j < D; ++j)
                mu[i][j] -= ubm_mu[i][j];
            std::fwrite(mu[i], sizeof(double), D, out);
        }
    }
    return 0;
}
