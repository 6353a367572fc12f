// morrit: writes the parameters of one model to three text files.
//
//   morrit [options] MODEL MU_OUT SIGMA_OUT W_OUT
//
// MU_OUT and SIGMA_OUT receive the component means and variances as text
// matrices with one line per dimension and one column per component; W_OUT
// receives the mixture weights on one line.  The model is read whole and
// closed before any output is opened, so an output may replace the model
// itself, and a run that fails while reading the model creates no file.
// With -H, MODEL may name an HMM of the loaded set (the set's files are
// closed before any output is opened, too).
// Every failure is reported on standard error with exit status 1.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli.h"
#include "messages.h"
#include "model_io.h"
#include "model_set.h"
#include "text_writer.h"

using namespace gmm;

namespace {

enum { opt_check = 1, opt_keywords, opt_set = 'H' };

const ::option options[] = {
    {"mmf", required_argument, nullptr, opt_set},
    {"check", no_argument, nullptr, opt_check},
    {"keywords", no_argument, nullptr, opt_keywords},
    help_option,
    version_option,
    end_of_options,
};

const program_info morrit = {
    "morrit",
    "(GMM file) (mu_out) (sigma_out) (w_out)",
    "Write the parameters of a Gaussian mixture model as text: its means and\n"
    "its variances as matrices of one line per dimension and one column per\n"
    "component, its weights on one line, every value as \"%le\" prints it.\n"
    "\n"
    "Arguments:\n"
    "  GMM file          the model; it is read and closed before any output is\n"
    "                    opened, so an output may replace it\n"
    "  mu_out            the means, created or replaced\n"
    "  sigma_out         the variances, created or replaced\n"
    "  w_out             the weights, created or replaced\n"
    "\n"
    "Options (only in a call that is not exactly the four file arguments;\n"
    "\"--\" ends them):\n"
    "      --check       refuse a model whose lines are not the layout's keywords\n"
    "                    and counts, or that is not text\n"
    "      --keywords    read the model by its keywords rather than its line\n"
    "                    positions: any layout of one HMM with one\n"
    "                    diagonal-covariance mixture, macros included, in text\n"
    "                    or binary storage (either byte order)\n"
    "  -H, --mmf=FILE    load FILE, a set of models and macros, before the model\n"
    "                    (repeatable, in order; implies --keywords): GMM file\n"
    "                    may then name an HMM of the set (~h \"name\"), and the\n"
    "                    model may use the set's macros\n"
    "  -h, --help        show this help and exit\n"
    "      --version     show the version and exit\n",
    4,
    "H:h",
    options,
};

// Storage for the run, obtained once and held until the process ends: the
// means, the variances and the weights, each value kept as the text it is
// printed as.
text_matrix mu, sigma;
le_text *w;
model_set set; // the models and macros -H loads

std::string write_fault(write_status s, const char *path)
{
    if (s == write_status::open_failed)
        return open_error(path);
    if (s == write_status::write_failed)
        return write_error(path);
    return {};
}

} // namespace

int main(int argc, char **argv)
{
    report_failed_writes();
    const command_line cl = read_command_line(argc, argv, morrit);
    if (const int status = answer_without_running(cl, argv[0], morrit); status >= 0)
        return status;
    if (const std::string refused = scan_setting_error(argv[0]); !refused.empty())
        return fail(refused);
    const char *model_path = cl.files[0];
    const std::vector<const char *> set_files = values_of(cl, opt_set);
    const read_rule rule = cl.value[opt_keywords] != nullptr || !set_files.empty() ? read_rule::keywords
                           : cl.value[opt_check] != nullptr  ? read_rule::checked
                                                             : read_rule::positions;
    static char model_chunk[chunk_storage];

    // The set is loaded first; the model is one of its HMMs or a file.
    if (const std::string refused = load_set_files(&set, set_files, model_chunk); !refused.empty())
        return fail(refused);
    const set_definition *hmm = set_hmm(&set, model_path);
    std::FILE *in = nullptr;
    line_reader lines;
    model_header h;
    read_result r;
    if (hmm != nullptr) {
        r = read_set_header(set, *hmm, model_chunk, &h);
    } else {
        in = std::fopen(model_path, "r");
        if (in == nullptr)
            return fail(open_error_text);
        start_lines(&lines, in, model_chunk);
        r = read_model_header(&lines, &h, rule, &set);
    }
    if (r.fault != read_fault::none)
        return fail(read_fault_message(r, fault_path(r, &set, model_path)));
    const std::int32_t D = h.vector_size;
    const std::int32_t M = h.mixture_count;

    // The model is read again from its start; one that cannot be (a pipe)
    // would be read from the wrong line.
    if (in != nullptr && !restart_lines(&lines))
        return fail(read_error(model_path));

    if (!alloc_text_matrix(M, D, &mu) || !alloc_text_matrix(M, D, &sigma))
        return fail(no_storage_text);
    w = static_cast<le_text *>(std::malloc(static_cast<std::size_t>(M) * sizeof(le_text)));
    if (w == nullptr)
        return fail(no_storage_text);

    if (hmm != nullptr) {
        r = read_set_model(set, *hmm, model_chunk, D, M, mu.rows, sigma.rows, w);
    } else {
        r = read_mu_sigma_w_text(D, M, &lines, mu.rows, sigma.rows, w, rule, &set);
        std::fclose(in);
    }
    close_set(&set);
    if (r.fault != read_fault::none)
        return fail(read_fault_message(r, fault_path(r, &set, model_path)));

    // Each output is complete and closed before the next one is opened.
    std::string fault = write_fault(write_array(mu.rows, M, D, cl.files[1]), cl.files[1]);
    if (fault.empty())
        fault = write_fault(write_array(sigma.rows, M, D, cl.files[2]), cl.files[2]);
    if (fault.empty())
        fault = write_fault(write_vector(w, M, cl.files[3]), cl.files[3]);
    if (!fault.empty())
        return fail(fault);
    return 0;
}
