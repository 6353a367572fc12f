// Making the records of a list of models, by one worker or several side by
// side.
//
// Each worker takes the next model of the list, reads it into a free record
// slot and turns its means into the record there.  Records reach the sink
// strictly in list order: whichever worker finds the next record ready
// hands it over, and every ready record after it.  With several workers
// each has up to two slots, so a worker whose record waits for an earlier
// one goes on with the next model.  What the system cannot give (threads,
// storage, file descriptors) means fewer models in flight, never another
// result: a model is failed for want of them only where one worker alone
// would have been refused them too.  A model that is not a regular file
// (a pipe, a device) is opened only in its turn, once every record before
// it has been handed over, so no worker waits on a writer while an earlier
// model has failed.  The first model that fails, in list order, stops the
// run; the records of the models before it are all handed over and no later
// one is, whatever the number of workers and whichever failed first in
// time.  Nothing a worker calls throws.
//
// Where the models come from (a list file, or paths in memory) and where
// the records go (a file, or the rows of an array) are the caller's.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "model_io.h"
#include "model_set.h"

namespace gmm {

// Why a run, or the reading of one model, failed.
enum class fault_kind {
    none,
    open,    // a model could not be opened (error_number says why)
    read,    // a model or the list could not be read (error_number)
    model,   // a model's contents cannot be used (line, where one is at fault)
    storage, // storage could not be obtained
    write,   // the sink could not take a record
    stopped, // the run was stopped from outside
};

struct run_fault {
    fault_kind kind = fault_kind::none;
    int error_number = 0;  // open, read: the system's errno, where known
    std::int64_t line = 0; // model: the line at fault, or 0 for the whole file
    std::int64_t item = -1; // the list item at fault (from 0), or -1
    std::string message = {}; // the programs' message, newline included
};

// A worker's own storage: its read chunk and a path buffer.
struct worker_scratch {
    char *chunk;
    char *path;
};

// How many record slots `n` workers use at most: one for a worker alone,
// two each for several.
int record_slots(int n);

// Obtains one worker's storage; false when it cannot be had.
bool alloc_scratch(worker_scratch *w);

// Gives it back; *w is left empty.
void free_scratch(worker_scratch *w);

// The most workers a run takes.
constexpr int max_workers = 1024;

// The CPUs this process may run on (its affinity mask, as taskset, cpusets
// and batch schedulers set it), at least 1.
int usable_cpus();

// The path a list line names: everything before its newline (or a NUL),
// copied into `path` (max_line_bytes + 1 bytes).  False for a line that
// holds nothing else.
bool list_path(const text_line &l, char *path);

// The failure a model reader's result `r` reports for the file at `path`
// read through `lines`, or for the file of `set` the result names.
run_fault reading_fault(const read_result &r, const line_reader &lines, const char *path,
                        const model_set *set = nullptr);

// Reads the opened model `in` (named `file`) as read_model does, and
// closes it.
run_fault read_opened_model(std::FILE *in, const char *file, std::int32_t D, std::int32_t M, read_rule header,
                            char *chunk, double **mu, double **sigma = nullptr, double *w = nullptr,
                            const value_lines *where = nullptr, const model_set *set = nullptr);

// Opens `file`, reads its means, and its variances and weights where
// `sigma` and `w` are given (variances otherwise checked, not converted),
// with `chunk` as read storage, and closes it.  Read by keywords, the lines
// of the weights and variances go into *where, where given.  With a set,
// `file` names the set's HMM of that name where it has one, and a file
// may use the set's definitions.
run_fault read_model(const char *file, std::int32_t D, std::int32_t M, read_rule header, char *chunk,
                     double **mu, double **sigma = nullptr, double *w = nullptr, const value_lines *where = nullptr,
                     const model_set *set = nullptr);

// Makes a UBM's weights and variances the square roots a normalized record
// is scaled by.  Fails at the first one, in file order, that cannot be used:
// a weight below 0 or a variance not above 0, or either not finite.  Each
// value's line is in *where, where given, or else the layout's.
run_fault take_roots(const char *ubm, std::int32_t D, std::int32_t M, double *w, double **sigma,
                     const value_lines *where = nullptr);

// What every worker of a run shares and only reads.
struct extraction {
    std::int32_t D, M;
    read_rule header;          // match: every model's header must give D and M
    double *const *ubm_mu;       // the UBM's means
    const double *sqrt_w;        // normalizing: the square roots of the UBM's
    double *const *sqrt_sigma;   // weights and variances; otherwise null
    const std::atomic<bool> *stop; // set from outside to end the run; or null
    const model_set *set = nullptr; // the loaded set listed names may name
};

// Where the models come from.  `next` is called by one worker at a time:
// it gives the next model's path (kept in `buffer`, max_line_bytes + 1
// bytes, or in the source's own storage), and says `end` after the last
// one, or `error` where the list cannot be read further.
struct model_source {
    line_status (*next)(void *from, char *buffer, const char **path);
    void *from;
    const char *list_file; // for the message of a list that cannot be read
};

// A list file read from where it stands: `from` is its line_reader.
line_status next_listed(void *list, char *buffer, const char **path);

// Where the records go.  `start`, where given, is called by the calling
// thread once the other workers have started, and may end the run before
// any record: no record is put before it has returned without a failure.
// `put` takes the M x D values (row-major) of list item `item`, one call
// at a time and in list order.  `place`, where given, says where item
// `item`'s record is to be made (M x D doubles, row-major): the model is
// read there, instead of into a slot, and `put` is handed that place.  A
// run that fails may have written places after the failing item's.
struct record_sink {
    run_fault (*start)(void *to);
    run_fault (*put)(void *to, std::int64_t item, const double *record);
    void *to;
    double *(*place)(void *to, std::int64_t item) = nullptr;
};

// A record's values each rounded once to the nearest float, for records
// kept in single precision.
void round_to_float32(const double *values, std::size_t n, float *out);

// Makes one record per model of `source` with up to `n` workers.  `scratch`
// has room for n workers' storage and `slots` for record_slots(n) M x D
// matrices; the first of each the caller has obtained, the others are
// obtained here when first needed and left there for the caller (a slot
// given back when storage runs short is left empty).  The calling thread
// works as the first worker.  Returns the failure that ends the run, or
// kind none when every model's record was put; kind storage with no
// message where storage ran out even for a message.
run_fault make_records(const extraction &x, const model_source &source, const record_sink &sink,
                       worker_scratch *scratch, int n, component_matrix *slots);

} // namespace gmm
