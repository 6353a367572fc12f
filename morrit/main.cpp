// morrit: writes the parameters of one model to three text files.
//
//   morrit MODEL MU_OUT SIGMA_OUT W_OUT
//
// MU_OUT and SIGMA_OUT receive the component means and variances as text
// matrices with one line per dimension and one column per component; W_OUT
// receives the mixture weights on one line.  The model is read whole and
// closed before any output is opened, so an output may replace the model
// itself, and a run that fails while reading the model creates no file.
// Every failure is reported on standard error with exit status 1.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "model_io.h"
#include "text_writer.h"

using namespace gmm;

namespace {

char model_chunk[chunk_bytes + 1];

// Storage for the run, obtained once and held until the process ends.
component_matrix mu, sigma;
double *w;

int fail(const std::string &message)
{
    std::fputs(message.c_str(), stderr);
    return 1;
}

std::string write_fault(write_status s, const char *path)
{
    if (s == write_status::open_failed)
        return std::string(path) + ": File open error!\n";
    if (s == write_status::write_failed)
        return std::string(path) + ": File write error!\n";
    return {};
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "Usage: $ %s (GMM file) (mu_out) (sigma_out) (w_out)\n", argv[0]);
        return 1;
    }
    const char *model_path = argv[1];

    std::FILE *in = std::fopen(model_path, "r");
    if (in == nullptr)
        return fail("File open error!\n");
    line_reader lines;
    start_lines(&lines, in, model_chunk);
    model_header h;
    read_result r = read_model_header(&lines, &h);
    if (r.fault != read_fault::none)
        return fail(read_fault_message(r, model_path));
    const std::int32_t D = h.vector_size;
    const std::int32_t M = h.mixture_count;

    // The model is read again from its start; one that cannot be (a pipe)
    // would be read from the wrong line.
    if (std::fseek(in, 0, SEEK_SET) != 0)
        return fail(std::string(model_path) + ": File read error!\n");
    start_lines(&lines, in, model_chunk);

    if (!alloc_component_matrix(M, D, &mu) || !alloc_component_matrix(M, D, &sigma))
        return fail("Error: Memory allocation for mu / sigma failed\n");
    w = static_cast<double *>(std::malloc(static_cast<std::size_t>(M) * sizeof(double)));
    if (w == nullptr)
        return fail("Error: Memory allocation for mu / sigma failed\n");

    r = read_mu_sigma_w(D, M, &lines, mu.rows, sigma.rows, w);
    std::fclose(in);
    if (r.fault != read_fault::none)
        return fail(read_fault_message(r, model_path));

    // Each output is complete and closed before the next one is opened.
    std::string fault = write_fault(write_array(mu.rows, M, D, argv[2]), argv[2]);
    if (fault.empty())
        fault = write_fault(write_array(sigma.rows, M, D, argv[3]), argv[3]);
    if (fault.empty())
        fault = write_fault(write_vector(w, M, argv[4]), argv[4]);
    if (!fault.empty())
        return fail(fault);
    return 0;
}
