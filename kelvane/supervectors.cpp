#include "supervectors.h"

#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "messages.h"

namespace gmm {

bool alloc_scratch(std::int32_t M, std::int32_t D, worker_scratch *w)
{
    w->chunk = static_cast<char *>(std::malloc(chunk_bytes + 1));
    w->path = static_cast<char *>(std::malloc(max_line_bytes + 1));
    return w->chunk != nullptr && w->path != nullptr && alloc_component_matrix(M, D, &w->mu);
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

constexpr std::int64_t none_failed = INT64_MAX;

// What the workers share and change, under `lock`.
struct turns {
    std::mutex lock;
    std::condition_variable written; // a record was written or the run stopped
    std::int64_t handed = 0;         // list items handed out so far
    std::int64_t next = 0;           // the item whose record goes out next
    std::int64_t failed = none_failed; // the first failing item, once its turn came
    bool list_done = false;
    std::string message;             // the failing item's message
};

// One worker: takes items until the list ends or the run stops.
void work(const extraction &x, turns *t, worker_scratch *w)
{
    const std::size_t record_values = static_cast<std::size_t>(x.M) * static_cast<std::size_t>(x.D);
    for (;;) {
        // Take the next list line that names a model; a list that cannot be
        // read fails at the item it would have been.
        std::int64_t item;
        std::string fault;
        {
            std::lock_guard<std::mutex> g(t->lock);
            text_line l;
            for (;;) {
                if (t->list_done || t->failed != none_failed)
                    return;
                const line_status st = next_line(x.list, &l);
                if (st == line_status::ok && !list_path(l, w->path))
                    continue;
                if (st == line_status::end) {
                    t->list_done = true;
                    return;
                }
                if (st == line_status::error) {
                    t->list_done = true;
                    fault = read_error(x.list_file);
                }
                break;
            }
            item = t->handed++;
        }
        if (fault.empty())
            fault = read_model(w->path, x.D, x.M, x.header, w->chunk, w->mu.rows);
        if (fault.empty())
            make_record(x, w->mu.rows);

        // Wait for this item's turn; an earlier failure ends the wait.  The
        // record is written outside the lock: only the item whose turn it is
        // writes, and the other workers go on taking and reading models.
        std::unique_lock<std::mutex> g(t->lock);
        t->written.wait(g, [&] { return t->next == item || t->failed < item; });
        if (t->failed < item)
            return;
        g.unlock();
        if (fault.empty() && std::fwrite(w->mu.block, sizeof(double), record_values, x.out) != record_values)
            fault = write_error(x.out_file);
        g.lock();
        if (!fault.empty()) {
            t->failed = item;
            t->message = fault;
        } else {
            ++t->next;
            if (x.progress != nullptr)
                count_model(x.progress);
        }
        g.unlock();
        t->written.notify_all();
        if (!fault.empty())
            return;
    }
}

} // namespace

std::string write_records(const extraction &x, worker_scratch *scratch, int n)
{
    turns t;
    std::vector<std::thread> others;
    // Where the system refuses more threads, the ones it gave do the work:
    // the records are the same for any number of workers.
    try {
        for (int k = 1; k < n; ++k)
            others.emplace_back(work, std::cref(x), &t, &scratch[k]);
    } catch (const std::system_error &) {
    }
    work(x, &t, &scratch[0]);
    for (std::thread &th : others)
        th.join();
    return t.message;
}

} // namespace gmm
