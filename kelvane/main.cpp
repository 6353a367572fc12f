// kelvane: writes the mean supervectors of a list of adapted models.
//
//   kelvane [options] UBM LIST OUT
//
// LIST names one model file per line.  For each listed model, in list order,
// OUT receives the model's component means minus the UBM's: M components of
// D values each, as raw little-endian doubles, with no header and nothing
// between records (--float32: floats; --npy: after a .npy header).  D and M
// come from the header of the first listed model and are applied to the UBM
// and to every other model.  Blank list lines name no model and are skipped.
// With -H, the UBM and the list's lines may name HMMs of a loaded set of
// models and macros.
//
// OUT is opened only once the UBM has been read, so a run that fails before
// that leaves an existing OUT as it was; an OUT that is one of the inputs is
// refused.  A list run in parts gives each part --sizes-from (the whole
// list's first model) and checks the whole list first with --dry-run.
// Every failure is reported on standard error with exit status 1.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli.h"
#include "messages.h"
#include "model_io.h"
#include "model_set.h"
#include "progress.h"
#include "record_file.h"
#include "supervectors.h"

using namespace gmm;

namespace {

// -j's slot is its letter; the long-only options take the slots below the letters.
enum {
    opt_check = 1, opt_normalize, opt_progress, opt_sizes_from, opt_dry_run, opt_keywords, opt_print_sizes,
    opt_npy, opt_float32, opt_threads = 'j', opt_set = 'H'
};

const ::option options[] = {
    {"threads", required_argument, nullptr, opt_threads},
    {"mmf", required_argument, nullptr, opt_set},
    {"check", no_argument, nullptr, opt_check},
    {"normalize", no_argument, nullptr, opt_normalize},
    {"progress", no_argument, nullptr, opt_progress},
    {"sizes-from", required_argument, nullptr, opt_sizes_from},
    {"dry-run", no_argument, nullptr, opt_dry_run},
    {"keywords", no_argument, nullptr, opt_keywords},
    {"print-sizes", no_argument, nullptr, opt_print_sizes},
    {"npy", no_argument, nullptr, opt_npy},
    {"float32", no_argument, nullptr, opt_float32},
    help_option,
    version_option,
    end_of_options,
};

const program_info kelvane = {
    "kelvane",
    "(UBM file) (GMM list) (outfile)",
    "Write the mean supervectors of a list of Gaussian mixture models: for each\n"
    "model the list names, its component means minus those of the UBM, as raw\n"
    "little-endian doubles, one record per model in list order.\n"
    "\n"
    "Arguments:\n"
    "  UBM file          the universal background model\n"
    "  GMM list          a text file naming one model file per line\n"
    "  outfile           the supervector file, created or replaced\n"
    "\n"
    "Options (only in a call that is not exactly the three file arguments;\n"
    "\"--\" ends them):\n"
    "  -j, --threads=N   read N models at once (0: one per usable CPU; default 1)\n"
    "      --check       refuse a model whose header gives another D or M than\n"
    "                    the first listed model's (the UBM's included), or\n"
    "                    whose lines are not the layout's keywords and counts\n"
    "      --keywords    read every model, the UBM's included, by its keywords\n"
    "                    rather than its line positions: any layout of one HMM\n"
    "                    with one diagonal-covariance mixture, macros included,\n"
    "                    in text or binary storage (either byte order)\n"
    "  -H, --mmf=FILE    load FILE, a set of models and macros, before any model\n"
    "                    (repeatable, in order; implies --keywords): the UBM,\n"
    "                    each list line and --sizes-from may then name an HMM\n"
    "                    of the set (~h \"name\"), and any model may use its\n"
    "                    macros\n"
    "      --normalize   write (m - u) * sqrt(w) / sqrt(v), with the UBM's\n"
    "                    weight w and variance v\n"
    "      --progress    show models done, models per second and time left on\n"
    "                    standard error\n"
    "      --npy         write outfile as a NumPy .npy file: a header that gives\n"
    "                    the dtype and the shape (models, M x D), then the records\n"
    "      --float32     write each value as a float, rounded once from the double\n"
    "      --sizes-from=MODEL  take D and M from MODEL's header, not the first\n"
    "                    listed model's; the list may then start with blank\n"
    "                    lines or be empty (for a list run in parts)\n"
    "      --dry-run     make every check a run makes before its first record\n"
    "                    (the list, the first model, the UBM, an output that is\n"
    "                    an input) and write nothing\n"
    "      --print-sizes as --dry-run, then print \"D M\" on standard output\n"
    "  -h, --help        show this help and exit\n"
    "      --version     show the version and exit\n",
    3,
    "j:H:h",
    options,
};

// Storage for the run, owned by main, obtained once and held until the
// process ends: the UBM's matrices and weights, each worker's scratch, the
// record slots and a record's floats.
component_matrix ubm_mu, ubm_sigma;
double *ubm_w;
value_lines ubm_lines; // read by keywords, where the UBM's weights and variances are
model_set set; // the models and macros -H loads
worker_scratch *scratch;
component_matrix *slots;
float *singles;

// -j's value: a whole number from 0 (one per usable CPU) to max_workers.
bool thread_count(const char *text, int *n)
{
    const std::size_t len = std::strlen(text);
    if (len == 0 || len > 4 || std::strspn(text, "0123456789") != len || std::atoi(text) > max_workers)
        return false;
    *n = std::atoi(text);
    if (*n == 0)
        *n = std::min(usable_cpus(), max_workers);
    return true;
}

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Where the output lands: the file it names, where that is a regular file,
// or, where nothing is there yet, the folder it would be made in and its
// name there.  Any other output (a device, a folder) is no input's file.
struct out_place {
    bool exists;
    struct stat file;
    bool to_be_made;
    struct stat folder;
    const char *name;
};

// The last name of a path: what follows its last '/'.
const char *last_name(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// The folder the last name of `path` is in: "." or "/" where it has no
// other; false where there is none.
bool folder_of(const char *path, struct stat *folder)
{
    const char *name = last_name(path);
    const std::string dir = name == path ? "." : name == path + 1 ? "/" : std::string(path, name - 1);
    return stat(dir.c_str(), folder) == 0 && S_ISDIR(folder->st_mode);
}

out_place place_of(const char *out)
{
    out_place p{};
    p.name = last_name(out);
    if (stat(out, &p.file) == 0)
        p.exists = S_ISREG(p.file.st_mode);
    else if (errno == ENOENT && *p.name != '\0')
        p.to_be_made = folder_of(out, &p.folder);
    return p;
}

// Whether `path` names the output's file, or the one it would make (a
// name of the set's HMMs names no file).
bool names_output(const char *path, const out_place &out, const model_set *set = nullptr)
{
    struct stat st;
    if (set_hmm(set, path) != nullptr)
        return false;
    if (out.exists)
        return stat(path, &st) == 0 && same_file(st, out.file);
    return out.to_be_made && std::strcmp(last_name(path), out.name) == 0 && folder_of(path, &st) &&
           same_file(st, out.folder);
}

// The list walked from where it stands to its end: how many models it
// names and whether one of them is the output.  A path that cannot be
// examined, or a list that cannot be read to its end, is left for the run
// itself to report.
struct list_survey {
    std::int64_t models;
    bool names_out;
};

list_survey survey_list(line_reader *list, char *path, const out_place &out, const model_set *set)
{
    list_survey s = {0, false};
    text_line l;
    while (next_line(list, &l) == line_status::ok) {
        if (!list_path(l, path))
            continue;
        ++s.models;
        s.names_out = s.names_out || names_output(path, out, set);
    }
    return s;
}

} // namespace

int main(int argc, char **argv)
{
    report_failed_writes();
    const command_line cl = read_command_line(argc, argv, kelvane);
    if (const int status = answer_without_running(cl, argv[0], kelvane); status >= 0)
        return status;
    if (const std::string refused = scan_setting_error(argv[0]); !refused.empty())
        return fail(refused);
    int threads = 1;
    if (cl.value[opt_threads] != nullptr && !thread_count(cl.value[opt_threads], &threads))
        return fail(command_line_error(argv[0], kelvane, std::string("bad value '") + cl.value[opt_threads] +
                                                             "' for -j: a whole number from 0 to 1024 expected"));
    const std::vector<const char *> set_files = values_of(cl, opt_set);
    const read_rule header = cl.value[opt_keywords] != nullptr || !set_files.empty() ? read_rule::keywords
                             : cl.value[opt_check] != nullptr  ? read_rule::checked
                                                               : read_rule::positions;
    const bool normalize = cl.value[opt_normalize] != nullptr;
    const bool progress = cl.value[opt_progress] != nullptr;
    const bool float32 = cl.value[opt_float32] != nullptr;
    const char *ubm_file = cl.files[0];
    const char *list_file = cl.files[1];
    const char *out_file = cl.files[2];

    // Storage main reads with; each worker has its own.
    static char list_chunk[chunk_storage], model_chunk[chunk_storage], path[max_line_bytes + 1];
    static char out_buffer[std::size_t{1} << 20];

    // The set is loaded before any model is read.
    if (const std::string refused = load_set_files(&set, set_files, model_chunk); !refused.empty())
        return fail(refused);

    // The first listed model gives D and M, or the model --sizes-from names.
    std::FILE *list = std::fopen(list_file, "r");
    if (list == nullptr)
        return fail(open_error_text);
    line_reader items;
    start_lines(&items, list, list_chunk);
    const char *sizes_from = cl.value[opt_sizes_from];
    if (sizes_from == nullptr) {
        text_line l;
        if (next_line(&items, &l) != line_status::ok || !list_path(l, path))
            return fail(open_error_text);
        sizes_from = path;
    }
    model_header h;
    read_result r;
    if (const set_definition *hmm = set_hmm(&set, sizes_from)) {
        r = read_set_header(set, *hmm, model_chunk, &h);
    } else {
        std::FILE *first = std::fopen(sizes_from, "r");
        if (first == nullptr)
            return fail(open_error_text);
        line_reader probe;
        start_lines(&probe, first, model_chunk);
        r = read_model_header(&probe, &h, header, &set);
        std::fclose(first);
    }
    if (r.fault != read_fault::none)
        return fail(read_fault_message(r, fault_path(r, &set, sizes_from)));
    const std::int32_t D = h.vector_size;
    const std::int32_t M = h.mixture_count;

    // The list is read again from its start; one that cannot be (a pipe)
    // would lose its first models.
    if (!restart_lines(&items))
        return fail(read_error(list_file));

    // Storage for one worker: the UBM's means (and its variances and weights
    // when normalizing), the first worker's scratch and one record slot.
    // Further workers' scratch and slots are obtained when first needed.
    scratch = static_cast<worker_scratch *>(std::calloc(static_cast<std::size_t>(threads), sizeof *scratch));
    slots = static_cast<component_matrix *>(std::calloc(static_cast<std::size_t>(record_slots(threads)), sizeof *slots));
    bool stored = scratch != nullptr && slots != nullptr && alloc_component_matrix(M, D, &ubm_mu);
    if (normalize) {
        ubm_w = static_cast<double *>(std::malloc(static_cast<std::size_t>(M) * sizeof(double)));
        stored = stored && ubm_w != nullptr && alloc_component_matrix(M, D, &ubm_sigma);
        if (header == read_rule::keywords)
            stored = stored && alloc_value_lines(M, D, &ubm_lines);
    }
    stored = stored && alloc_scratch(&scratch[0]) && alloc_component_matrix(M, D, &slots[0]);
    if (float32) {
        const std::size_t values = static_cast<std::size_t>(M) * static_cast<std::size_t>(D);
        singles = static_cast<float *>(std::malloc(values * sizeof(float)));
        stored = stored && singles != nullptr;
    }
    if (!stored)
        return fail(no_storage_text);

    // The UBM is read before the output is opened: a bad UBM costs no file.
    const value_lines *where = ubm_lines.weight != nullptr ? &ubm_lines : nullptr;
    run_fault fault =
        read_model(ubm_file, D, M, header, model_chunk, ubm_mu.rows, ubm_sigma.rows, ubm_w, where, &set);
    if (fault.kind == fault_kind::none && normalize)
        fault = take_roots(file_of_model(&set, ubm_file), D, M, ubm_w, ubm_sigma.rows, where);
    if (fault.kind != fault_kind::none)
        return fail(fault.message);

    // An output that is one of the inputs would destroy it: the list, the
    // UBM or a listed model, through any link, and also a listed model that
    // the output would create.
    const out_place place = place_of(out_file);
    const list_survey survey = survey_list(&items, path, place, &set);
    if (!restart_lines(&items))
        return fail(read_error(list_file));
    struct stat st;
    if (survey.names_out || names_output(ubm_file, place, &set) || names_output(sizes_from, place, &set) ||
        std::any_of(set_files.begin(), set_files.end(), [&](const char *f) { return names_output(f, place); }) ||
        (place.exists && fstat(fileno(list), &st) == 0 && same_file(st, place.file)))
        return fail(file_message(out_file, "input file is output file"));
    if (cl.value[opt_print_sizes] != nullptr)
        return std::printf("%d %d\n", D, M) < 0 || std::fflush(stdout) != 0 ? fail(write_error("standard output")) : 0;
    if (cl.value[opt_dry_run] != nullptr)
        return 0;

    // The output is opened, then one record written per model; the records
    // written before a failure stay.
    progress_meter meter;
    if (progress)
        start_progress(&meter, stderr, survey.models);
    record_file out = {out_file, out_buffer, sizeof out_buffer, static_cast<std::size_t>(M) * static_cast<std::size_t>(D),
                       progress ? &meter : nullptr, singles, cl.value[opt_npy] != nullptr ? survey.models : -1, nullptr};
    fault = open_record_file(&out);
    if (fault.kind == fault_kind::none) {
        const extraction x = {D, M, header, ubm_mu.rows, ubm_w, normalize ? ubm_sigma.rows : nullptr, nullptr, &set};
        const model_source listed = {next_listed, &items, list_file};
        fault = make_records(x, listed, file_sink(&out), scratch, threads, slots);
    }
    if (progress)
        finish_progress(&meter);
    // A failure with no message: storage ran out even for one.
    if (fault.kind != fault_kind::none)
        return fault.message.empty() ? fail(no_storage_text) : fail(fault.message);
    if (std::fclose(out.stream) != 0)
        return fail(write_error(out_file));
    return 0;
}
