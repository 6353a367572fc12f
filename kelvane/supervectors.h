// Writing the records of a list of models, by one worker or several side by
// side.
//
// Each worker takes the next list line, reads that model into its own
// matrix, turns its means into the record in place and waits for its turn to
// write it: records reach the output strictly in list order, from whichever
// worker holds the next one.  The first list line that fails, in list order,
// stops the run; the records of the lines before it are all written and no
// later one is, whatever the number of workers and whichever failed first in
// time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "model_io.h"
#include "progress.h"

namespace gmm {

// A worker's own storage: its read chunk, the path of its current model and
// the matrix the model's means are read into and its record made in.
struct worker_scratch {
    char *chunk;
    char *path;
    component_matrix mu;
};

// Obtains one worker's storage for M x D models; false when it cannot be had.
bool alloc_scratch(std::int32_t M, std::int32_t D, worker_scratch *w);

// The path a list line names: everything before its newline (or a NUL),
// copied into `path` (max_line_bytes + 1 bytes).  False for a line that
// holds nothing else.
bool list_path(const text_line &l, char *path);

// Opens `file`, reads its means, and its variances and weights where
// `sigma` and `w` are given (variances otherwise checked, not converted),
// with `chunk` as read storage, and closes it.  Returns the message of a
// failure, or "".
std::string read_model(const char *file, std::int32_t D, std::int32_t M, header_rule header, char *chunk,
                       double **mu, double **sigma = nullptr, double *w = nullptr);

// What every worker of a run shares and only reads.
struct extraction {
    std::int32_t D, M;
    header_rule header;          // match: every model's header must give D and M
    double *const *ubm_mu;       // the UBM's means
    const double *sqrt_w;        // normalizing: the square roots of the UBM's
    double *const *sqrt_sigma;   // weights and variances; otherwise null
    line_reader *list;           // the list, read from its start
    const char *list_file;
    std::FILE *out;              // the output, opened
    const char *out_file;
    progress_meter *progress;    // or null
};

// Writes one record per model of the list with `n` workers, each with its
// scratch (the first one runs on the calling thread).  Returns the message of
// the first failing list line, or "" when the whole list was written.
std::string write_records(const extraction &x, worker_scratch *scratch, int n);

} // namespace gmm
