// The supervector file: records written one after another, in list order,
// as raw native doubles (little-endian on the machines this runs on), or
// floats each rounded once from the double; raw, or after the header of a
// NumPy .npy file (format 1.0) of shape (records, M x D).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "progress.h"
#include "supervectors.h"

namespace gmm {

struct record_file {
    const char *path;
    char *buffer;            // its stdio buffer, owned by the caller
    std::size_t buffer_bytes;
    std::size_t values;      // M x D values a record
    progress_meter *progress; // counts each record written; or null
    float *singles;          // float32 records: storage for one, the caller's;
                             // null for doubles
    std::int64_t npy_rows;   // a .npy file of this many records; -1: raw
    std::FILE *stream;       // once opened
};

// The header of a .npy file of `rows` records of `values` little-endian
// doubles (floats where `singles`), as numpy.save writes it: the magic, the
// version, the header's length and its dictionary padded with spaces to a
// multiple of 64 bytes in all, ending in a newline.
std::string npy_header(std::int64_t rows, std::size_t values, bool singles);

// Opens the file for writing without truncating it, so that it never
// competes with the models for a file descriptor and an old one is
// truncated while the workers read the first models (the sink's start,
// before any record is written).
run_fault open_record_file(record_file *f);

// The sink that truncates an old file at the start (and writes the .npy
// header) and appends each record.
record_sink file_sink(record_file *f);

} // namespace gmm
