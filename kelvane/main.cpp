// kelvane: writes the mean supervectors of a list of adapted models.
//
//   kelvane UBM LIST OUT
//
// LIST names one model file per line.  For each listed model, in list order,
// OUT receives the model's component means minus the UBM's: M components of
// D values each, as raw little-endian doubles, with no header and nothing
// between records.  D and M come from the header of the first listed model
// and are applied to the UBM and to every other model.  Blank list lines name
// no model and are skipped.
//
// OUT is opened only once the UBM has been read, so a run that fails before
// that leaves an existing OUT as it was.  Every failure is reported on
// standard error with exit status 1.
#include <cstdio>
#include <cstring>

#include "model_io.h"

using namespace gmm;

namespace {

char list_chunk[chunk_bytes + 1];
char model_chunk[chunk_bytes + 1];
char path[max_line_bytes + 1];
char out_buffer[std::size_t{1} << 20];

// Storage for the run, obtained once and held until the process ends.
component_matrix ubm_mu, ubm_sigma, mu, sigma;

// The path a list line names: everything before its newline (or a NUL),
// copied into `path`.  False for a line that holds nothing else.
bool list_path(const text_line &l)
{
    std::size_t n = 0;
    for (const char *p = l.begin; p < l.end && *p != '\n' && *p != '\0'; ++p)
        path[n++] = *p;
    path[n] = '\0';
    return n > 0;
}

int fail(const std::string &message)
{
    std::fputs(message.c_str(), stderr);
    return 1;
}

// Opens and reads one model; on failure returns its message.
std::string read_model(const char *file, std::int32_t D, std::int32_t M, double **mu, double **sigma)
{
    std::FILE *in = std::fopen(file, "r");
    if (in == nullptr)
        return std::string(file) + ": File open error!\n";
    line_reader lines;
    start_lines(&lines, in, model_chunk);
    read_result r = read_mu_sigma(D, M, &lines, mu, sigma);
    std::fclose(in);
    return read_fault_message(r, file);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "Usage: $ %s (UBM file) (GMM list) (outfile)\n", argv[0]);
        return 1;
    }
    const char *ubm_path = argv[1];
    const char *list_file = argv[2];
    const char *out_path = argv[3];

    // The first listed model gives D and M.
    std::FILE *list = std::fopen(list_file, "r");
    if (list == nullptr)
        return fail("File open error!\n");
    line_reader items;
    start_lines(&items, list, list_chunk);
    text_line l;
    line_status st = next_line(&items, &l);
    if (st == line_status::error)
        return fail(std::string(list_file) + ": File read error!\n");
    if (st == line_status::end || !list_path(l))
        return fail("File open error!\n");
    std::FILE *first = std::fopen(path, "r");
    if (first == nullptr)
        return fail("File open error!\n");
    line_reader probe;
    start_lines(&probe, first, model_chunk);
    model_header h;
    read_result r = read_model_header(&probe, &h);
    std::fclose(first);
    if (r.fault != read_fault::none)
        return fail(read_fault_message(r, path));
    const std::int32_t D = h.vector_size;
    const std::int32_t M = h.mixture_count;

    // The list is read again from its start; one that cannot be (a pipe)
    // would lose its first models.
    if (std::fseek(list, 0, SEEK_SET) != 0)
        return fail(std::string(list_file) + ": File read error!\n");
    start_lines(&items, list, list_chunk);

    if (!alloc_component_matrix(M, D, &ubm_mu) || !alloc_component_matrix(M, D, &ubm_sigma) ||
        !alloc_component_matrix(M, D, &mu) || !alloc_component_matrix(M, D, &sigma))
        return fail("Error: Memory allocation for mu / sigma failed\n");

    // The UBM is read before the output is opened: a bad UBM costs no file.
    std::string fault = read_model(ubm_path, D, M, ubm_mu.rows, ubm_sigma.rows);
    if (!fault.empty())
        return fail(fault);

    std::FILE *out = std::fopen(out_path, "wb");
    if (out == nullptr)
        return fail(std::string(out_path) + ": File open error!\n");
    const std::string write_error = std::string(out_path) + ": File write error!\n";
    // Records go out in large writes: one row is a few hundred bytes.
    std::setvbuf(out, out_buffer, _IOFBF, sizeof out_buffer);

    // One record per model: the mean differences, one raw write per
    // component.  The records written before a failure stay in the output.
    for (;;) {
        st = next_line(&items, &l);
        if (st == line_status::end)
            break;
        if (st == line_status::error)
            return fail(std::string(list_file) + ": File read error!\n");
        if (!list_path(l))
            continue;
        fault = read_model(path, D, M, mu.rows, sigma.rows);
        if (!fault.empty())
            return fail(fault);
        for (std::int32_t i = 0; i < M; ++i) {
            double *row = mu.rows[i];
            const double *base = ubm_mu.rows[i];
            for (std::int32_t j = 0; j < D; ++j)
                row[j] -= base[j];
            if (std::fwrite(row, sizeof(double), static_cast<std::size_t>(D), out) !=
                static_cast<std::size_t>(D))
                return fail(write_error);
        }
    }
    if (std::fclose(out) != 0)
        return fail(write_error);
    return 0;
}
