// Models kept as a set: files of many HMMs and shared macros, loaded in
// order, whose every definition is visible to every model read after.
//
// Loading a file reads it through once by keywords and keeps, for each
// definition (~o, ~h, ~s, ~m, ~u, ~v, ~t, ...), its type, name and place;
// no value is kept.  A model of the set is read later from its place, by
// any thread: the set's files stay open and each read says where it reads.
// A macro a model refers to and its own file does not define is read from
// its place in the set.  A name defined twice for one type, in one file or
// in two, is refused.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model_io.h"

namespace gmm {

struct le_text;

struct set_file {
    std::string path;
    std::FILE *stream; // opened by the caller, read at places, never moved
    bool little;       // its binary numbers are little-endian
};

// One definition: "~type name" (the options' name is empty), read from
// byte `at` of file `file`, which lies on line `line`.
struct set_definition {
    char type;
    std::int32_t file;
    std::int64_t at;
    std::int64_t line;
    std::int64_t piece; // where the line's piece that holds `at` starts
    std::string name;
};

// Looks a name up without making a string of it.
struct name_hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

struct model_set {
    std::vector<set_file> files;
    std::vector<set_definition> definitions; // in load order
    std::vector<std::size_t> options;        // the ~o definitions among them
    std::unordered_map<std::string, std::size_t, name_hash, std::equal_to<>> named; // type letter + name
};

// Adds the opened `stream`, named `path`, to the set: its definitions are
// indexed and the stream kept (the caller closes it after the set's last
// use).  A stream that cannot be read at places (a pipe) is refused; so is
// a file that is not model definitions, or one that defines again a name
// the set holds.  The fault's file is the set's last.
read_result load_set_file(model_set *set, const char *path, std::FILE *stream, char *chunk);

// Opens and loads the files at `paths`, in order, with `chunk` as read
// storage: empty where all are loaded, else the message (newline included)
// of the first that is not, of a file that cannot be opened or read or that
// cannot be a set's.
std::string load_set_files(model_set *set, const std::vector<const char *> &paths, char *chunk);

// Closes the set's files.
void close_set(model_set *set);

// The definition of `type` named `name`, or null (also for a null set).
// Throws nothing.
const set_definition *set_lookup(const model_set *set, char type, std::string_view name);

// The HMM a list line or argument names, where the set defines one.
inline const set_definition *set_hmm(const model_set *set, std::string_view name)
{
    return set_lookup(set, 'h', name);
}

// D and M of the set's HMM `h`, read as read_keyword_header reads a file.
read_result read_set_header(const model_set &set, const set_definition &h, char *chunk, model_header *out);

// Reads the set's HMM `h` as read_by_keywords reads a file; a fault's
// result names the set's file at fault.
read_result read_set_model(const model_set &set, const set_definition &h, char *chunk, std::int32_t D,
                           std::int32_t M, double **mu, double **sigma, double *w,
                           const value_lines *where = nullptr);
read_result read_set_model(const model_set &set, const set_definition &h, char *chunk, std::int32_t D,
                           std::int32_t M, le_text **mu, le_text **sigma, le_text *w);

// The file that holds the model `name`: the set's file that defines an HMM
// of that name, or the file of that name.
inline const char *file_of_model(const model_set *set, const char *name)
{
    const set_definition *h = set_hmm(set, name);
    return h != nullptr ? set->files[static_cast<std::size_t>(h->file)].path.c_str() : name;
}

// The path of the file a result is about: the set's file it names, or
// `path`.
inline const char *fault_path(const read_result &r, const model_set *set, const char *path)
{
    return r.file >= 0 && set != nullptr ? set->files[static_cast<std::size_t>(r.file)].path.c_str() : path;
}

} // namespace gmm
