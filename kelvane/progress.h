// Progress of a long run on standard error: models done of the total,
// models per second and the time left.  On a terminal one line is rewritten
// in place at most ten times a second; elsewhere (a batch job's log) a plain
// line is written at most every ten seconds.  Either way the last count ends
// with a newline.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace gmm {

struct progress_meter {
    std::FILE *to;
    bool terminal;
    std::int64_t total; // models in the list
    std::int64_t done;
    std::chrono::steady_clock::time_point start, shown;
    int width;          // of the line last written on a terminal
};

// "<done> of <total> models, <rate> models/s, h:mm:ss left" after `seconds`
// (the time left only while some is, and a rate is known).
std::string progress_line(std::int64_t done, std::int64_t total, double seconds);

void start_progress(progress_meter *p, std::FILE *to, std::int64_t total);

// One more model written; its count is shown when one is due.
void count_model(progress_meter *p);

// The final count, ended by a newline.
void finish_progress(progress_meter *p);

} // namespace gmm
