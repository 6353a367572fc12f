#include "supervectors.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

#include "format_le.h"
#include "messages.h"
#include "values_line.h"

namespace gmm {

int record_slots(int n) { return n == 1 ? 1 : 2 * n; }

bool alloc_scratch(worker_scratch *w)
{
    w->chunk = static_cast<char *>(std::malloc(chunk_storage));
    w->path = static_cast<char *>(std::malloc(max_line_bytes + 1));
    return w->chunk != nullptr && w->path != nullptr;
}

void free_scratch(worker_scratch *w)
{
    std::free(w->chunk);
    std::free(w->path);
    *w = {};
}

int usable_cpus()
{
    for (int n = 1024; n <= 65536; n *= 2) {
        cpu_set_t *set = CPU_ALLOC(n);
        const std::size_t size = CPU_ALLOC_SIZE(n);
        const bool got = set != nullptr && sched_getaffinity(0, size, set) == 0;
        const int count = got ? CPU_COUNT_S(size, set) : 0;
        CPU_FREE(set);
        if (got)
            return count > 0 ? count : 1;
    }
    return 1;
}

bool list_path(const text_line &l, char *path)
{
    std::size_t n = 0;
    for (const char *p = l.begin; p < l.end && *p != '\n' && *p != '\0'; ++p)
        path[n++] = *p;
    path[n] = '\0';
    return n > 0;
}

run_fault reading_fault(const read_result &r, const line_reader &lines, const char *path, const model_set *set)
{
    if (r.fault == read_fault::none)
        return {};
    path = fault_path(r, set, path);
    if (r.fault == read_fault::read_error)
        return {.kind = fault_kind::read,
                .error_number = r.file >= 0 ? r.error_number : lines.error_number,
                .message = read_error(path)};
    const std::int64_t line = r.fault == read_fault::short_file ? 0 : r.line;
    return {.kind = fault_kind::model, .line = line, .message = read_fault_message(r, path)};
}

run_fault read_opened_model(std::FILE *in, const char *file, std::int32_t D, std::int32_t M, read_rule header,
                            char *chunk, double **mu, double **sigma, double *w, const value_lines *where,
                            const model_set *set)
{
    line_reader lines;
    start_lines(&lines, in, chunk);
    read_result r = w != nullptr ? read_mu_sigma_w(D, M, &lines, mu, sigma, w, header, where, set)
                                 : read_mu_sigma(D, M, &lines, mu, sigma, header, set);
    std::fclose(in);
    return reading_fault(r, lines, file, set);
}

// Reads the set's HMM `h`, named `name`, as read_model does.
static run_fault read_hmm_of_set(const model_set &set, const set_definition &h, const char *name, std::int32_t D,
                                 std::int32_t M, char *chunk, double **mu, double **sigma, double *w,
                                 const value_lines *where)
{
    const line_reader none{}; // a set's faults carry their own errno
    return reading_fault(read_set_model(set, h, chunk, D, M, mu, sigma, w, where), none, name, &set);
}

static run_fault open_fault(const char *path, int error)
{
    return {.kind = fault_kind::open, .error_number = error, .message = open_error(path)};
}

run_fault read_model(const char *file, std::int32_t D, std::int32_t M, read_rule header, char *chunk,
                     double **mu, double **sigma, double *w, const value_lines *where, const model_set *set)
{
    if (const set_definition *h = set_hmm(set, file))
        return read_hmm_of_set(*set, *h, file, D, M, chunk, mu, sigma, w, where);
    std::FILE *in = std::fopen(file, "r");
    if (in == nullptr)
        return open_fault(file, errno);
    return read_opened_model(in, file, D, M, header, chunk, mu, sigma, w, where, set);
}

run_fault take_roots(const char *ubm, std::int32_t D, std::int32_t M, double *w, double **sigma,
                     const value_lines *where)
{
    // The first value that cannot be used, in file order: the one on the
    // lowest line, the first of those in component order.
    std::int64_t line = INT64_MAX;
    std::int32_t bad_i = -1, bad_j = -1; // bad_j -1: the weight
    for (std::int32_t i = 0; i < M; ++i) {
        if (!(std::isfinite(w[i]) && w[i] >= 0)) {
            const std::int64_t at = where != nullptr ? where->weight[i] : 9 + 6LL * i;
            if (at < line) {
                line = at;
                bad_i = i;
                bad_j = -1;
            }
        }
        for (std::int32_t j = 0; j < D; ++j) {
            const double v = sigma[i][j];
            const std::int64_t at = where != nullptr ? where->variance[i][j] : 13 + 6LL * i;
            if (!(std::isfinite(v) && v > 0) && at < line) {
                line = at;
                bad_i = i;
                bad_j = j;
            }
        }
    }
    if (bad_i >= 0) {
        char text[max_le_chars + 1];
        *format_le(text, bad_j < 0 ? w[bad_i] : sigma[bad_i][bad_j]) = '\0';
        const std::string what = bad_j < 0 ? std::string("mixture weight ") + text +
                                                  ", a finite value of 0 or more expected"
                                            : "variance " + std::to_string(bad_j + 1) + " is " + text +
                                                  ", a finite value above 0 expected";
        return {.kind = fault_kind::model, .line = line, .message = line_message(ubm, line, what)};
    }
    for (std::int32_t i = 0; i < M; ++i) {
        w[i] = std::sqrt(w[i]);
        for (std::int32_t j = 0; j < D; ++j)
            sigma[i][j] = std::sqrt(sigma[i][j]);
    }
    return {};
}

line_status next_listed(void *list, char *buffer, const char **path)
{
    text_line l;
    line_status st;
    do
        st = next_line(static_cast<line_reader *>(list), &l);
    while (st == line_status::ok && !list_path(l, buffer));
    *path = buffer;
    return st;
}

namespace {

// A row of means less the UBM's.
void subtract(double *row, const double *base, std::int32_t D)
{
    for (std::int32_t j = 0; j < D; ++j)
        row[j] -= base[j];
}

#if GMM_VECTORS
// The same, four values a step.
__attribute__((target("avx2"))) void subtract_avx2(double *row, const double *base, std::int32_t D)
{
    for (std::int32_t j = 0; j < D; ++j)
        row[j] -= base[j];
}
#endif

// The record of a model, made in place in its means: each value minus the
// UBM's, and when normalizing, times the root of the component's UBM weight
// and divided by the root of the UBM's variance, in that order.
void make_record(const extraction &x, double **mu)
{
    void (*less)(double *, const double *, std::int32_t) = subtract;
#if GMM_VECTORS
    if (widest_scan() == scan_width::avx2)
        less = subtract_avx2;
#endif
    for (std::int32_t i = 0; i < x.M; ++i) {
        double *row = mu[i];
        const double *base = x.ubm_mu[i];
        if (x.sqrt_w == nullptr) {
            less(row, base, x.D);
        } else {
            const double sw = x.sqrt_w[i];
            const double *sv = x.sqrt_sigma[i];
            for (std::int32_t j = 0; j < x.D; ++j)
                row[j] = (row[j] - base[j]) * sw / sv[j];
        }
    }
}

// A list item taken and not yet written: the slot it is read into, and
// once read, its record ready there or its failure.
struct in_flight {
    int slot;
    bool done;
    run_fault fault;
};

// What the workers share and change, under `lock`.  At most as many items
// are in flight as there are slots, so item k is kept at flight[k % slots].
// Both vectors have their full size before the workers start: nothing a
// worker does grows a container.
struct run_state {
    std::mutex lock;
    std::condition_variable changed; // a record was put, a slot came free,
                                     // a model was read, or the run ended
    const extraction *x;
    const model_source *source;
    const record_sink *sink;
    component_matrix *slots;
    int slots_had = 1;           // slots obtained: the first is the caller's
    bool read_one = false;       // a model was read whole
    bool cannot_grow = false;    // no more slots: one could not be obtained,
                                 // or storage ran short
    std::vector<int> free_slots;
    std::vector<in_flight> flight;
    std::int64_t handed = 0;     // items taken from the list
    std::int64_t next = 0;       // the item whose record goes out next
    bool started = false;        // the sink has started: records may go out
    bool list_done = false;      // no more items
    bool writing = false;        // a thread is putting records
    bool stopped = false;        // the run ended with `result`
    run_fault result;
    // Models being opened or read, attempts at a model begun, and attempts
    // ended with the model read or its failure known: a worker short of
    // descriptors or storage waits for one of those to end, or for its turn.
    int reading = 0;
    std::uint64_t reads_started = 0;
    std::uint64_t reads_done = 0;
    int waiting = 0;             // workers waiting on `changed` for those
};

// Whether every record before item `item` has gone out, as with one worker:
// its model may then be waited for.
bool its_turn(const run_state *t, std::int64_t item) { return t->started && t->next == item; }

// Ends the run with `fault`.  The first end stands: records go out in list
// order, so the first failure found there is the first in list order, and
// nothing later may replace it.
void stop(run_state *t, run_fault fault)
{
    if (t->stopped)
        return;
    t->stopped = true;
    t->result = std::move(fault);
    t->changed.notify_all();
}

// The failure of a model that cannot be opened, or named, for want of
// descriptors or storage where one worker alone would want them too: an
// open refused is the model's open failure, as for one worker; storage for
// nothing else is the run's.
run_fault shortage_fault(const char *path, int error)
{
    try {
        if (error != 0)
            return open_fault(path, error);
    } catch (const std::bad_alloc &) {
    }
    return {.kind = fault_kind::storage};
}

// Puts every ready record, in list order, until the next one is not ready.
// One thread puts at a time, outside the lock; the caller holds it.  Nothing
// is put before the sink has started.
void write_ready(run_state *t, std::unique_lock<std::mutex> &g)
{
    if (t->writing || !t->started)
        return;
    t->writing = true;
    while (!t->stopped && t->next < t->handed) {
        in_flight &f = t->flight[static_cast<std::size_t>(t->next % static_cast<std::int64_t>(t->flight.size()))];
        if (!f.done)
            break;
        if (f.fault.kind != fault_kind::none) {
            f.fault.item = t->next;
            stop(t, std::move(f.fault));
            break;
        }
        g.unlock();
        run_fault put;
        try {
            put = t->sink->put(t->sink->to, t->next, t->slots[f.slot].rows[0]);
        } catch (const std::bad_alloc &) {
            put = shortage_fault(nullptr, 0); // no storage to say what failed
        }
        g.lock();
        if (put.kind != fault_kind::none) {
            put.item = t->next;
            stop(t, std::move(put));
            break;
        }
        t->free_slots.push_back(f.slot);
        ++t->next;
        t->changed.notify_all();
    }
    t->writing = false;
}

// A slot for the next item, the lock held: a free one, or one obtained now
// while more may be; -1 when the worker must wait for one to come free.
// Slots beyond the first are obtained only once a model has been read whole,
// so a run whose first model fails takes no more storage than one worker.
int take_slot(run_state *t)
{
    if (t->free_slots.empty() && t->read_one && !t->cannot_grow &&
        t->slots_had < static_cast<int>(t->flight.size())) {
        if (alloc_component_matrix(t->x->M, t->x->D, &t->slots[t->slots_had]))
            t->free_slots.push_back(t->slots_had++);
        else
            t->cannot_grow = true; // fewer in flight: the same records
    }
    if (t->free_slots.empty())
        return -1;
    const int slot = t->free_slots.back();
    t->free_slots.pop_back();
    return slot;
}

// Storage ran short: the slots nobody holds are given back and no more are
// obtained, so fewer models are in flight.  Whether any was given back.
bool give_back_slots(run_state *t)
{
    t->cannot_grow = true;
    const bool any = !t->free_slots.empty();
    for (int slot : t->free_slots)
        free_component_matrix(&t->slots[slot]);
    t->free_slots.clear();
    return any;
}

// How an attempt at a model ended.
enum class attempt_end {
    done,          // read, its record made, or its failure known
    not_its_turn,  // not a regular file: it waits for its turn
    no_descriptor, // too few file descriptors to open it
    no_storage,    // too little storage to open it or to name its failure
};

struct attempt {
    attempt_end end;
    run_fault fault; // done: the failure, or kind none
    int error_number; // an open refused for want of descriptors or storage
};

// Opens a model.  Ahead of its turn (while records before it have still to
// go out) only a regular file is opened, and so that the open never waits:
// a pipe or a device could hold the worker, and the run's end, on a writer
// that never comes once an earlier model has failed.  Null with *error set
// to errno, or to 0 for a file that waits for its turn.
std::FILE *open_model(const char *path, bool its_turn, int *error)
{
    if (its_turn) {
        std::FILE *in = std::fopen(path, "r");
        *error = errno;
        return in;
    }
    struct stat st;
    *error = 0;
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode))
        return nullptr;
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    // Made something else since it was looked at: its turn, then.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, 0) != 0) {
        close(fd);
        return nullptr;
    }
    std::FILE *in = fdopen(fd, "r");
    if (in == nullptr) {
        *error = errno;
        close(fd);
    }
    return in;
}

// One attempt at a model: opens it, reads its means, closes it and makes
// its record in `mu`.  Throws nothing: storage that cannot be had, for a
// message included, is an end of its own.
attempt read_attempt(const extraction &x, const char *path, bool its_turn, double **mu, char *chunk)
{
    int error = 0;
    const set_definition *h = set_hmm(x.set, path);
    std::FILE *in = h == nullptr ? open_model(path, its_turn, &error) : nullptr;
    try {
        if (h == nullptr && in == nullptr) {
            if (error == 0)
                return {attempt_end::not_its_turn, {}, 0};
            if (error == EMFILE || error == ENFILE)
                return {attempt_end::no_descriptor, {}, error};
            if (error == ENOMEM)
                return {attempt_end::no_storage, {}, error};
            return {attempt_end::done, open_fault(path, error), 0};
        }
        run_fault fault = h != nullptr
                              ? read_hmm_of_set(*x.set, *h, path, x.D, x.M, chunk, mu, nullptr, nullptr, nullptr)
                              : read_opened_model(in, path, x.D, x.M, x.header, chunk, mu, nullptr, nullptr, nullptr,
                                                  x.set);
        if (fault.kind == fault_kind::none)
            make_record(x, mu);
        return {attempt_end::done, std::move(fault), 0};
    } catch (const std::bad_alloc &) {
        return {attempt_end::no_storage, {}, 0};
    }
}

// Reads list item `item` from `path` into `mu` and makes its record there;
// the lock is held on entry and on return.  A model that is not a regular
// file waits for its turn.  An open refused for want of descriptors or
// storage, or storage refused anywhere else, waits for another model to be
// read whole, or for its turn with no other model being read, and is tried
// again: it is the model's failure only when it is refused in that state,
// the state of one worker alone.
run_fault take_model(run_state *t, std::unique_lock<std::mutex> &g, std::int64_t item, const char *path, double **mu,
                     char *chunk)
{
    for (;;) {
        const bool turn = its_turn(t, item);
        const bool alone = turn && t->reading == 0;
        const std::uint64_t started = ++t->reads_started;
        ++t->reading;
        g.unlock();
        attempt a = read_attempt(*t->x, path, turn, mu, chunk);
        g.lock();
        --t->reading;
        if (a.end == attempt_end::done)
            ++t->reads_done;
        if (t->waiting > 0) // one fewer being read, or one more read
            t->changed.notify_all();
        if (a.end == attempt_end::done)
            return std::move(a.fault);
        if (t->stopped)
            return {.kind = fault_kind::stopped};
        if (a.end == attempt_end::no_storage && give_back_slots(t))
            continue;
        // Alone all along, as a single worker would have been: the model's.
        if (a.end != attempt_end::not_its_turn && alone && t->reads_started == started)
            return shortage_fault(path, a.error_number);
        const std::uint64_t done = t->reads_done;
        ++t->waiting;
        t->changed.wait(g, [&] {
            if (a.end == attempt_end::not_its_turn)
                return t->stopped || its_turn(t, item);
            return t->stopped || (its_turn(t, item) && t->reading == 0) || t->reads_done != done;
        });
        --t->waiting;
        if (t->stopped)
            return {.kind = fault_kind::stopped};
    }
}

// One worker: takes items until the list ends or the run stops.  Nothing
// it calls throws.
void work(run_state *t, worker_scratch *w)
{
    const extraction &x = *t->x;
    const model_source &source = *t->source;
    std::unique_lock<std::mutex> g(t->lock);
    for (;;) {
        if (x.stop != nullptr && x.stop->load())
            stop(t, {.kind = fault_kind::stopped});
        int slot = -1;
        t->changed.wait(g, [&] { return t->stopped || t->list_done || (slot = take_slot(t)) >= 0; });
        if (slot < 0)
            return;
        // The next model; a list that cannot be read fails at the item it
        // would have been.
        const char *path = nullptr;
        const line_status st = source.next(source.from, w->path, &path);
        if (st == line_status::end) {
            t->list_done = true;
            t->free_slots.push_back(slot);
            t->changed.notify_all();
            return;
        }
        const std::int64_t item = t->handed++;
        in_flight &f = t->flight[static_cast<std::size_t>(item % static_cast<std::int64_t>(t->flight.size()))];
        f = {slot, false, {}};
        run_fault fault;
        if (st == line_status::error) {
            t->list_done = true;
            try {
                fault = {.kind = fault_kind::read, .message = read_error(source.list_file)};
            } catch (const std::bad_alloc &) {
                fault = shortage_fault(nullptr, 0);
            }
        } else {
            double **rows = t->slots[slot].rows;
            if (t->sink->place != nullptr) {
                double *at = t->sink->place(t->sink->to, item);
                for (std::int32_t i = 0; i < x.M; ++i)
                    rows[i] = at + static_cast<std::size_t>(i) * static_cast<std::size_t>(x.D);
            }
            fault = take_model(t, g, item, path, rows, w->chunk);
            if (fault.kind == fault_kind::none && !t->read_one) {
                t->read_one = true;
                t->changed.notify_all();
            }
        }
        f.done = true;
        f.fault = std::move(fault);
        write_ready(t, g);
    }
}

// What a worker thread starts with.
struct worker_start {
    run_state *t;
    worker_scratch *w;
};

void *start_worker(void *start)
{
    const worker_start *s = static_cast<const worker_start *>(start);
    work(s->t, s->w);
    return nullptr;
}

// A worker thread's stack: its deepest calls (a message's text, the C
// library's number conversion) take a few KiB.
constexpr std::size_t worker_stack_bytes = std::size_t{256} << 10;

} // namespace

void round_to_float32(const double *values, std::size_t n, float *out)
{
    for (std::size_t k = 0; k < n; ++k)
        out[k] = static_cast<float>(values[k]);
}

run_fault make_records(const extraction &x, const model_source &source, const record_sink &sink,
                       worker_scratch *scratch, int n, component_matrix *slots)
{
    run_state t;
    t.x = &x;
    t.source = &source;
    t.sink = &sink;
    t.slots = slots;
    t.started = sink.start == nullptr;

    // Everything the workers share is obtained before they start; with too
    // little storage for n workers' share, one does the work.
    std::vector<pthread_t> others;
    std::vector<worker_start> starts;
    try {
        t.flight.resize(static_cast<std::size_t>(record_slots(n)));
        t.free_slots.reserve(t.flight.size());
        others.reserve(static_cast<std::size_t>(n - 1));
        starts.reserve(static_cast<std::size_t>(n - 1));
    } catch (const std::bad_alloc &) {
        n = 1;
        t.flight.resize(1);
        t.free_slots.reserve(1);
    }
    t.free_slots.push_back(0);

    // Where the system refuses more threads, or their storage, the ones it
    // gave do the work: the records are the same for any number of workers.
    // Their stacks are small, so that threads take little of an address
    // space limit that one worker would have to itself.
    pthread_attr_t attr;
    if (n > 1 && pthread_attr_init(&attr) == 0) {
        pthread_attr_setstacksize(&attr, worker_stack_bytes);
        for (int k = 1; k < n && alloc_scratch(&scratch[k]); ++k) {
            starts.push_back({&t, &scratch[k]});
            pthread_t th;
            if (pthread_create(&th, &attr, start_worker, &starts.back()) != 0)
                break;
            others.push_back(th);
        }
        pthread_attr_destroy(&attr);
    }

    // The other workers read the first models while the sink starts; none
    // of their records goes out before it has.
    if (sink.start != nullptr) {
        run_fault started = sink.start(sink.to);
        std::unique_lock<std::mutex> g(t.lock);
        if (started.kind != fault_kind::none) {
            stop(&t, std::move(started));
        } else {
            t.started = true;
            t.changed.notify_all();
            write_ready(&t, g);
        }
    }
    work(&t, &scratch[0]);
    for (pthread_t th : others)
        pthread_join(th, nullptr);
    return std::move(t.result);
}

} // namespace gmm
