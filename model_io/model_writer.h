// Writing a Gaussian mixture model as a text model file, in the layout the
// readers take by line position (model_io.h):
//
//   ~o
//   <STREAMINFO> 1 D
//   <VECSIZE> D<NULLD><KIND><DIAGC>
//   ~h "NAME"
//   <BEGINHMM>
//   <NUMSTATES> 3
//   <STATE> 2
//   <NUMMIXES> M
//   <MIXTURE> k+1 weight          six lines a component k = 0 .. M-1
//   <MEAN> D
//    mean ... (D values)
//   <VARIANCE> D
//    variance ... (D values)
//   <GCONST> D log(2 pi) + sum of log(variance)
//   <TRANSP> 3 and its three rows, <ENDHMM>
//
// Every number is printed as "%le" prints it, each value after one space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace gmm {

// Where a model's text goes, a piece at a time: put() is false where the
// piece could not be written, and nothing more is then put.
struct text_sink {
    bool (*put)(void *to, const char *bytes, std::size_t n);
    void *to;
};

// Writes the model of M components over D dimensions (means and variances
// row-major, M x D; weights M) named `name`, with parameter kind `kind`
// (MFCC_E_D_A, USER, ...), to `out`.  False where a write failed.
bool write_model_text(const text_sink &out, const char *name, const char *kind, std::int32_t M, std::int32_t D,
                      const double *mu, const double *sigma, const double *w);

// The same, to the stream `f`.
bool write_model_text(std::FILE *f, const char *name, const char *kind, std::int32_t M, std::int32_t D,
                      const double *mu, const double *sigma, const double *w);

// The most a count of binary storage holds: D and M of a binary model are
// at most this.
constexpr std::int32_t max_binary_count = 32767;

// The same model in binary storage, as the keyword reader takes it: the
// layout above with each keyword that has a binary code as ':' and its
// code, each count a 16-bit integer and each value a 32-bit float (the
// double rounded to the nearest), big-endian or, `little`, little-endian.
// The parameter and covariance kinds and the macro headers stay text.  The
// Gaussian constants are those of the variances as stored.
bool write_model_binary(const text_sink &out, bool little, const char *name, const char *kind, std::int32_t M,
                        std::int32_t D, const double *mu, const double *sigma, const double *w);
bool write_model_binary(std::FILE *f, bool little, const char *name, const char *kind, std::int32_t M,
                        std::int32_t D, const double *mu, const double *sigma, const double *w);

// The length, newline aside, of the longest values line write_model_text
// writes for these means and variances: a reader takes at most 9,998
// characters a line.
std::size_t longest_values_line(std::int32_t M, std::int32_t D, const double *mu, const double *sigma);

} // namespace gmm
