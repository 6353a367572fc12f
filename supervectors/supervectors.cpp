#include "supervectors.h"

#include <sched.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "format_le.h"
#include "messages.h"
#include "values_line.h"

namespace gmm {

int record_slots(int n) { return n == 1 ? 1 : 2 * n; }

bool alloc_scratch(worker_scratch *w)
{
    w->chunk = static_cast<char *>(std::malloc(chunk_bytes + 1));
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

run_fault reading_fault(const read_result &r, const line_reader &lines, const char *path)
{
    if (r.fault == read_fault::none)
        return {};
    if (r.fault == read_fault::read_error)
        return {fault_kind::read, lines.error_number, 0, -1, read_error(path)};
    const std::int64_t line = r.fault == read_fault::short_file ? 0 : r.line;
    return {fault_kind::model, 0, line, -1, read_fault_message(r, path)};
}

// Reads an opened model and closes it.
static run_fault read_opened_model(std::FILE *in, const char *file, std::int32_t D, std::int32_t M,
                                   header_rule header, char *chunk, double **mu, double **sigma, double *w)
{
    line_reader lines;
    start_lines(&lines, in, chunk);
    read_result r = w != nullptr ? read_mu_sigma_w(D, M, &lines, mu, sigma, w, header)
                                 : read_mu_sigma(D, M, &lines, mu, sigma, header);
    std::fclose(in);
    return reading_fault(r, lines, file);
}

static run_fault open_fault(const char *path, int error)
{
    return {fault_kind::open, error, 0, -1, open_error(path)};
}

run_fault read_model(const char *file, std::int32_t D, std::int32_t M, header_rule header, char *chunk,
                     double **mu, double **sigma, double *w)
{
    std::FILE *in = std::fopen(file, "r");
    if (in == nullptr)
        return open_fault(file, errno);
    return read_opened_model(in, file, D, M, header, chunk, mu, sigma, w);
}

run_fault take_roots(const char *ubm, std::int32_t D, std::int32_t M, double *w, double **sigma)
{
    char text[max_le_chars + 1];
    for (std::int32_t i = 0; i < M; ++i) {
        if (!(std::isfinite(w[i]) && w[i] >= 0)) {
            *format_le(text, w[i]) = '\0';
            const std::int64_t line = 9 + 6LL * i;
            return {fault_kind::model, 0, line, -1,
                    line_message(ubm, line, std::string("mixture weight ") + text +
                                                ", a finite value of 0 or more expected")};
        }
        w[i] = std::sqrt(w[i]);
        for (std::int32_t j = 0; j < D; ++j) {
            double &v = sigma[i][j];
            if (!(std::isfinite(v) && v > 0)) {
                *format_le(text, v) = '\0';
                const std::int64_t line = 13 + 6LL * i;
                return {fault_kind::model, 0, line, -1,
                        line_message(ubm, line, "variance " + std::to_string(j + 1) + " is " + text +
                                                    ", a finite value above 0 expected")};
            }
            v = std::sqrt(v);
        }
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
struct run_state {
    std::mutex lock;
    std::condition_variable changed; // a slot came free, a model file was
                                     // closed, or the run ended
    const extraction *x;
    const model_source *source;
    const record_sink *sink;
    component_matrix *slots;
    int slots_had = 1;           // slots obtained: the first is the caller's
    bool read_one = false;       // a model was read whole
    bool cannot_grow = false;    // a slot could not be obtained
    std::vector<int> free_slots;
    std::vector<in_flight> flight;
    std::int64_t handed = 0;     // items taken from the list
    std::int64_t next = 0;       // the item whose record goes out next
    bool list_done = false;      // no more items
    bool writing = false;        // a thread is putting records
    bool stopped = false;        // the run ended with `result`
    run_fault result;
    // Model files being opened, open now, and closed so far.  A worker
    // whose open is refused for want of descriptors waits for a close.
    std::atomic<int> opening{0};
    std::atomic<int> models_open{0};
    std::atomic<std::uint64_t> closes{0};
    int waiting_for_close = 0;
};

void stop(run_state *t, run_fault fault)
{
    t->stopped = true;
    t->result = std::move(fault);
    t->changed.notify_all();
}

// Puts every ready record, in list order, until the next one is not ready.
// One thread puts at a time, outside the lock; the caller holds it.
void write_ready(run_state *t, std::unique_lock<std::mutex> &g)
{
    if (t->writing)
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
        run_fault put = t->sink->put(t->sink->to, t->next, t->slots[f.slot].block);
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

// Opens a model for reading.  An open refused for want of file descriptors
// while another model is open, or being opened, waits for a model to close
// and tries again; it is the model's failure only when no other model is
// open or being opened, as for a worker alone.
std::FILE *open_model(run_state *t, const char *path)
{
    for (;;) {
        const std::uint64_t seen = t->closes.load();
        ++t->opening;
        std::FILE *in = std::fopen(path, "r");
        if (in != nullptr) {
            ++t->models_open; // before it stops counting as being opened
            --t->opening;
            return in;
        }
        const int error = errno;
        std::unique_lock<std::mutex> g(t->lock);
        --t->opening;
        if (t->waiting_for_close > 0)
            t->changed.notify_all();
        if (error != EMFILE && error != ENFILE)
            return nullptr;
        // A close since the attempt: try again.  Nothing else open or being
        // opened: the model's failure.  (The counts are read before the
        // closes, which a closing worker counts before the open models.)
        bool retry = false;
        ++t->waiting_for_close;
        t->changed.wait(g, [&] {
            const int opening = t->opening.load(), open = t->models_open.load();
            retry = t->closes.load() != seen;
            return retry || (opening == 0 && open == 0) || t->stopped;
        });
        --t->waiting_for_close;
        if (!retry || t->stopped) {
            errno = error;
            return nullptr;
        }
    }
}

// Reads an opened model and closes it.
run_fault read_model_in(run_state *t, std::FILE *in, const char *path, double **mu, char *chunk)
{
    run_fault fault = read_opened_model(in, path, t->x->D, t->x->M, t->x->header, chunk, mu, nullptr, nullptr);
    ++t->closes;
    --t->models_open;
    return fault;
}

// One worker: takes items until the list ends or the run stops.
void work(run_state *t, worker_scratch *w)
{
    const extraction &x = *t->x;
    const model_source &source = *t->source;
    std::unique_lock<std::mutex> g(t->lock);
    for (;;) {
        if (x.stop != nullptr && x.stop->load() && !t->stopped)
            stop(t, {fault_kind::stopped, 0, 0, -1, {}});
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
            fault = {fault_kind::read, 0, 0, -1, read_error(source.list_file)};
        } else {
            g.unlock();
            double **mu = t->slots[slot].rows;
            std::FILE *in = open_model(t, path);
            if (in == nullptr) {
                fault = open_fault(path, errno);
            } else {
                fault = read_model_in(t, in, path, mu, w->chunk);
                if (fault.kind == fault_kind::none)
                    make_record(x, mu);
            }
            g.lock();
            if (in != nullptr && t->waiting_for_close > 0)
                t->changed.notify_all();
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

} // namespace

run_fault make_records(const extraction &x, const model_source &source, const record_sink &sink,
                       worker_scratch *scratch, int n, component_matrix *slots)
{
    run_state t;
    t.x = &x;
    t.source = &source;
    t.sink = &sink;
    t.slots = slots;
    t.flight.resize(static_cast<std::size_t>(record_slots(n)));
    t.free_slots.push_back(0);

    // Where the system refuses more threads, or their storage, the ones it
    // gave do the work: the records are the same for any number of workers.
    std::vector<std::thread> others;
    try {
        for (int k = 1; k < n && alloc_scratch(&scratch[k]); ++k)
            others.emplace_back(work, &t, &scratch[k]);
    } catch (const std::system_error &) {
    }

    if (sink.start != nullptr) {
        run_fault started = sink.start(sink.to);
        if (started.kind != fault_kind::none) {
            std::lock_guard<std::mutex> g(t.lock);
            stop(&t, std::move(started));
        }
    }
    work(&t, &scratch[0]);
    for (std::thread &th : others)
        th.join();
    return t.result;
}

} // namespace gmm
