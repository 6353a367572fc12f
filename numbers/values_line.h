// The numbers of a values line (the D means or variances of a component),
// read a token at a time by plain code, or sixteen bytes at a time with the
// processor's vector instructions where it has them.
//
// Almost every token in a model file has the shape "%le" prints,
// [-]d.dddddde(+|-)dd.  The vector reader checks that shape with one compare
// per class of byte (digits; the point, 'e' and the exponent's sign) and
// combines the seven digits and the exponent with two multiply-add
// instructions; the value is then made with the same table of exact powers
// of ten as the plain reader's, so both give, bit for bit, what strtod gives.
// Every other token goes down the plain reader's paths.
#pragma once

#include <cstdint>

// The vector paths are built on x86-64 (GMM_NO_VECTORS builds the plain
// code alone there too, as on other processors).
#if defined(__x86_64__) && !defined(GMM_NO_VECTORS)
#define GMM_VECTORS 1
#else
#define GMM_VECTORS 0
#endif

namespace gmm {

struct le_text;

// How values lines are read: byte by byte; with SSSE3 and SSE4.1 (sixteen
// bytes); or with AVX2 as well (thirty-two bytes when counting).
enum class scan_width { scalar, sse4, avx2 };

// The widest the processor has, picked once; no wider than the environment
// asks with GMM_SCAN=scalar or GMM_SCAN=sse4 (avx2 asks for the widest);
// scalar on processors other than x86-64.
scan_width widest_scan();

// A GMM_SCAN that names none of scalar, sse4 and avx2: its value, for the
// programs to refuse; null where it is unset, empty or one of them.
const char *refused_scan_setting();

// Converts the first D numbers of the line [begin, end) into `row`, the
// separators being the space and the newline and a NUL ending the text;
// returns how many the line held, up to D.
std::int64_t read_values(scan_width w, const char *begin, const char *end, std::int32_t D, double *row);

// The same, each value kept as the text "%le" prints for it.
std::int64_t read_values(scan_width w, const char *begin, const char *end, std::int32_t D, le_text *row);

// How many numbers the line holds, up to D, none of them converted.
std::int64_t count_values(scan_width w, const char *begin, const char *end, std::int32_t D);

// For a model read by its keywords, where a vector's values may spread over
// lines and each must be a number whole: converts up to D numbers of
// [begin, end) into `row` (separators as above; the caller has made tabs
// and carriage returns spaces), stopping after the D-th.  Returns how many,
// with *stop after the last one taken and *bad at the first token that is
// not wholly a number (a NUL included), or null.
std::int64_t read_numbers(scan_width w, const char *begin, const char *end, std::int32_t D, double *row,
                          const char **stop, const char **bad);
std::int64_t read_numbers(scan_width w, const char *begin, const char *end, std::int32_t D, le_text *row,
                          const char **stop, const char **bad);

// The same, each number checked and none converted.
std::int64_t check_numbers(scan_width w, const char *begin, const char *end, std::int32_t D, const char **stop,
                           const char **bad);

} // namespace gmm
