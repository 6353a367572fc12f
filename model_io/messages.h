// The messages both programs write on standard error, kept together so that
// each text is written once.  Every message is one line, newline included.
#pragma once

#include <string>

namespace gmm {

// A list or model that cannot be opened, where no path is named.
inline constexpr const char open_error_text[] = "File open error!\n";

// Storage for the matrices (or a worker's scratch) cannot be obtained.
inline constexpr const char no_storage_text[] = "Error: Memory allocation for mu / sigma failed\n";

// A header count that 32 bits cannot hold, under a checked or keyword read:
// the keyword (with its brackets) and the count as read.
// A file of several HMMs, and how to read one of them.
inline constexpr const char several_hmms_form[] =
    "%lld HMMs, one expected (load a set with -H or mmf=, then name an HMM)";
inline constexpr const char count_too_large_form[] = "%s %lld: a count of at most 2147483647 expected";

// "<path>: File open error!", "<path>: File read error!" and so on.
std::string open_error(const char *path);
std::string read_error(const char *path);
std::string write_error(const char *path);

// "<path>: <what>": a message about a file.
std::string file_message(const char *path, const std::string &what);

// "<path>:<line>: <what>": a message about one line of a file.
std::string line_message(const char *path, long long line, const std::string &what);

} // namespace gmm
