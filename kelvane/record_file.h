// The supervector file: records written one after another, in list order,
// as raw native doubles (little-endian on the machines this runs on).
#pragma once

#include <cstdio>

#include "progress.h"
#include "supervectors.h"

namespace gmm {

struct record_file {
    const char *path;
    char *buffer;            // its stdio buffer, owned by the caller
    std::size_t buffer_bytes;
    std::size_t values;      // M x D values a record
    progress_meter *progress; // counts each record written; or null
    std::FILE *stream;       // once opened
};

// Opens the file for writing without truncating it, so that it never
// competes with the models for a file descriptor and an old one is
// truncated while the workers read the first models (the sink's start,
// before any record is written).
run_fault open_record_file(record_file *f);

// The sink that truncates an old file at the start and appends each record.
record_sink file_sink(record_file *f);

} // namespace gmm
