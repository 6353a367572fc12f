// Baseline for the benchmark: the parameter splitter written the plain way.
#include "plain_common.h"

static void write_array(double **rows, int M, int D, const char *path)
{
    std::FILE *f = std::fopen(path, "w");
    for (int c = 0; c < D; ++c)
        for (int r = 0; r < M; ++r)
            std::fprintf(f, r + 1 < M ? "%le " : c + 1 < D ? "%le\n" : "%le", rows[r][c]);
    std::fclose(f);
}

int main(int argc, char **argv)
{
    if (argc != 5)
        return 1;
    std::FILE *f = std::fopen(argv[1], "r");
    int D = 0, M = 0;
    plain::read_header(f, &D, &M);
    std::rewind(f);
    double **mu = plain::matrix(M, D), **sigma = plain::matrix(M, D);
    double *w = static_cast<double *>(std::malloc(sizeof(double) * M));
    plain::read_components(f, D, M, mu, sigma, w);
    std::fclose(f);
    write_array(mu, M, D, argv[2]);
    write_array(sigma, M, D, argv[3]);
    std::FILE *o = std::fopen(argv[4], "w");
    for (int i = 0; i < M; ++i)
        std::fprintf(o, i + 1 < M ? "%le " : "%le", w[i]);
    std::fclose(o);
    return 0;
}
