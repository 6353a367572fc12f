// Text files of model parameters.
//
// Matrix file: a matrix of M rows (components) by D columns (dimensions),
// its values kept as the text "%le" prints for them, written transposed, one line per dimension holding that
// dimension of every component in component order.  Vector file: M values on
// one line.  Values are printed as "%le" prints them and separated by exactly
// one space; lines are separated by a newline, and neither file ends in one.
#pragma once

#include <cstdint>

#include "le_text.h"

namespace gmm {

enum class write_status { ok, open_failed, write_failed };

// Creates or truncates `path` and writes the transposed matrix; the file is
// complete and closed when this returns ok.
write_status write_array(le_text *const *rows, std::int32_t M, std::int32_t D, const char *path);

// Creates or truncates `path` and writes the n values on one line.
write_status write_vector(const le_text *values, std::int32_t n, const char *path);

} // namespace gmm
