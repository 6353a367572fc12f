// Reading a model by its keywords rather than its line positions.
//
// A text model definition is a sequence of symbols: keywords in angle
// brackets (in any case, with or without white space before them), macro
// markers "~x name", quoted strings and numbers, separated by any white
// space; line breaks mean nothing.  This reader takes the one HMM of a file
// whose single emitting state holds a diagonal-covariance mixture:
//
//   ~o <STREAMINFO> 1 D <VECSIZE> D <NULLD> <kind> <DIAGC>     optional
//   ~h "name"                                                  optional
//   <BEGINHMM> [options] <NUMSTATES> 3 <STATE> 2
//     [<NUMMIXES> M] [<SWEIGHTS> 1 w] [<STREAM> 1]
//     for each component: [<MIXTURE> k weight]
//       (<MEAN> D values | ~u "name") (<VARIANCE> D values | ~v "name")
//       [<GCONST> g]                      or the component as ~m "name"
//                                         or the whole state as ~s "name"
//     (<TRANSP> 3 values | ~t "name") <ENDHMM>
//
// and macro definitions (~o ~s ~m ~u ~v ~t ~i ~c ~x ~w ~d) before or after
// it, used where the model refers to them.  D comes from <VECSIZE>, else
// <STREAMINFO>, else the first <MEAN>; M from <NUMMIXES>, else 1 (a single
// Gaussian, weight 1).  Every value must be wholly a number, read as strtod
// reads it.  What is not one such model is refused with its line and the
// reason: several HMMs, states or streams, full covariances, a macro the
// file does not define, a missing component, a count other than D.  A file
// in the positional layout gives the values the positional reader gives.
//
// Binary storage is read too, whole or in parts: a keyword ':' and a code
// byte, then its counts as 16-bit integers and its values as 32-bit floats
// (each widened to the double it is), in the byte order, big-endian or
// little-endian, in which the file is one model; a file that is one model
// both ways is refused.
#pragma once

#include <cstdint>

#include "line_reader.h"
#include "model_io.h"

namespace gmm {

struct model_set;

// D and M of the model, read by keywords as far as they are known.
// With a set, the model may use the set's definitions (model_set.h).
read_result read_keyword_header(line_reader *in, model_header *out, const model_set *set = nullptr);

// Reads the model by keywords: its means into mu, and its variances into
// sigma and its weights into w where those are given (variances otherwise
// checked, not converted).  The model's own D and M must be D and M.
// With `where`, the line of each weight and variance (that of its macro's
// definition for one a macro gives) goes into *where; a single Gaussian's
// weight of 1, which no file gives, has none.
read_result read_by_keywords(std::int32_t D, std::int32_t M, line_reader *in, double **mu, double **sigma,
                             double *w, const value_lines *where = nullptr, const model_set *set = nullptr);

// The same, each value kept as the text "%le" prints for it.
read_result read_by_keywords(std::int32_t D, std::int32_t M, line_reader *in, le_text **mu, le_text **sigma,
                             le_text *w, const model_set *set = nullptr);

} // namespace gmm
