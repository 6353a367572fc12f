// Reading Gaussian mixture models from text model files.
//
// A model file holds one HMM with a single emitting state whose output is a
// diagonal-covariance mixture of M components over D dimensions.  The file
// is read by line position alone (lines numbered from 1):
//
//   1, 2         global options, stream description     (not read)
//   3            vector size line: D is its 2nd token    (separator: space)
//   4 to 7       model name, begin marker, states, state (not read)
//   8            mixture count line: M is its 2nd token  (space, newline)
//   9 + 6k       component k: keyword, number, weight    (weight: 3rd token)
//   10 + 6k      mean header                             (not read)
//   11 + 6k      the D means of component k
//   12 + 6k      variance header                         (not read)
//   13 + 6k      the D variances of component k
//   14 + 6k      the component's Gaussian constant       (not read)
//
// Nothing after line 8 + 6M is read.  Keywords are never looked at; tabs and
// carriage returns are ordinary characters, not separators.
#pragma once

#include <cstdint>
#include <string>

#include "line_reader.h"

namespace gmm {

struct model_set;

struct model_header {
    std::int32_t vector_size;   // D: values in each mean and variance row
    std::int32_t mixture_count; // M: mixture components
};

// M rows by D columns of doubles: one contiguous row-major block, reached
// through an array of M row pointers.
struct component_matrix {
    double *block;
    double **rows;
};

// The same, each value kept as the text "%le" prints for it.
struct le_text;
struct text_matrix {
    le_text *block;
    le_text **rows;
};

// What a reader found wrong with a file, and where.
enum class read_fault {
    none,
    read_error,   // the stream failed (a directory, an I/O error)
    bad_header,   // line 3 or 8: missing, fewer than two tokens, value < 1
    short_file,   // the file ends before its last component does
    few_values,   // a means or variances line holds fewer than D numbers
    long_line,    // ... because the line was cut at 9,999 bytes
    no_weight,    // a component line holds fewer than three tokens
    other_vector_size,   // line 3 gives another D than the caller's
    other_mixture_count, // line 8 gives another M than the caller's
    layout,   // checked: a line holds other than the layout has there
    not_text, // checked or by keywords: a binary model definition
    keywords, // by keywords: the file cannot be read as one such model
};

struct read_result {
    read_fault fault;
    std::int64_t line;     // the line at fault (1-based), or lines read in all
    std::int64_t found;    // values found on the line, or the D or M found
    std::int64_t expected; // values expected (D), lines expected (8 + 6M),
                           // or the D or M expected
    char text[96];         // layout, keywords: what is wrong, in words
    std::int32_t file = -1; // read from a model set: the set's file at fault
                            // (model_set.h); -1 for the file read
    int error_number = 0;   // read_error there: the failed read's errno
};

// A fault at `line` that its kind alone describes.
constexpr read_result fault_at(read_fault f, std::int64_t line)
{
    read_result r{};
    r.fault = f;
    r.line = line;
    return r;
}

// Where a model's weights and variances are in its file, for messages
// about their values: the line of the weight of component i at weight[i],
// that of variance j of component i at variance[i][j] (rows in `block`).
struct value_lines {
    std::int64_t *weight;
    std::int64_t **variance;
    std::int64_t *block;
};

// The message that reports `r` for the file at `path`, newline included.
std::string read_fault_message(const read_result &r, const char *path);

// How a model's lines are taken.
enum class read_rule {
    positions, // by position alone; lines 1 to 8 skipped, D and M the caller's
    checked,   // by position, each keyword line checked to be what the
               // layout has there (any case), the counts on lines 3, 8 and
               // of <MEAN> and <VARIANCE> to be D and M, the text to be text
    keywords,  // by keywords, in any layout (keyword_reader.h)
};

// Reads lines 1 to 8 of the model and takes D and M from lines 3 and 8.
// Both must be present and at least 1; the reader stands after line 8.
// Checked, lines 1 to 8 are checked as read_rule::checked says.
// By keywords, the model may use the definitions of a loaded `set`
// (model_set.h), here and in the readers below.
read_result read_model_header(line_reader *in, model_header *out, read_rule rule = read_rule::positions,
                              const model_set *set = nullptr);

// Obtains an M x D matrix.  False when the storage cannot be had or its size
// does not fit in 64 bits; nothing is stored in *out then.
bool alloc_component_matrix(std::int32_t M, std::int32_t D, component_matrix *out);

// The same for an M x D matrix of values kept as text.
bool alloc_text_matrix(std::int32_t M, std::int32_t D, text_matrix *out);

// Gives back a matrix's storage (a programs' matrices live until it ends);
// *m is left empty.
void free_component_matrix(component_matrix *m);

// Obtains the lines of an M x D model's weights and variances; false as
// for alloc_component_matrix.  free_value_lines gives them back.
bool alloc_value_lines(std::int32_t M, std::int32_t D, value_lines *out);
void free_value_lines(value_lines *v);

// Fills the means and variances of components 0 .. M-1 from a model file
// read from its start.  Each values line must hold at least D numbers; the
// first D are stored and any further ones ignored.  D and M must be >= 1.
// With `sigma` null the variances lines are still read and must hold D
// numbers, but none of them is converted.  Lines 1 to 8 are skipped by
// position, or checked to give D and M (and the layout) where checked; by
// keywords, the model's own D and M must be D and M.
read_result read_mu_sigma(std::int32_t D, std::int32_t M, line_reader *in, double **mu, double **sigma,
                          read_rule rule = read_rule::positions, const model_set *set = nullptr);

// The same, and the weight of each component from its component line;
// read by keywords, the lines of the weights and variances into *where,
// where given (by position each value's line is the layout's).
read_result read_mu_sigma_w(std::int32_t D, std::int32_t M, line_reader *in, double **mu, double **sigma,
                            double *w, read_rule rule = read_rule::positions, const value_lines *where = nullptr,
                            const model_set *set = nullptr);

} // namespace gmm

namespace gmm {

// read_mu_sigma_w with every value kept as the text "%le" prints for the
// number read (le_text.h): the same lines read, the same faults found, and
// a token already of that shape copied as it stands, not converted twice.
read_result read_mu_sigma_w_text(std::int32_t D, std::int32_t M, line_reader *in, le_text **mu, le_text **sigma,
                                 le_text *w, read_rule rule = read_rule::positions, const model_set *set = nullptr);

} // namespace gmm
