#include "supervectors.h"

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

std::string read_model(const char *file, std::int32_t D, std::int32_t M, header_rule header, char *chunk,
                       double **mu, double **sigma, double *w)
{
    std::FILE *in = std::fopen(file, "r");
    if (in == nullptr)
        return open_error(file);
    line_reader lines;
    start_lines(&lines, in, chunk);
    read_result r = w != nullptr ? read_mu_sigma_w(D, M, &lines, mu, sigma, w, header)
                                 : read_mu_sigma(D, M, &lines, mu, sigma, header);
    std::fclose(in);
    return read_fault_message(r, file);
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
    std::condition_variable changed; // a slot came free, or the run ended
    component_matrix *slots;
    std::vector<int> free_slots;
    std::vector<in_flight> flight;
    output *out;
    std::int64_t handed = 0;     // items taken from the list
    std::int64_t next = 0;       // the item whose record goes out next
    bool list_done = false;      // no more items
    bool out_open = false;       // records may be written
    bool writing = false;        // a thread is writing records
    bool stopped = false;        // the run ended with `message`
    std::string message;
};

void stop(run_state *t, const std::string &message)
{
    t->stopped = true;
    t->message = message;
    t->changed.notify_all();
}

// Writes every ready record, in list order, until the next one is not
// ready.  One thread writes at a time, outside the lock; the caller holds it.
void write_ready(const extraction &x, run_state *t, std::unique_lock<std::mutex> &g)
{
    if (t->writing || !t->out_open)
        return;
    t->writing = true;
    const std::size_t values = static_cast<std::size_t>(x.M) * static_cast<std::size_t>(x.D);
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
        if (x.progress != nullptr)
            count_model(x.progress);
        t->changed.notify_all();
    }
    t->writing = false;
}

// One worker: takes items until the list ends or the run stops.
void work(const extraction &x, run_state *t, worker_scratch *w)
{
    std::unique_lock<std::mutex> g(t->lock);
    for (;;) {
        t->changed.wait(g, [&] { return t->stopped || t->list_done || !t->free_slots.empty(); });
        if (t->stopped || t->list_done)
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
            t->changed.notify_all();
            return;
        }
        const std::int64_t item = t->handed++;
        const int slot = t->free_slots.back();
        t->free_slots.pop_back();
        in_flight &f = t->flight[static_cast<std::size_t>(item % static_cast<std::int64_t>(t->flight.size()))];
        f = {slot, false, {}};
        std::string fault;
        if (st == line_status::error) {
            t->list_done = true;
            fault = read_error(x.list_file);
        } else {
            g.unlock();
            double **mu = t->slots[slot].rows;
            fault = read_model(w->path, x.D, x.M, x.header, w->chunk, mu);
            if (fault.empty())
                make_record(x, mu);
            g.lock();
        }
        f.done = true;
        f.fault = std::move(fault);
        write_ready(x, t, g);
    }
}

} // namespace

std::string write_records(const extraction &x, output *out, worker_scratch *scratch, int n,
                          component_matrix *slots)
{
    run_state t;
    t.slots = slots;
    t.out = out;
    const int s = record_slots(n);
    t.flight.resize(static_cast<std::size_t>(s));
    for (int k = s - 1; k >= 0; --k)
        t.free_slots.push_back(k);

    // Where the system refuses more threads, the ones it gave do the work:
    // the records are the same for any number of workers.
    std::vector<std::thread> others;
    try {
        for (int k = 1; k < n; ++k)
            others.emplace_back(work, std::cref(x), &t, &scratch[k]);
    } catch (const std::system_error &) {
    }

    // The output is opened (and an old one truncated) while the other
    // workers read the first models; nothing is written before.
    std::FILE *stream = std::fopen(out->path, "wb");
    if (stream != nullptr)
        std::setvbuf(stream, out->buffer, _IOFBF, out->buffer_bytes);
    {
        std::unique_lock<std::mutex> g(t.lock);
        out->stream = stream;
        if (stream == nullptr) {
            stop(&t, open_error(out->path));
        } else {
            t.out_open = true;
            write_ready(x, &t, g);
        }
    }
    work(x, &t, &scratch[0]);
    for (std::thread &th : others)
        th.join();
    return t.message;
}

} // namespace gmm
