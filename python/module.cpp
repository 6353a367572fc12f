// gmmtools._gmmtools: the model reader and the supervector workers as
// numpy arrays.  Every value is read by the same code as the programs', so
// an array holds bit for bit what the programs write.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "model_io.h"
#include "supervectors.h"

namespace py = pybind11;
using namespace gmm;

namespace {

// A path as the C library takes it (os.fsencode(os.fspath(p))), and as
// Python gave it (os.fspath(p)) for the errors that name it.
struct given_path {
    std::string bytes;
    py::object as_given;
};

given_path take_path(py::handle p)
{
    py::module_ os = py::module_::import("os");
    py::object given = os.attr("fspath")(p);
    std::string bytes = os.attr("fsencode")(given).cast<std::string>();
    if (bytes.find('\0') != std::string::npos)
        throw py::value_error("embedded null byte");
    return {std::move(bytes), given};
}

// Raises `f`, a failure about the file `path`, as Python's exception.
[[noreturn]] void raise_fault(const run_fault &f, const py::object &path)
{
    std::string text = f.message;
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    py::object error;
    switch (f.kind) {
    case fault_kind::storage:
        throw std::bad_alloc();
    case fault_kind::open:
    case fault_kind::read:
    case fault_kind::write:
        // OSError(errno, strerror, filename) is the subclass for errno.
        if (f.error_number != 0)
            error = py::reinterpret_borrow<py::object>(PyExc_OSError)(f.error_number,
                                                                     std::strerror(f.error_number), path);
        else
            error = py::reinterpret_borrow<py::object>(PyExc_OSError)(text);
        break;
    default:
        error = py::module_::import("gmmtools._gmmtools").attr("ModelError")(text);
        error.attr("path") = path;
        error.attr("line") = f.line > 0 ? py::object(py::int_(f.line)) : py::object(py::none());
        break;
    }
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

[[noreturn]] void raise_errno(int error, const py::object &path)
{
    raise_fault({fault_kind::open, error, 0, -1, {}}, path);
}

// A model file opened for reading lines, closed when it goes.
struct open_model_file {
    std::FILE *stream = nullptr;
    std::vector<char> chunk = std::vector<char>(chunk_bytes + 1);
    line_reader lines;
    ~open_model_file()
    {
        if (stream != nullptr)
            std::fclose(stream);
    }
};

// Opens `p` for reading lines.
void open_lines(const given_path &p, open_model_file *f)
{
    f->stream = std::fopen(p.bytes.c_str(), "r");
    if (f->stream == nullptr)
        raise_errno(errno, p.as_given);
    start_lines(&f->lines, f->stream, f->chunk.data());
}

// Opens `p` and reads its header (D and M, from lines 3 and 8).
void read_header(const given_path &p, open_model_file *f, model_header *h)
{
    open_lines(p, f);
    read_result r;
    {
        py::gil_scoped_release unlocked;
        r = read_model_header(&f->lines, h);
    }
    if (r.fault != read_fault::none)
        raise_fault(reading_fault(r, f->lines, p.bytes.c_str()), p.as_given);
}

// Row pointers into a C-contiguous (rows, columns) array of doubles.
std::vector<double *> row_pointers(py::array_t<double> &a, std::int64_t rows, std::int64_t columns)
{
    std::vector<double *> r(static_cast<std::size_t>(rows));
    double *data = a.mutable_data();
    for (std::int64_t i = 0; i < rows; ++i)
        r[static_cast<std::size_t>(i)] = data + i * columns;
    return r;
}

// Storage for `rows` x `columns` doubles: more than can be addressed is
// storage that cannot be had, as for the programs.
void check_size(std::int64_t rows, std::int64_t columns)
{
    if (columns > static_cast<std::int64_t>(PTRDIFF_MAX / sizeof(double)) / rows)
        throw std::bad_alloc();
}

struct model {
    py::array_t<double> means, variances, weights;
};

model read_model_py(py::handle path)
{
    const given_path p = take_path(path);
    open_model_file f;
    model_header h;
    read_header(p, &f, &h);
    const std::int64_t D = h.vector_size, M = h.mixture_count;
    // The model is read again from its start; one that cannot be (a pipe)
    // would be read from the wrong line.
    if (!restart_lines(&f.lines))
        raise_errno(errno, p.as_given);
    check_size(M, D);
    model m = {py::array_t<double>({M, D}), py::array_t<double>({M, D}), py::array_t<double>(M)};
    std::vector<double *> mu = row_pointers(m.means, M, D), sigma = row_pointers(m.variances, M, D);
    double *w = m.weights.mutable_data();
    read_result r;
    {
        py::gil_scoped_release unlocked;
        r = read_mu_sigma_w(h.vector_size, h.mixture_count, &f.lines, mu.data(), sigma.data(), w);
    }
    if (r.fault != read_fault::none)
        raise_fault(reading_fault(r, f.lines, p.bytes.c_str()), p.as_given);
    return m;
}

py::list read_list_py(py::handle path)
{
    const given_path p = take_path(path);
    open_model_file f;
    open_lines(p, &f);
    std::vector<char> buffer(max_line_bytes + 1);
    py::list paths;
    for (;;) {
        const char *model_path;
        const line_status st = next_listed(&f.lines, buffer.data(), &model_path);
        if (st == line_status::end)
            return paths;
        if (st == line_status::error)
            raise_errno(f.lines.error_number, p.as_given);
        PyObject *s = PyUnicode_DecodeFSDefault(model_path);
        if (s == nullptr)
            throw py::error_already_set();
        paths.append(py::reinterpret_steal<py::object>(s));
    }
}

// The storage of a supervector run, given back when the call ends.
struct run_storage {
    component_matrix ubm_mu{}, ubm_sigma{};
    std::vector<double> ubm_w;
    std::vector<worker_scratch> scratch;
    std::vector<component_matrix> slots;
    ~run_storage()
    {
        free_component_matrix(&ubm_mu);
        free_component_matrix(&ubm_sigma);
        for (worker_scratch &w : scratch)
            free_scratch(&w);
        for (component_matrix &m : slots)
            free_component_matrix(&m);
    }
};

// The models of a call, in order.
struct path_list {
    const std::vector<given_path> *paths;
    std::size_t next;
};

line_status next_given(void *from, char *, const char **path)
{
    path_list *l = static_cast<path_list *>(from);
    if (l->next == l->paths->size())
        return line_status::end;
    *path = (*l->paths)[l->next++].bytes.c_str();
    return line_status::ok;
}

// The rows of an array, each record copied into the row of its model.
struct array_rows {
    double *data;
    std::size_t values; // M x D
    std::atomic<std::int64_t> done{0};
};

run_fault put_row(void *to, std::int64_t item, const double *record)
{
    array_rows *a = static_cast<array_rows *>(to);
    std::memcpy(a->data + static_cast<std::size_t>(item) * a->values, record, a->values * sizeof(double));
    a->done.store(item + 1, std::memory_order_relaxed);
    return {};
}

// `out` checked against what the run writes; a ValueError names what is
// wrong.
void check_out(const py::object &out, std::int64_t rows, std::int64_t columns)
{
    if (!py::isinstance<py::array>(out))
        throw py::value_error("out must be a numpy.ndarray");
    py::array a = py::reinterpret_borrow<py::array>(out);
    const py::dtype dt = a.dtype();
    if (dt.kind() != 'f' || dt.itemsize() != 8)
        throw py::value_error("out must have dtype float64, not " + py::str(py::handle(dt)).cast<std::string>());
    if (!dt.equal(py::dtype::of<double>()))
        throw py::value_error("out must be in the machine's byte order");
    if (a.ndim() != 2 || a.shape(0) != rows || a.shape(1) != columns)
        throw py::value_error("out must have shape (" + std::to_string(rows) + ", " + std::to_string(columns) +
                              "), not " + py::str(out.attr("shape")).cast<std::string>());
    if (!(a.flags() & py::array::c_style))
        throw py::value_error("out must be C-contiguous");
    if (!a.writeable())
        throw py::value_error("out must be writeable");
}

py::object supervectors_py(py::handle ubm, py::sequence models, int threads, bool normalize, bool check,
                           py::object out, py::object progress)
{
    if (threads < 0 || threads > max_workers)
        throw py::value_error("threads must be a whole number from 0 to " + std::to_string(max_workers));
    const int n = threads == 0 ? std::min(usable_cpus(), max_workers) : threads;
    const given_path ubm_path = take_path(ubm);
    if (py::isinstance<py::str>(models) || py::isinstance<py::bytes>(models))
        throw py::type_error("models must be a sequence of paths, not one path");
    std::vector<given_path> paths;
    for (py::handle m : models)
        paths.push_back(take_path(m));
    if (paths.empty())
        throw py::value_error("models is empty");
    if (!progress.is_none() && !PyCallable_Check(progress.ptr()))
        throw py::type_error("progress must be callable");

    // The first model gives D and M.
    model_header h;
    {
        open_model_file first;
        read_header(paths[0], &first, &h);
    }
    const std::int32_t D = h.vector_size, M = h.mixture_count;
    const std::int64_t L = static_cast<std::int64_t>(paths.size());
    const std::int64_t values = static_cast<std::int64_t>(M) * D;
    if (out.is_none()) {
        check_size(L, values);
        out = py::array_t<double>({L, values});
    }
    else
        check_out(out, L, values);

    run_storage s;
    s.scratch.resize(static_cast<std::size_t>(n));
    s.slots.resize(static_cast<std::size_t>(record_slots(n)));
    bool stored = alloc_component_matrix(M, D, &s.ubm_mu) && alloc_scratch(&s.scratch[0]) &&
                  alloc_component_matrix(M, D, &s.slots[0]);
    if (normalize) {
        s.ubm_w.resize(static_cast<std::size_t>(M));
        stored = stored && alloc_component_matrix(M, D, &s.ubm_sigma);
    }
    if (!stored)
        throw std::bad_alloc();

    const header_rule header = check ? header_rule::match : header_rule::skip;
    run_fault fault;
    {
        py::gil_scoped_release unlocked;
        fault = read_model(ubm_path.bytes.c_str(), D, M, header, s.scratch[0].chunk, s.ubm_mu.rows,
                           s.ubm_sigma.rows, normalize ? s.ubm_w.data() : nullptr);
        if (fault.kind == fault_kind::none && normalize)
            fault = take_roots(ubm_path.bytes.c_str(), D, M, s.ubm_w.data(), s.ubm_sigma.rows);
    }
    if (fault.kind != fault_kind::none)
        raise_fault(fault, ubm_path.as_given);

    // The workers run on a thread of their own; this one watches for
    // Ctrl-C and reports progress while they do.
    std::atomic<bool> stop{false};
    const extraction x = {D, M, header, s.ubm_mu.rows, normalize ? s.ubm_w.data() : nullptr,
                          normalize ? s.ubm_sigma.rows : nullptr, &stop};
    path_list listed = {&paths, 0};
    const model_source source = {next_given, &listed, nullptr};
    array_rows rows;
    rows.data = static_cast<double *>(py::reinterpret_borrow<py::array>(out).mutable_data());
    rows.values = static_cast<std::size_t>(values);
    const record_sink sink = {nullptr, put_row, &rows};

    std::mutex lock;
    std::condition_variable ended;
    bool finished = false;
    auto run = [&] {
        run_fault f = make_records(x, source, sink, s.scratch.data(), n, s.slots.data());
        std::lock_guard<std::mutex> g(lock);
        fault = std::move(f);
        finished = true;
        ended.notify_all();
    };
    std::thread runner;
    {
        py::gil_scoped_release unlocked;
        try {
            runner = std::thread(run);
        } catch (const std::exception &) {
            run(); // no thread to spare: the same records, unwatched
        }
    }
    std::int64_t shown = -1;
    auto report = [&] {
        const std::int64_t done = rows.done.load(std::memory_order_relaxed);
        if (!progress.is_none() && done != shown) {
            shown = done;
            progress(done, L);
        }
    };
    auto stop_and_join = [&] {
        stop = true;
        py::gil_scoped_release unlocked;
        if (runner.joinable())
            runner.join();
    };
    for (;;) {
        bool over;
        {
            py::gil_scoped_release unlocked;
            std::unique_lock<std::mutex> g(lock);
            over = ended.wait_for(g, std::chrono::milliseconds(100), [&] { return finished; });
        }
        if (over)
            break;
        try {
            if (PyErr_CheckSignals() != 0)
                throw py::error_already_set();
            report();
        } catch (...) {
            stop_and_join();
            throw;
        }
    }
    {
        py::gil_scoped_release unlocked;
        if (runner.joinable())
            runner.join();
    }
    report();
    if (fault.kind != fault_kind::none)
        raise_fault(fault, paths[static_cast<std::size_t>(fault.item)].as_given);
    return out;
}

} // namespace

PYBIND11_MODULE(_gmmtools, m)
{
    m.doc() = "The compiled part of gmmtools: see help(gmmtools).";
    m.attr("__version__") = GMM_VERSION;

    py::object error = py::reinterpret_steal<py::object>(PyErr_NewExceptionWithDoc(
        "gmmtools.ModelError",
        "A model file that cannot be used: a bad header, a short line or file, a\n"
        "missing weight, or a refusal of check=True or normalize=True.\n\n"
        "str(e) is the programs' message for the same fault; e.path is the path\n"
        "as given and e.line the line at fault (an int), or None.",
        PyExc_ValueError, nullptr));
    if (!error)
        throw py::error_already_set();
    error.attr("path") = py::none();
    error.attr("line") = py::none();
    m.attr("ModelError") = error;

    py::class_<model>(m, "Model",
                      "A Gaussian mixture model's parameters as numpy arrays: means and\n"
                      "variances of shape (M, D) and weights of shape (M,), all float64.")
        .def_readonly("means", &model::means, "The component means, shape (M, D).")
        .def_readonly("variances", &model::variances, "The component variances, shape (M, D).")
        .def_readonly("weights", &model::weights, "The mixture weights, shape (M,).")
        .def("__repr__", [](const model &mo) {
            return "<gmmtools.Model M=" + std::to_string(mo.means.shape(0)) +
                   " D=" + std::to_string(mo.means.shape(1)) + ">";
        });

    m.def("read_model", &read_model_py, py::arg("path"),
          "read_model(path) -> Model\n\n"
          "Reads a model file.  D and M come from its own header (lines 3 and 8).\n"
          "Every value is the double the C library's strtod reads from its token.\n"
          "The arrays own their memory and outlive the Model.\n\n"
          "Raises OSError (FileNotFoundError, PermissionError, IsADirectoryError)\n"
          "for a file that cannot be read, ModelError for one that cannot be used.");
    m.def("read_list", &read_list_py, py::arg("path"),
          "read_list(path) -> list[str]\n\n"
          "The model paths a list file names, as kelvane takes them: everything\n"
          "before each newline (carriage returns kept), blank lines skipped.");
    m.def("supervectors", &supervectors_py, py::arg("ubm"), py::arg("models"), py::kw_only(),
          py::arg("threads") = 1, py::arg("normalize") = false, py::arg("check") = false,
          py::arg("out") = py::none(), py::arg("progress") = py::none(),
          "supervectors(ubm, models, *, threads=1, normalize=False, check=False,\n"
          "             out=None, progress=None) -> numpy.ndarray\n\n"
          "The mean supervectors of `models` (paths) against the UBM: an array of\n"
          "shape (len(models), M * D) equal, bit for bit, to the file kelvane\n"
          "writes with the same options, read with numpy.fromfile(f, '<f8').\n"
          "D and M come from the first model's header.\n\n"
          "threads    models read at once (0: one per usable CPU), as kelvane -j;\n"
          "           the values are the same for every count\n"
          "normalize  (m - u) * sqrt(w) / sqrt(v), as kelvane --normalize\n"
          "check      every header must give D and M, as kelvane --check\n"
          "out        a writeable C-contiguous float64 array of the result's\n"
          "           shape (a numpy.memmap, say) to fill and return\n"
          "progress   progress(done, total), called at most ten times a second\n"
          "           and once at the end\n\n"
          "The first failing model in list order raises, as in kelvane: OSError\n"
          "for one that cannot be read, ModelError for one that cannot be used.\n"
          "Ctrl-C stops the call (KeyboardInterrupt).");
}
