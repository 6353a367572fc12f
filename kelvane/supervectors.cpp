#include "supervectors.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "messages.h"

namespace gmm {

int record_slots(int n) { return n == 1 ? 1 : 2 * n; }

bool alloc_scratch(worker_scratch *w)
{
    w->chunk = static_cast<char *>(std::malloc(chunk_bytes + 1));
    w->path = static_cast<char *>(std::malloc(max_line_bytes + 1));
    return w->chunk != nullptr && w->path != nullptr;
}

bool list_path(const text_line &l, char *path)
{
    std::size_t n = 0;
    for (const char *p = l.begin; p < l.end && *p != '\n' && *p != '\0'; ++p)
        path[n++] = *p;
    path[n] = '\0';
    return n > 0;
}

// Reads an opened model and closes it.
static std::string read_opened_model(std::FILE *in, const char *file, std::int32_t D, std::int32_t M,
                                     header_rule header, char *chunk, double **mu, double **sigma, double *w)
{
    line_reader lines;
    start_lines(&lines, in, chunk);
    read_result r = w != nullptr ? read_mu_sigma_w(D, M, &lines, mu, sigma, w, header)
                                 : read_mu_sigma(D, M, &lines, mu, sigma, header);
    std::fclose(in);
    return read_fault_message(r, file);
}

std::string read_model(const char *file, std::int32_t D, std::int32_t M, header_rule header, char *chunk,
                       double **mu, double **sigma, double *w)
{
    std::FILE *in = std::fopen(file, "r");
    if (in == nullptr)
        return open_error(file);
    return read_opened_model(in, file, D, M, header, chunk, mu, sigma, w);
}

namespace {

// The record of a model, made in place in its means: each value minus the
// UBM's, and when normalizing, times the root of the component's UBM weight
// and divided by the root of the UBM's variance, in that order.
void make_record(const extraction &x, double **mu)
{
    for (std::int32_t i = 0; i < x.M; ++i) {
        double *row = mu[i];
        const double *base = x.ubm_mu[i];
        if (x.sqrt_w == nullptr) {
            for (std::int32_t j = 0; j < x.D; ++j)
                row[j] -= base[j];
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
    std::string fault;
};

// What the workers share and change, under `lock`.  At most as many items
// are in flight as there are slots, so item k is kept at flight[k % slots].
struct run_state {
    std::mutex lock;
    std::condition_variable changed; // a slot came free, a model file was
                                     // closed, or the run ended
    const extraction *x;
    component_matrix *slots;
    int slots_had = 1;           // slots obtained: the first is the caller's
    bool read_one = false;       // a model was read whole
    bool cannot_grow = false;    // a slot could not be obtained
    std::vector<int> free_slots;
    std::vector<in_flight> flight;
    output *out;
    std::int64_t handed = 0;     // items taken from the list
    std::int64_t next = 0;       // the item whose record goes out next
    bool list_done = false;      // no more items
    bool writing = false;        // a thread is writing records
    bool stopped = false;        // the run ended with `message`
    std::string message;
    // Model files being opened, open now, and closed so far.  A worker
    // whose open is refused for want of descriptors waits for a close.
    std::atomic<int> opening{0};
    std::atomic<int> models_open{0};
    std::atomic<std::uint64_t> closes{0};
    int waiting_for_close = 0;
};

void stop(run_state *t, const std::string &message)
{
    t->stopped = true;
    t->message = message;
    t->changed.notify_all();
}

// Writes every ready record, in list order, until the next one is not
// ready.  One thread writes at a time, outside the lock; the caller holds it.
void write_ready(run_state *t, std::unique_lock<std::mutex> &g)
{
    if (t->writing)
        return;
    t->writing = true;
    const std::size_t values = static_cast<std::size_t>(t->x->M) * static_cast<std::size_t>(t->x->D);
    while (!t->stopped && t->next < t->handed) {
        in_flight &f = t->flight[static_cast<std::size_t>(t->next % static_cast<std::int64_t>(t->flight.size()))];
        if (!f.done)
            break;
        if (!f.fault.empty()) {
            stop(t, f.fault);
            break;
        }
        g.unlock();
        const bool written = std::fwrite(t->slots[f.slot].block, sizeof(double), values, t->out->stream) == values;
        g.lock();
        if (!written) {
            stop(t, write_error(t->out->path));
            break;
        }
        t->free_slots.push_back(f.slot);
        ++t->next;
        if (t->x->progress != nullptr)
            count_model(t->x->progress);
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
std::string read_model_in(run_state *t, std::FILE *in, const char *path, double **mu, char *chunk)
{
    std::string fault = read_opened_model(in, path, t->x->D, t->x->M, t->x->header, chunk, mu, nullptr, nullptr);
    ++t->closes;
    --t->models_open;
    return fault;
}

// One worker: takes items until the list ends or the run stops.
void work(run_state *t, worker_scratch *w)
{
    const extraction &x = *t->x;
    std::unique_lock<std::mutex> g(t->lock);
    for (;;) {
        int slot = -1;
        t->changed.wait(g, [&] { return t->stopped || t->list_done || (slot = take_slot(t)) >= 0; });
        if (slot < 0)
            return;
        // The next list line that names a model; a list that cannot be read
        // fails at the item it would have been.
        text_line l;
        line_status st;
        do
            st = next_line(x.list, &l);
        while (st == line_status::ok && !list_path(l, w->path));
        if (st == line_status::end) {
            t->list_done = true;
            t->free_slots.push_back(slot);
            t->changed.notify_all();
            return;
        }
        const std::int64_t item = t->handed++;
        in_flight &f = t->flight[static_cast<std::size_t>(item % static_cast<std::int64_t>(t->flight.size()))];
        f = {slot, false, {}};
        std::string fault;
        if (st == line_status::error) {
            t->list_done = true;
            fault = read_error(x.list_file);
        } else {
            g.unlock();
            double **mu = t->slots[slot].rows;
            std::FILE *in = open_model(t, w->path);
            if (in == nullptr) {
                fault = open_error(w->path);
            } else {
                fault = read_model_in(t, in, w->path, mu, w->chunk);
                if (fault.empty())
                    make_record(x, mu);
            }
            g.lock();
            if (in != nullptr && t->waiting_for_close > 0)
                t->changed.notify_all();
            if (fault.empty() && !t->read_one) {
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

std::string write_records(const extraction &x, output *out, worker_scratch *scratch, int n,
                          component_matrix *slots)
{
    // The output is opened before any model, as by one worker alone, so that
    // it never competes with the models for a file descriptor.  An old one
    // is truncated while the other workers read the first models.
    const int fd = open(out->path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return open_error(out->path);
    out->stream = fdopen(fd, "wb");
    if (out->stream == nullptr) {
        close(fd);
        return open_error(out->path);
    }
    std::setvbuf(out->stream, out->buffer, _IOFBF, out->buffer_bytes);

    run_state t;
    t.x = &x;
    t.slots = slots;
    t.out = out;
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

    struct stat st;
    if (fstat(fd, &st) != 0 || (S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0)) {
        std::lock_guard<std::mutex> g(t.lock);
        stop(&t, open_error(out->path));
    }
    work(&t, &scratch[0]);
    for (std::thread &th : others)
        th.join();
    return t.message;
}

} // namespace gmm
