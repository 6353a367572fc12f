#include "progress.h"

#include <unistd.h>

namespace gmm {

namespace {

using clock = std::chrono::steady_clock;

void show(progress_meter *p, clock::time_point now, bool last)
{
    const std::string text = progress_line(p->done, p->total, std::chrono::duration<double>(now - p->start).count());
    const char *line = text.c_str();
    const int n = static_cast<int>(text.size());
    if (p->terminal) {
        // Blank out what a longer line before left behind.
        std::fprintf(p->to, "\r%s%*s%s", line, p->width > n ? p->width - n : 0, "", last ? "\n" : "");
        p->width = n;
    } else {
        std::fprintf(p->to, "%s\n", line);
    }
    std::fflush(p->to);
    p->shown = now;
}

} // namespace

std::string progress_line(std::int64_t done, std::int64_t total, double seconds)
{
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    char left[80] = "";
    if (rate > 0 && done < total) {
        const long long s = static_cast<long long>(static_cast<double>(total - done) / rate + 0.5);
        std::snprintf(left, sizeof left, ", %lld:%02lld:%02lld left", s / 3600, s / 60 % 60, s % 60);
    }
    char line[160];
    std::snprintf(line, sizeof line, "%lld of %lld models, %.1f models/s%s", static_cast<long long>(done),
                  static_cast<long long>(total), rate, left);
    return line;
}

void start_progress(progress_meter *p, std::FILE *to, std::int64_t total)
{
    p->to = to;
    p->terminal = isatty(fileno(to)) != 0;
    p->total = total;
    p->done = 0;
    p->start = p->shown = clock::now();
    p->width = 0;
}

void count_model(progress_meter *p)
{
    ++p->done;
    const clock::time_point now = clock::now();
    if (now - p->shown >= (p->terminal ? std::chrono::milliseconds(100) : std::chrono::milliseconds(10000)))
        show(p, now, false);
}

void finish_progress(progress_meter *p) { show(p, clock::now(), true); }

} // namespace gmm
