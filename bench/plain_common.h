// The plain way to read a model file: fgets into a 10,000-byte buffer,
// strtok to split, strtod to convert.  The benchmark's baseline programs are
// built on it; they handle well-formed input only.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace plain {

inline char line[10000];

inline void read_header(std::FILE *f, int *D, int *M)
{
    for (int n = 1; n <= 8; ++n) {
        std::fgets(line, 9999, f);
        if (n == 3 || n == 8) {
            std::strtok(line, n == 3 ? " " : " \n");
            long v = std::strtol(std::strtok(nullptr, n == 3 ? " " : " \n"), nullptr, 10);
            *(n == 3 ? D : M) = static_cast<int>(v);
        }
    }
}

inline void read_row(std::FILE *f, int D, double *row)
{
    std::fgets(line, 9999, f);
    int k = 0;
    for (char *t = std::strtok(line, " \n"); t != nullptr && k < D; t = std::strtok(nullptr, " \n"))
        row[k++] = std::strtod(t, nullptr);
}

// Means and variances of M components, and the weights where w is given.
inline void read_components(std::FILE *f, int D, int M, double **mu, double **sigma, double *w)
{
    for (int n = 0; n < 8; ++n)
        std::fgets(line, 9999, f);
    for (int i = 0; i < M; ++i) {
        std::fgets(line, 9999, f);
        if (w != nullptr) {
            std::strtok(line, " \n");
            std::strtok(nullptr, " \n");
            w[i] = std::strtod(std::strtok(nullptr, " \n"), nullptr);
        }
        std::fgets(line, 9999, f);
        read_row(f, D, mu[i]);
        std::fgets(line, 9999, f);
        read_row(f, D, sigma[i]);
        std::fgets(line, 9999, f);
    }
}

inline double **matrix(int M, int D)
{
    double **rows = static_cast<double **>(std::malloc(sizeof(double *) * M));
    double *block = static_cast<double *>(std::malloc(sizeof(double) * M * D));
    for (int i = 0; i < M; ++i)
        rows[i] = block + static_cast<long>(i) * D;
    return rows;
}

} // namespace plain
