// Writing the records of a list of models, by one worker or several side by
// side.
//
// Each worker takes the next list line, reads that model into a free record
// slot and turns its means into the record there.  Records reach the output
// strictly in list order: whichever worker finds the next record ready
// writes it, and every ready record after it.  With several workers each has
// up to two slots, so a worker whose record waits for an earlier one goes on
// with the next model.  What the system cannot give (threads, storage for
// more slots, file descriptors for more open models) means fewer models in
// flight, never another result.  The first list line that fails, in list
// order, stops the run; the records of the lines before it are all written
// and no later one is, whatever the number of workers and whichever failed
// first in time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "model_io.h"
#include "progress.h"

namespace gmm {

// A worker's own storage: its read chunk and the path of its current model.
struct worker_scratch {
    char *chunk;
    char *path;
};

// How many record slots `n` workers use at most: one for a worker alone,
// two each for several.
int record_slots(int n);

// Obtains one worker's storage; false when it cannot be had.
bool alloc_scratch(worker_scratch *w);

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
    progress_meter *progress;    // or null
};

// The supervector file, opened ("wb") by write_records with its buffer.
struct output {
    const char *path;
    char *buffer;
    std::size_t buffer_bytes;
    std::FILE *stream; // once opened
};

// Opens the output and writes one record per model of the list with up to
// `n` workers.  `scratch` has room for n workers' storage and `slots` for
// record_slots(n) M x D matrices; the first of each the caller has
// obtained, the others are obtained here when first needed and left there
// for the caller.  The calling thread opens the output, then works as the
// first worker; an old output is truncated while the others read the first
// models.  Returns the message of the failure that ends the run (the output
// that cannot be opened, or the first failing list line), or "" when the
// whole list was written.  The caller closes the output.
std::string write_records(const extraction &x, output *out, worker_scratch *scratch, int n,
                          component_matrix *slots);

} // namespace gmm
