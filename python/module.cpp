// gmmtools._gmmtools: the library bound for the gmmtools package, whose
// Python layer (gmmtools/__init__.py) checks the arguments and gives each
// call its signature.  Every value is read by the same code as the
// programs'.
//
// Paths arrive as the caller gave them after os.fspath (str or bytes) and
// are encoded as the file system wants them (os.fsencode); errors name them
// as given.  Files are opened with the interpreter free for other threads,
// and an open interrupted by a signal is tried again once the signal's
// handler has run (PEP 475).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "format_le.h"
#include "line_reader.h"
#include "messages.h"
#include "model_io.h"
#include "model_set.h"
#include "model_writer.h"
#include "supervectors.h"
#include "values_line.h"

namespace py = pybind11;
using namespace gmm;

namespace {

// A path as the C library takes it (os.fsencode of the path), and as the
// caller gave it, for the errors that name it.
struct given_path {
    std::string bytes;
    py::object as_given;
};

given_path take_path(const py::object &p)
{
    std::string bytes = py::module_::import("os").attr("fsencode")(p).cast<std::string>();
    if (bytes.find('\0') != std::string::npos)
        throw py::value_error("embedded null byte");
    return {std::move(bytes), p};
}

// The exception that reports `f`, a failure about the file `path`: an
// OSError for errno, ModelError (a ValueError with the path and the line)
// for a file that cannot be used, MemoryError for storage.  Its text is
// decoded as the file system's names are (os.fsdecode).
py::object fault_error(const run_fault &f, const py::object &path)
{
    if (f.kind == fault_kind::storage)
        return py::reinterpret_borrow<py::object>(PyExc_MemoryError)();
    std::string text = f.message;
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    const py::object message = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!message)
        throw py::error_already_set();
    if ((f.kind == fault_kind::open || f.kind == fault_kind::read || f.kind == fault_kind::write) &&
        f.error_number != 0)
        // OSError(errno, strerror, filename) is the subclass for errno.
        return py::reinterpret_borrow<py::object>(PyExc_OSError)(f.error_number, std::strerror(f.error_number), path);
    if (f.kind == fault_kind::open || f.kind == fault_kind::read || f.kind == fault_kind::write)
        return py::reinterpret_borrow<py::object>(PyExc_OSError)(message);
    py::object error = py::module_::import("gmmtools._gmmtools").attr("ModelError")(message);
    error.attr("path") = path;
    error.attr("line") = f.line > 0 ? py::object(py::int_(f.line)) : py::object(py::none());
    return error;
}

[[noreturn]] void raise(const py::object &error)
{
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

[[noreturn]] void raise_fault(const run_fault &f, const py::object &path) { raise(fault_error(f, path)); }

[[noreturn]] void raise_errno(int error, const py::object &path)
{
    raise_fault({.kind = fault_kind::open, .error_number = error}, path);
}

// Opens `p` for reading, the interpreter free meanwhile: a pipe waiting for
// its writer holds no other thread.  An open a signal interrupts is tried
// again once the signal's handler has run; an exception it raises ends it.
std::FILE *open_reading(const given_path &p)
{
    for (;;) {
        std::FILE *f;
        int error;
        {
            py::gil_scoped_release unlocked;
            f = std::fopen(p.bytes.c_str(), "r");
            error = errno;
        }
        if (f != nullptr)
            return f;
        if (error != EINTR)
            raise_errno(error, p.as_given);
        if (PyErr_CheckSignals() != 0)
            throw py::error_already_set();
    }
}

// A model or list file opened for reading lines, closed when it goes.
struct open_lines {
    std::FILE *stream = nullptr;
    std::vector<char> chunk = std::vector<char>(chunk_storage);
    line_reader lines;
    explicit open_lines(const given_path &p) : stream(open_reading(p)) { start_lines(&lines, stream, chunk.data()); }
    ~open_lines() { std::fclose(stream); }
    open_lines(const open_lines &) = delete;
    open_lines &operator=(const open_lines &) = delete;
};

// A set of models and macros loaded from files, closed when it goes.
struct loaded_set {
    model_set set;
    std::vector<given_path> paths; // as given, for the errors that name them
    loaded_set() = default;
    loaded_set(const loaded_set &) = delete;
    loaded_set &operator=(const loaded_set &) = delete;
    ~loaded_set() { close_set(&set); }
};

const model_set *set_of(const loaded_set *s) { return s != nullptr ? &s->set : nullptr; }

// Raises the fault `r` of reading the file `p` through `lines` (or of a set's
// HMM, with none), naming the set's file where the fault is in one.
[[noreturn]] void raise_reading(const read_result &r, const line_reader *lines, const given_path &p,
                                const loaded_set *s)
{
    const line_reader none{}; // a set's faults carry their own errno
    const run_fault f = reading_fault(r, lines != nullptr ? *lines : none, p.bytes.c_str(), set_of(s));
    raise_fault(f, r.file >= 0 && s != nullptr ? s->paths[static_cast<std::size_t>(r.file)].as_given : p.as_given);
}

std::unique_ptr<loaded_set> load_set_py(const py::list &files)
{
    auto s = std::make_unique<loaded_set>();
    std::vector<char> chunk(chunk_storage);
    for (const py::handle f : files) {
        s->paths.push_back(take_path(py::reinterpret_borrow<py::object>(f)));
        const given_path &p = s->paths.back();
        std::FILE *stream = open_reading(p);
        read_result r;
        {
            py::gil_scoped_release unlocked;
            r = load_set_file(&s->set, p.bytes.c_str(), stream, chunk.data());
        }
        if (r.fault != read_fault::none)
            raise_reading(r, nullptr, p, s.get());
    }
    return s;
}

// The HMMs of a set, in file order: (name, means, variances, weights).
py::list set_models_py(const loaded_set &s);

// How the caller asks a model to be read.
read_rule rule_of(bool check, bool keywords)
{
    return keywords ? read_rule::keywords : check ? read_rule::checked : read_rule::positions;
}

// Reads the header (D and M, from lines 3 and 8, or by keywords) of an
// opened model.
model_header header_of(open_lines &f, const given_path &p, read_rule rule, const loaded_set *s)
{
    model_header h;
    read_result r;
    {
        py::gil_scoped_release unlocked;
        r = read_model_header(&f.lines, &h, rule, set_of(s));
    }
    if (r.fault != read_fault::none)
        raise_reading(r, &f.lines, p, s);
    return h;
}

// The same for the set's HMM `hmm`.
model_header header_of(const loaded_set &s, const set_definition &hmm, const given_path &p)
{
    model_header h;
    read_result r;
    {
        py::gil_scoped_release unlocked;
        std::vector<char> chunk(chunk_storage);
        r = read_set_header(s.set, hmm, chunk.data(), &h);
    }
    if (r.fault != read_fault::none)
        raise_reading(r, nullptr, p, &s);
    return h;
}

py::tuple read_header_py(const py::object &path, bool check, bool keywords, const loaded_set *s)
{
    const given_path p = take_path(path);
    if (const set_definition *hmm = set_hmm(set_of(s), p.bytes)) {
        const model_header h = header_of(*s, *hmm, p);
        return py::make_tuple(h.vector_size, h.mixture_count);
    }
    open_lines f(p);
    const model_header h = header_of(f, p, rule_of(check, keywords), s);
    return py::make_tuple(h.vector_size, h.mixture_count);
}

// Row pointers into a C-contiguous (rows, columns) array of doubles.
std::vector<double *> row_pointers(double *data, std::int64_t rows, std::int64_t columns)
{
    std::vector<double *> r(static_cast<std::size_t>(rows));
    for (std::int64_t i = 0; i < rows; ++i)
        r[static_cast<std::size_t>(i)] = data + i * columns;
    return r;
}

// Storage for `rows` x `columns` doubles: more than can be addressed is
// storage that cannot be had, as for the programs.
void check_size(std::int64_t rows, std::int64_t columns)
{
    std::int64_t bytes;
    if (__builtin_mul_overflow(rows, columns, &bytes) ||
        __builtin_mul_overflow(bytes, static_cast<std::int64_t>(sizeof(double)), &bytes))
        throw std::bad_alloc();
}

// The arrays a model of the header's sizes is read into, and row pointers
// into its means and variances.
struct model_arrays {
    py::array_t<double> means, variances, weights;
    std::vector<double *> mu, sigma;
    explicit model_arrays(const model_header &h)
    {
        const std::int64_t D = h.vector_size, M = h.mixture_count;
        check_size(M, D);
        means = py::array_t<double>({M, D});
        variances = py::array_t<double>({M, D});
        weights = py::array_t<double>(M);
        mu = row_pointers(means.mutable_data(), M, D);
        sigma = row_pointers(variances.mutable_data(), M, D);
    }
    py::tuple taken() const { return py::make_tuple(means, variances, weights); }
};

// (means, variances, weights) of the set's HMM `hmm`.
py::tuple set_model(const loaded_set &s, const set_definition &hmm, const given_path &p)
{
    const model_header h = header_of(s, hmm, p);
    model_arrays a(h);
    read_result r;
    {
        py::gil_scoped_release unlocked;
        std::vector<char> chunk(chunk_storage);
        r = read_set_model(s.set, hmm, chunk.data(), h.vector_size, h.mixture_count, a.mu.data(), a.sigma.data(),
                           a.weights.mutable_data());
    }
    if (r.fault != read_fault::none)
        raise_reading(r, nullptr, p, &s);
    return a.taken();
}

py::list set_models_py(const loaded_set &s)
{
    py::list models;
    for (const set_definition &d : s.set.definitions)
        if (d.type == 'h') {
            const py::bytes name(d.name);
            models.append(py::make_tuple(name, set_model(s, d, take_path(name))));
        }
    return models;
}

// (means, variances, weights) of a model, D and M from its own header.
py::tuple read_model_py(const py::object &path, bool check, bool keywords, const loaded_set *s)
{
    const given_path p = take_path(path);
    if (const set_definition *hmm = set_hmm(set_of(s), p.bytes))
        return py::make_tuple(set_model(*s, *hmm, p), py::bytes(hmm->name));
    const read_rule rule = rule_of(check, keywords);
    open_lines f(p);
    const model_header h = header_of(f, p, rule, s);
    // The model is read again from its start; one that cannot be (a pipe)
    // would be read from the wrong line.
    if (!restart_lines(&f.lines))
        raise_errno(errno, p.as_given);
    model_arrays a(h);
    read_result r;
    {
        py::gil_scoped_release unlocked;
        r = read_mu_sigma_w(h.vector_size, h.mixture_count, &f.lines, a.mu.data(), a.sigma.data(),
                            a.weights.mutable_data(), rule, nullptr, set_of(s));
    }
    if (r.fault != read_fault::none)
        raise_reading(r, &f.lines, p, s);
    return py::make_tuple(a.taken(), py::none());
}

// The model paths of a list file, as kelvane takes them: everything before
// each newline, blank lines skipped; a list that is empty or whose first
// line is blank names no first model, and kelvane refuses it.
py::list read_list_py(const py::object &path)
{
    const given_path p = take_path(path);
    open_lines f(p);
    std::vector<char> buffer(max_line_bytes + 1);
    py::list paths;
    for (;;) {
        const char *model_path;
        line_status st;
        {
            py::gil_scoped_release unlocked;
            st = next_listed(&f.lines, buffer.data(), &model_path);
        }
        if (st == line_status::error)
            raise_errno(f.lines.error_number, p.as_given);
        if (paths.empty() && (st == line_status::end || f.lines.count != 1)) {
            const bool empty = st == line_status::end && f.lines.count == 0;
            raise_fault({.kind = fault_kind::model,
                         .line = empty ? 0 : 1,
                         .message = empty ? file_message(p.bytes.c_str(), "empty list, no model named")
                                          : line_message(p.bytes.c_str(), 1, "blank first line, no model named")},
                        p.as_given);
        }
        if (st == line_status::end)
            return paths;
        PyObject *s = PyUnicode_DecodeFSDefault(model_path);
        if (s == nullptr)
            throw py::error_already_set();
        paths.append(py::reinterpret_steal<py::object>(s));
    }
}

// A UBM read for supervector runs, with the sizes and options every run of
// it takes.
struct prepared {
    std::int32_t D = 0, M = 0;
    read_rule header = read_rule::positions;
    bool normalize = false;
    component_matrix ubm_mu{}, ubm_sigma{};
    std::vector<double> ubm_w;
    py::object set_given;              // the loaded set, kept while the run is,
    const loaded_set *set = nullptr;   // or None
    prepared() = default;
    prepared(const prepared &) = delete;
    prepared &operator=(const prepared &) = delete;
    ~prepared()
    {
        free_component_matrix(&ubm_mu);
        free_component_matrix(&ubm_sigma);
    }
};

std::unique_ptr<prepared> prepare_py(const py::object &ubm, std::int32_t D, std::int32_t M, bool normalize,
                                     bool check, bool keywords, const py::object &mmf)
{
    const given_path p = take_path(ubm);
    auto run = std::make_unique<prepared>();
    run->set_given = mmf;
    run->set = mmf.is_none() ? nullptr : mmf.cast<const loaded_set *>();
    run->D = D;
    run->M = M;
    run->header = rule_of(check, keywords);
    run->normalize = normalize;
    bool stored = alloc_component_matrix(M, D, &run->ubm_mu);
    if (normalize) {
        run->ubm_w.resize(static_cast<std::size_t>(M));
        stored = stored && alloc_component_matrix(M, D, &run->ubm_sigma);
    }
    if (!stored)
        throw std::bad_alloc();
    value_lines lines = {};
    const bool located = normalize && run->header == read_rule::keywords;
    if (located && !alloc_value_lines(M, D, &lines))
        throw std::bad_alloc();
    const std::unique_ptr<value_lines, void (*)(value_lines *)> given_back(&lines, free_value_lines);
    const value_lines *where = located ? &lines : nullptr;
    const model_set *set = set_of(run->set);
    std::FILE *in = set_hmm(set, p.bytes) == nullptr ? open_reading(p) : nullptr;
    run_fault fault;
    {
        py::gil_scoped_release unlocked;
        std::vector<char> chunk(chunk_storage);
        fault = in == nullptr ? read_model(p.bytes.c_str(), D, M, run->header, chunk.data(), run->ubm_mu.rows,
                                           run->ubm_sigma.rows, normalize ? run->ubm_w.data() : nullptr, where, set)
                              : read_opened_model(in, p.bytes.c_str(), D, M, run->header, chunk.data(),
                                                  run->ubm_mu.rows, run->ubm_sigma.rows,
                                                  normalize ? run->ubm_w.data() : nullptr, where, set);
        if (fault.kind == fault_kind::none && normalize)
            fault = take_roots(file_of_model(set, p.bytes.c_str()), D, M, run->ubm_w.data(), run->ubm_sigma.rows,
                               where);
    }
    if (fault.kind != fault_kind::none)
        raise_fault(fault, p.as_given);
    return run;
}

// The storage of a supervector run, given back when the call ends.
struct run_storage {
    std::vector<worker_scratch> scratch;
    std::vector<component_matrix> slots;
    ~run_storage()
    {
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

// The rows of an array: float64 rows are where the records are made, float32
// rows take each record rounded once.
struct array_rows {
    void *data;
    std::size_t values; // M x D
    std::atomic<std::int64_t> done{0};
};

double *row_of(void *to, std::int64_t item)
{
    array_rows *a = static_cast<array_rows *>(to);
    return static_cast<double *>(a->data) + static_cast<std::size_t>(item) * a->values;
}

run_fault made_in_row(void *to, std::int64_t item, const double *)
{
    static_cast<array_rows *>(to)->done.store(item + 1, std::memory_order_relaxed);
    return {};
}

run_fault put_float32(void *to, std::int64_t item, const double *record)
{
    array_rows *a = static_cast<array_rows *>(to);
    round_to_float32(record, a->values, static_cast<float *>(a->data) + static_cast<std::size_t>(item) * a->values);
    a->done.store(item + 1, std::memory_order_relaxed);
    return {};
}

// Opens the pipe at `path` for writing and closes it, where a reader waits
// on it: the reader's open returns, and it reads the end of the file.
void release_pipe(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISFIFO(st.st_mode))
        return;
    const int fd = ::open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0)
        ::close(fd);
}

// Fills `out`, a C-contiguous (len(models), M x D) array of float64 or
// float32 (checked by the caller), with the records of `models` against the
// prepared UBM, on `threads` workers.  The workers run on a thread of their
// own; this one reports progress and watches for Ctrl-C meanwhile.
void fill_py(const prepared &run, const py::list &models, py::array out, int threads, const py::object &progress)
{
    std::vector<given_path> paths;
    for (const py::handle m : models)
        paths.push_back(take_path(py::reinterpret_borrow<py::object>(m)));
    const std::int64_t L = static_cast<std::int64_t>(paths.size());
    if (L == 0) {
        if (!progress.is_none())
            progress(0, 0); // the end of a call of no models
        return;
    }
    const int n = threads == 0 ? std::min(usable_cpus(), max_workers) : threads;

    run_storage s;
    s.scratch.resize(static_cast<std::size_t>(n));
    s.slots.resize(static_cast<std::size_t>(record_slots(n)));
    if (!(alloc_scratch(&s.scratch[0]) && alloc_component_matrix(run.M, run.D, &s.slots[0])))
        throw std::bad_alloc();

    std::atomic<bool> stop{false};
    const extraction x = {run.D, run.M, run.header, run.ubm_mu.rows, run.normalize ? run.ubm_w.data() : nullptr,
                          run.normalize ? run.ubm_sigma.rows : nullptr, &stop, set_of(run.set)};
    path_list listed = {&paths, 0};
    const model_source source = {next_given, &listed, nullptr};
    array_rows rows;
    rows.data = out.mutable_data();
    rows.values = static_cast<std::size_t>(run.M) * static_cast<std::size_t>(run.D);
    const bool doubles = out.itemsize() == sizeof(double);
    const record_sink sink = doubles ? record_sink{nullptr, made_in_row, &rows, row_of}
                                     : record_sink{nullptr, put_float32, &rows};

    std::mutex lock;
    std::condition_variable ended;
    bool finished = false;
    run_fault fault;
    auto work = [&] {
        run_fault f = make_records(x, source, sink, s.scratch.data(), n, s.slots.data());
        std::lock_guard<std::mutex> g(lock);
        fault = std::move(f);
        finished = true;
        ended.notify_all();
    };
    // The workers take no signal: the interpreter's handlers run on this
    // thread, as Python wants them to.
    std::thread runner;
    {
        py::gil_scoped_release unlocked;
        sigset_t all, before;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &before);
        try {
            runner = std::thread(work);
        } catch (const std::exception &) {
        }
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        if (!runner.joinable())
            work(); // no thread to spare: the same records, unwatched
    }
    std::int64_t shown = -1;
    auto report = [&] {
        const std::int64_t done = rows.done.load(std::memory_order_relaxed);
        if (!progress.is_none() && done != shown) {
            shown = done;
            progress(done, L);
        }
    };
    auto join = [&] {
        py::gil_scoped_release unlocked;
        if (runner.joinable())
            runner.join();
    };
    // Stopped early, the workers end once their opens return: a pipe whose
    // turn it is may be waiting for a writer that never comes, so it is
    // given one, which leaves at once, until the run has ended.
    auto stop_and_join = [&] {
        stop = true;
        {
            py::gil_scoped_release unlocked;
            std::unique_lock<std::mutex> g(lock);
            while (!ended.wait_for(g, std::chrono::milliseconds(20), [&] { return finished; })) {
                g.unlock();
                const std::int64_t turn = rows.done.load(std::memory_order_relaxed);
                if (turn < L)
                    release_pipe(paths[static_cast<std::size_t>(turn)].bytes.c_str());
                g.lock();
            }
        }
        join();
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
    join();
    // The run's own failure comes first; a progress call that raises after
    // it raises with the run's failure as its context.
    const py::object failure = fault.kind == fault_kind::none
                                   ? py::object()
                                   : fault_error(fault, paths[static_cast<std::size_t>(fault.item)].as_given);
    try {
        report();
    } catch (py::error_already_set &e) {
        if (failure)
            PyException_SetContext(e.value().ptr(), failure.inc_ref().ptr());
        throw;
    }
    if (failure)
        raise(failure);
}

// A file descriptor model text is written to.  A write a signal interrupts
// goes on with the bytes not yet written once the signal's handler has run
// (PEP 475), so that a pipe's reader gets the text once; an exception the
// handler raises ends it.
struct written_file {
    int fd;
    int error = 0;       // errno of the write that failed
    bool raised = false; // a signal handler raised
};

bool put_file(void *to, const char *bytes, std::size_t n)
{
    written_file *f = static_cast<written_file *>(to);
    while (n > 0) {
        const ssize_t k = ::write(f->fd, bytes, n);
        if (k >= 0) {
            bytes += k;
            n -= static_cast<std::size_t>(k);
            continue;
        }
        if (errno != EINTR) {
            f->error = errno;
            return false;
        }
        py::gil_scoped_acquire locked;
        if (PyErr_CheckSignals() != 0) {
            f->raised = true;
            return false;
        }
    }
    return true;
}

// Writes a model file: C-contiguous float64 means and variances (M, D) and
// weights (M,), checked by the caller, and the name and kind.  Values lines
// longer than a reader takes are refused before the file is opened.
void write_model_py(const py::object &path, const py::array_t<double> &means, const py::array_t<double> &variances,
                    const py::array_t<double> &weights, const std::string &name, const std::string &kind,
                    const std::string &binary)
{
    const given_path p = take_path(path);
    const std::int32_t M = static_cast<std::int32_t>(means.shape(0)), D = static_cast<std::int32_t>(means.shape(1));
    const std::size_t line_chars = max_line_bytes - 1;
    if (!binary.empty() && (means.shape(0) > max_binary_count || means.shape(1) > max_binary_count))
        throw py::value_error("binary storage holds counts of at most " + std::to_string(max_binary_count) + ", not " +
                              std::to_string(means.shape(0)) + " components of " + std::to_string(means.shape(1)) +
                              " dimensions");
    if (binary.empty() && static_cast<std::size_t>(D) * (1 + max_le_chars) > line_chars) {
        const std::size_t longest = longest_values_line(M, D, means.data(), variances.data());
        if (longest > line_chars)
            throw py::value_error("a values line of these " + std::to_string(D) + " dimensions would be " +
                                  std::to_string(longest) + " characters, more than the " +
                                  std::to_string(line_chars) + " a line holds");
    }
    written_file f{-1};
    for (;;) {
        int open_error;
        {
            py::gil_scoped_release unlocked;
            f.fd = ::open(p.bytes.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
            open_error = errno;
        }
        if (f.fd >= 0)
            break;
        if (open_error != EINTR)
            raise_errno(open_error, p.as_given);
        if (PyErr_CheckSignals() != 0)
            throw py::error_already_set();
    }
    bool written;
    {
        py::gil_scoped_release unlocked;
        const text_sink to{put_file, &f};
        written = binary.empty() ? write_model_text(to, name.c_str(), kind.c_str(), M, D, means.data(), variances.data(),
                                                    weights.data())
                                 : write_model_binary(to, binary == "little", name.c_str(), kind.c_str(), M, D,
                                                      means.data(), variances.data(), weights.data());
        // Closed once, whatever it says: a close a signal interrupts has
        // closed the descriptor all the same.
        if (::close(f.fd) != 0 && written && errno != EINTR) {
            written = false;
            f.error = errno;
        }
    }
    if (f.raised)
        throw py::error_already_set();
    if (!written)
        raise_fault({.kind = fault_kind::write, .error_number = f.error != 0 ? f.error : EIO}, p.as_given);
}

} // namespace

PYBIND11_MODULE(_gmmtools, m)
{
    m.doc() = "The compiled part of gmmtools: see help(gmmtools).";
    if (const char *refused = refused_scan_setting())
        throw py::value_error(std::string("GMM_SCAN=") + refused + ": scalar, sse4 or avx2 expected");
    m.attr("__version__") = GMM_VERSION;

    py::object error = py::reinterpret_steal<py::object>(PyErr_NewExceptionWithDoc(
        "gmmtools.ModelError",
        "A model or list file that cannot be used: a bad header, a short line or\n"
        "file, a missing weight, a list that names no first model, or a refusal\n"
        "of check=True or normalize=True.\n\n"
        "str(e) is the programs' message for the same fault; e.path is the path\n"
        "as given and e.line the line at fault (an int), or None.",
        PyExc_ValueError, nullptr));
    if (!error)
        throw py::error_already_set();
    error.attr("path") = py::none();
    error.attr("line") = py::none();
    m.attr("ModelError") = error;

    py::class_<prepared>(m, "_Prepared", "A UBM read for supervector runs.");
    py::class_<loaded_set>(m, "_Set", "Files of models and macros, loaded.");
    m.def("load_set", &load_set_py, py::arg("files"));
    m.def("set_models", &set_models_py, py::arg("set"));
    m.def("read_header", &read_header_py, py::arg("path"), py::arg("check"), py::arg("keywords"),
          py::arg("mmf").none(true));
    m.def("read_model", &read_model_py, py::arg("path"), py::arg("check"), py::arg("keywords"),
          py::arg("mmf").none(true));
    m.def("read_list", &read_list_py, py::arg("path"));
    m.def("prepare", &prepare_py, py::arg("ubm"), py::arg("D"), py::arg("M"), py::arg("normalize"), py::arg("check"),
          py::arg("keywords"), py::arg("mmf"));
    m.def("fill", &fill_py, py::arg("run"), py::arg("models"), py::arg("out"), py::arg("threads"),
          py::arg("progress"));
    m.def("write_model", &write_model_py, py::arg("path"), py::arg("means"), py::arg("variances"),
          py::arg("weights"), py::arg("name"), py::arg("kind"), py::arg("binary"));
}
