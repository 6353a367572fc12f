"""Gaussian mixture model files as numpy arrays.

read_model(path)         a model's means, variances and weights, as a Model
read_models(path)        every named HMM of a file of many, as a dict of Models
read_header(path)        a model's (D, M), from its header alone
read_list(path)          the model paths of a list file, as kelvane reads them
supervectors(ubm, models, ...)
                         the mean supervectors kelvane writes, as one array
iter_supervectors(ubm, models, batch=N, ...)
                         the same, N models at a time
write_model(path, means, variances, weights)
                         a model file both programs read
Model(means, variances, weights)

Models are read by the same code as the kelvane and morrit programs: every
value is the double the C library's strtod reads from its token, and a
supervector array holds bit for bit what kelvane writes.  A file that cannot
be read raises OSError; one that cannot be used raises ModelError (a
ValueError).  Paths are str, bytes or os.PathLike, as for open().

mmf= (read_model, read_header, supervectors, iter_supervectors) loads files
of many models and macros first, as kelvane -H does: a path may then name
an HMM of theirs by its ~h name, and every model may use their macros.
"""

import itertools
import operator
import os
import sys

import numpy

from . import _gmmtools
from ._gmmtools import ModelError, __version__

__all__ = [
    "Model",
    "ModelError",
    "iter_supervectors",
    "read_header",
    "read_list",
    "read_model",
    "read_models",
    "supervectors",
    "write_model",
    "__version__",
]


def _path(p, name):
    """`p` as os.fspath gives it; a TypeError naming the argument otherwise."""
    try:
        return os.fspath(p)
    except TypeError:
        raise TypeError(f"{name} must be a path (str, bytes or os.PathLike), not {type(p).__name__}") from None


def _iterate(models):
    """An iterator over `models`, any iterable of paths but a single path."""
    if isinstance(models, (str, bytes, os.PathLike)):
        raise TypeError("models must be an iterable of paths, not one path")
    try:
        return iter(models)
    except TypeError:
        raise TypeError(f"models must be an iterable of paths, not {type(models).__name__}") from None


def _paths(models):
    """The items of `models` as a list: the paths as given, and as os.fspath
    gives them."""
    given = list(_iterate(models))
    return given, [_path(m, "every item of models") for m in given]


def _flag(value, name):
    """`value` as a bool, from a bool or a numpy bool; TypeError naming it otherwise."""
    if isinstance(value, (bool, numpy.bool_)):
        return bool(value)
    raise TypeError(f"{name} must be a bool, not {type(value).__name__}")


def _whole(value, name, low, high=None):
    """`value` as an int from `low` to `high`; TypeError or ValueError naming it."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not bool")
    try:
        n = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None
    if n < low or (high is not None and n > high):
        raise ValueError(f"{name} must be a whole number from {low}" + (f" to {high}" if high is not None else " up"))
    return n


def _dtype(dtype):
    try:
        dt = numpy.dtype(dtype)
    except TypeError:
        raise TypeError(f"dtype must be numpy.float64 or numpy.float32, not {type(dtype).__name__}") from None
    if dt not in (numpy.dtype(numpy.float64), numpy.dtype(numpy.float32)):
        raise ValueError(f"dtype must be float64 or float32, not {dt}")
    return dt


def _rows(out, L, M, D):
    """`out` checked as the destination of L records of M x D values, and
    seen as an (L, M * D) array."""
    if not isinstance(out, numpy.ndarray) or isinstance(out, numpy.ma.MaskedArray):
        # A masked array's mask would go on hiding the rows written into it.
        raise TypeError(f"out must be a numpy.ndarray, not {type(out).__name__}")
    if out.dtype.kind != "f" or out.dtype.itemsize not in (4, 8):
        raise ValueError(f"out must have dtype float64 or float32, not {out.dtype}")
    if not out.dtype.isnative:
        raise ValueError("out must be in the machine's byte order")
    if out.shape not in ((L, M * D), (L, M, D)):
        raise ValueError(f"out must have shape ({L}, {M * D}) or ({L}, {M}, {D}), not {out.shape}")
    if not out.flags.c_contiguous:
        raise ValueError("out must be C-contiguous")
    if not out.flags.writeable:
        raise ValueError("out must be writeable")
    return out.reshape(L, M * D)


def _empty(shape, dtype):
    """A new array; one too large to address is storage that cannot be had,
    as for the programs."""
    try:
        return numpy.empty(shape, dtype)
    except ValueError:
        raise MemoryError(f"an array of shape {shape} is too large") from None


def _sizes_needed(paths, sizes_from):
    if not paths and sizes_from is None:
        raise ValueError("models is empty: give sizes_from= for the sizes")


def _sizes(sizes_from, first, check, keywords, mmf):
    """(D, M) from the model `sizes_from`, or from the first model."""
    model = _path(sizes_from, "sizes_from") if sizes_from is not None else first
    return _gmmtools.read_header(model, check, keywords, mmf)


def _set(mmf):
    """The files `mmf` names (one path, or an iterable of paths), loaded; None for None."""
    if mmf is None:
        return None
    if isinstance(mmf, (str, bytes, os.PathLike)):
        files = [mmf]
    else:
        try:
            files = list(mmf)
        except TypeError:
            raise TypeError(f"mmf must be a path or an iterable of paths, not {type(mmf).__name__}") from None
    return _gmmtools.load_set([_path(f, "every file of mmf") for f in files])


class Model:
    """A Gaussian mixture model's parameters as numpy arrays.

    Model(means, variances, weights) takes means and variances of shape
    (M, D) and weights of shape (M,), as float64 arrays (copied only where
    they are not already C-contiguous float64).  read_model() returns one;
    write_model(path, *model) writes one back.

    Attributes: means, variances, weights; M and D; name, the HMM's ~h name
    for a model read from a set (read_models, mmf=), else None.  Two models
    are equal when their arrays are (NaN equal to NaN), whatever their
    names; a Model pickles.
    """

    __slots__ = ("means", "variances", "weights", "name")

    def __init__(self, means, variances, weights, name=None):
        self.means, self.variances, self.weights = _parameters(means, variances, weights)
        if name is not None and not isinstance(name, str):
            raise TypeError(f"name must be a str or None, not {type(name).__name__}")
        self.name = name

    @property
    def M(self):
        """The number of mixture components."""
        return self.means.shape[0]

    @property
    def D(self):
        """The number of dimensions."""
        return self.means.shape[1]

    def __iter__(self):
        return iter((self.means, self.variances, self.weights))

    def __repr__(self):
        named = "" if self.name is None else f" name={self.name!r}"
        return f"<gmmtools.Model{named} M={self.M} D={self.D}>"

    def __eq__(self, other):
        if not isinstance(other, Model):
            return NotImplemented
        return all(numpy.array_equal(a, b, equal_nan=True) for a, b in zip(self, other))

    __hash__ = None

    def __reduce__(self):
        return (Model, (self.means, self.variances, self.weights, self.name))


def _parameters(means, variances, weights):
    """The three arrays checked as one model's: (M, D), (M, D), (M,)."""
    arrays = []
    for name, a, ndim in (("means", means, 2), ("variances", variances, 2), ("weights", weights, 1)):
        # Real numbers only: neither complex values, whose imaginary part
        # would be dropped, nor strings, nor None.
        try:
            given = numpy.asarray(a)
        except (TypeError, ValueError):
            given = None
        if given is None or given.dtype.kind not in "iuf":
            what = type(a).__name__ if given is None or given.dtype.kind == "O" else f"an array of {given.dtype}"
            raise TypeError(f"{name} must be an array of real numbers, not {what}")
        a = numpy.ascontiguousarray(given, dtype=numpy.float64)
        if a.ndim != ndim or 0 in a.shape:
            want = "(M, D)" if ndim == 2 else "(M,)"
            raise ValueError(f"{name} must have shape {want} with M and D at least 1, not {a.shape}")
        arrays.append(a)
    means, variances, weights = arrays
    if variances.shape != means.shape or weights.shape != means.shape[:1]:
        raise ValueError(
            f"means {means.shape}, variances {variances.shape} and weights {weights.shape} "
            "must have shapes (M, D), (M, D) and (M,)"
        )
    return means, variances, weights


def _model(arrays, name):
    model = Model.__new__(Model)
    model.means, model.variances, model.weights = arrays
    model.name = None if name is None else os.fsdecode(name)
    return model


def read_model(path, *, check=True, keywords=False, mmf=None):
    """Reads a model file.

    D and M come from its own header (lines 3 and 8), and every value is the
    double the C library's strtod reads from its token.  check=True (the
    default) refuses a file whose lines are not the layout's keywords and
    counts, as morrit --check does; check=False reads it by line position
    alone, as morrit does.  keywords=True reads it by its keywords instead,
    in any layout of one HMM with one diagonal-covariance mixture (morrit
    --keywords; see the README).  mmf: the files of a set (a path, or an
    iterable of paths), loaded first, as morrit -H; `path` may then name one
    of its HMMs, and keywords is implied.

    Raises OSError (FileNotFoundError, PermissionError, IsADirectoryError)
    for a file that cannot be read, ModelError for one that cannot be used.
    """
    mmf = _set(mmf)
    path = _path(path, "path")
    arrays, name = _gmmtools.read_model(path, _flag(check, "check"), _flag(keywords, "keywords") or mmf is not None,
                                        mmf)
    return _model(arrays, name)


def read_models(path):
    """Every HMM a file names (~h "name"), as a dict of name to Model, in file order.

    The file is loaded as a set (mmf=): each HMM may use the file's macros.
    Raises as read_model does.
    """
    loaded = _gmmtools.load_set([_path(path, "path")])
    return {os.fsdecode(name): _model(arrays, name) for name, arrays in _gmmtools.set_models(loaded)}


def read_header(path, *, check=True, keywords=False, mmf=None):
    """(D, M) of a model file, from its header alone (lines 3 and 8, or its
    keywords up to <NUMMIXES>).

    check, keywords and mmf are read_model's; raises as read_model does.
    """
    mmf = _set(mmf)
    return _gmmtools.read_header(_path(path, "path"), _flag(check, "check"),
                                 _flag(keywords, "keywords") or mmf is not None, mmf)


def read_list(path):
    """The model paths a list file names, as kelvane takes them.

    Everything before each newline is a path (spaces and carriage returns
    kept); blank lines are skipped.  A list that is empty, or whose first
    line is blank, names no first model: kelvane refuses it, and so does
    this, with ModelError.  Paths are str, decoded as os.fsdecode does.
    """
    return _gmmtools.read_list(_path(path, "path"))


def _prepare(ubm, first, threads, normalize, check, keywords, sizes_from, dtype, mmf):
    ubm = _path(ubm, "ubm")
    # -1 is every usable CPU, as 0 is (scikit-learn's n_jobs=-1).
    threads = max(_whole(threads, "threads", -1, 1024), 0)
    normalize, check, keywords = _flag(normalize, "normalize"), _flag(check, "check"), _flag(keywords, "keywords")
    dt = None if dtype is None else _dtype(dtype)
    mmf = _set(mmf)
    keywords = keywords or mmf is not None
    D, M = _sizes(sizes_from, first, check, keywords, mmf)
    return ubm, threads, normalize, check, keywords, D, M, dt, mmf


def supervectors(ubm, models, *, threads=1, normalize=False, check=True, keywords=False, sizes_from=None, dtype=None,
                 out=None, progress=None, mmf=None):
    """The mean supervectors of `models` against the UBM, as kelvane writes them.

    Returns an array of shape (len(models), M * D), one row per model in
    order: its component means minus the UBM's, bit for bit what kelvane
    writes with the same options (read back with numpy.fromfile(f, '<f8')).
    D and M come from the first model's header, or from `sizes_from`.

    ubm         the universal background model (a path)
    models      any iterable of paths: a list, a generator, Path.glob(), a
                numpy or pandas column of strings
    threads     models read at once (0 or -1: one per usable CPU), as
                kelvane -j; the values are the same for every count
    normalize   (m - u) * sqrt(w) / sqrt(v), as kelvane --normalize
    check       every header, the UBM's included, must give D and M, and
                every file the layout's keywords and counts, as kelvane
                --check (the default here; check=False is kelvane's plain
                reading, where a model with more values per line is read
                truncated)
    keywords    every model, the UBM included, read by its keywords, as
                kelvane --keywords: any layout of one HMM with one
                diagonal-covariance mixture
    sizes_from  a model whose header gives D and M; models may then be
                empty (shape (0, M * D))
    mmf         the files of a set (a path, or an iterable of paths),
                loaded first, as kelvane -H: the UBM, each of models and
                sizes_from may name one of its HMMs; keywords is implied
    dtype       numpy.float64 (the default) or numpy.float32, each value
                rounded once from kelvane's double
    out         a writeable C-contiguous float64 or float32 array of shape
                (len(models), M * D) or (len(models), M, D), a numpy.memmap
                say, filled and returned; where the call raises, the rows
                before the failing model are filled and the others are
                unspecified
    progress    progress(done, total), called at most ten times a second
                and once at the end (progress(0, 0) for no models)

    The first failing model in list order raises, as in kelvane: OSError
    for one that cannot be read, ModelError for one that cannot be used,
    MemoryError where storage cannot be had.  Ctrl-C stops the call
    (KeyboardInterrupt).
    """
    given, paths = _paths(models)
    _sizes_needed(paths, sizes_from)
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable, not {type(progress).__name__}")
    ubm, threads, normalize, check, keywords, D, M, dt, mmf = _prepare(
        ubm, paths[0] if paths else None, threads, normalize, check, keywords, sizes_from, dtype, mmf)
    L = len(paths)
    if out is None:
        result = _empty((L, M * D), dt or numpy.float64)
        rows = result
    else:
        rows = _rows(out, L, M, D)
        if dt is not None and out.dtype != dt:
            raise ValueError(f"out has dtype {out.dtype}, dtype says {dt}")
        result = out
    run = _gmmtools.prepare(ubm, D, M, normalize, check, keywords, mmf)
    _gmmtools.fill(run, paths, rows, threads, progress)
    return result


def iter_supervectors(ubm, models, *, batch, threads=1, normalize=False, check=True, keywords=False, sizes_from=None,
                      dtype=None, mmf=None):
    """The supervectors of `models`, `batch` models at a time.

    Yields (paths, block) for each batch: the batch's paths as `models` gave
    them, and an array of shape (len(paths), M * D) equal to those rows of
    supervectors() with the same arguments.  The UBM is read once, `models`
    (any iterable, a generator too) is taken a batch at a time, and each
    block is a new array: feed it to partial_fit or an incremental PCA and
    let it go.  Where a model fails, the batches before its batch are
    yielded, then its exception raised, as supervectors() raises it.

    The arguments are supervectors()'s, less out and progress; a batch
    larger than the list is the whole list.
    """
    batch = min(_whole(batch, "batch", 1), sys.maxsize)
    items = _iterate(models)
    first = next(items, _none)
    if first is not _none:
        items = itertools.chain([first], items)
    _sizes_needed([] if first is _none else [first], sizes_from)
    ubm, threads, normalize, check, keywords, D, M, dt, mmf = _prepare(
        ubm, None if first is _none else _path(first, "every item of models"), threads, normalize, check, keywords,
        sizes_from, dtype, mmf)
    return _batches(ubm, items, batch, threads, normalize, check, keywords, D, M, dt or numpy.float64, mmf)


_none = object()  # no first item


def _batches(ubm, items, batch, threads, normalize, check, keywords, D, M, dtype, mmf):
    run = _gmmtools.prepare(ubm, D, M, normalize, check, keywords, mmf)
    while True:
        given, paths = _paths(itertools.islice(items, batch))
        if not given:
            return
        block = _empty((len(given), M * D), dtype)
        _gmmtools.fill(run, paths, block, threads, None)
        yield given, block


# The parameter kinds of a model's features: a base kind and qualifiers.
_BASE_KINDS = {"WAVEFORM", "LPC", "LPREFC", "LPCEPSTRA", "LPDELCEP", "IREFC", "MFCC", "FBANK", "MELSPEC", "USER",
               "DISCRETE", "PLP", "ANON"}
_QUALIFIERS = set("ENDATCZK0VO")


def _name_bytes(name):
    """The ~h name as written: encoded as file names are (os.fsencode), so
    that a name taken from one comes back as it was."""
    if not isinstance(name, str):
        raise TypeError(f"name must be a str, not {type(name).__name__}")
    b = os.fsencode(name)
    if len(b) > 255 or any(c in b'"\n\r\0\x7f' or (c < 0x20 and c not in b"\t\x0b\x0c") for c in b):
        raise ValueError("name must be at most 255 bytes, without quotes, line breaks or control characters")
    return b


def _kind(kind):
    if not isinstance(kind, str):
        raise TypeError(f"kind must be a str, not {type(kind).__name__}")
    base, *qualifiers = kind.split("_")
    if base not in _BASE_KINDS or not all(len(q) == 1 and q in _QUALIFIERS for q in qualifiers):
        raise ValueError(f"kind must be a parameter kind such as USER or MFCC_E_D_A, not {kind!r}")
    return kind


def write_model(path, means, variances, weights, *, name="gmm", kind="USER", binary=None):
    """Writes a model file in the layout kelvane and morrit read.

    means and variances of shape (M, D), weights of shape (M,): a Model's
    arrays (write_model(path, *model)), or a scikit-learn
    GaussianMixture(covariance_type="diag")'s means_, covariances_ and
    weights_, of real numbers.  Every value is printed as C's "%le" prints
    it, with each component's Gaussian constant; read_model of the file
    gives those values as "%le" rounds them.  `name` goes in the ~h line
    (encoded as os.fsencode encodes a file name) and `kind` is the parameter
    kind of the <VECSIZE> line (USER, MFCC_E_D_A, ...).

    Only what every reader takes back is written: a name of more than 255
    bytes or with quotes, line breaks or control characters, a kind that
    is no parameter kind, and values lines longer than the 9,998
    characters a line holds (D of more than 666 may make them) raise
    ValueError before anything is written; TypeError for arguments of the
    wrong type.  Raises OSError where the file cannot be written.

    binary="big" or "little" writes the same model in binary storage, in
    that byte order, for keywords=True readers: counts of 16 bits (M and D
    at most 32767, else ValueError) and each value the float32 nearest to
    it, which read_model gives back exactly (widened to float64).
    """
    path = _path(path, "path")
    means, variances, weights = _parameters(means, variances, weights)
    if binary not in (None, "big", "little"):
        raise ValueError(f"binary={binary!r}: None, 'big' or 'little' expected")
    _gmmtools.write_model(path, means, variances, weights, _name_bytes(name), _kind(kind), binary or "")
