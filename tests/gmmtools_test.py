"""pytest on the gmmtools module as Python imports it (from the build folder,
an installed package, or a venv made with pip).

Run by ctest with the paths of the programs and of gmmgen in the environment:
KELVANE, MORRIT, GMMGEN, and SOURCE_DIR.
"""
import ast
import collections.abc
import ctypes
import errno
import gc
import inspect
import math
import multiprocessing
import os
import pickle
import pydoc
import re
import signal
import struct
import subprocess
import sys
import textwrap
import threading
import time
import tty
from pathlib import Path

import numpy
import pytest

import gmmtools

KELVANE, MORRIT, GMMGEN = os.environ["KELVANE"], os.environ["MORRIT"], os.environ["GMMGEN"]
SRC = Path(os.environ["SOURCE_DIR"])
EXAMPLES = SRC / "examples"
libc = ctypes.CDLL(None)
libc.strtod.restype = ctypes.c_double
libc.strtod.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_char_p)]


@pytest.fixture(scope="session")
def generated(tmp_path_factory):
    """A UBM and 40 models of 2048 x 60 (the large case), and of 64 x 20."""
    root = tmp_path_factory.mktemp("gen")
    (root / "large").mkdir()
    (root / "small").mkdir()
    subprocess.run([GMMGEN, str(root / "large"), "2048", "60", "2", "7"], check=True)
    subprocess.run([GMMGEN, str(root / "small"), "64", "20", "40", "3"], check=True)
    return root


def kelvane(*args, cwd=None):
    r = subprocess.run([KELVANE, *map(str, args)], capture_output=True, text=True, cwd=cwd)
    return r.returncode, r.stderr


def deadline(p, fifo, seconds=60):
    """A timer that kills the child `p` and then frees this process where it
    waits to open `fifo` for the end the child never opened, so that a child
    that fails early fails the test instead of hanging it."""
    def give_up():
        p.kill()
        for mode in (os.O_WRONLY, os.O_RDONLY):
            try:
                os.close(os.open(fifo, mode | os.O_NONBLOCK))
            except OSError:
                pass
    return threading.Timer(seconds, give_up)


def bits(a):
    return numpy.ascontiguousarray(a).view(numpy.uint64)


@pytest.mark.parametrize("name", ["examples/model0001.gmm", "examples/ubm.gmm", "large/model0001.gmm"])
def test_read_model_is_strtod_and_what_morrit_prints(name, generated, tmp_path):
    path = EXAMPLES / Path(name).name if name.startswith("examples") else generated / name
    m = gmmtools.read_model(path)
    lines = path.read_bytes().split(b"\n")
    M = int(lines[7].split()[1])
    assert m.means.shape == m.variances.shape == (M, int(lines[2].split(b" ")[1].split(b"<")[0]))
    assert m.weights.shape == (M,)

    # Every value is the C library's strtod of its token.
    def strtod(tokens):
        return numpy.array([libc.strtod(t, None) for t in tokens])

    assert numpy.array_equal(bits(m.weights), bits(strtod(lines[8 + 6 * i].split(b" ")[2] for i in range(M))))
    for row, at in ((m.means, 10), (m.variances, 12)):
        tokens = [t for i in range(M) for t in lines[at + 6 * i].split(b" ") if t][: row.size]
        assert numpy.array_equal(bits(row.ravel()), bits(strtod(tokens)))

    # morrit prints each of them as %le: its files are these arrays.
    subprocess.run([MORRIT, path, tmp_path / "mu", tmp_path / "sigma", tmp_path / "w"], check=True)
    for array, file in ((m.means.T, "mu"), (m.variances.T, "sigma"), (m.weights[None, :], "w")):
        printed = [line.split() for line in (tmp_path / file).read_text().splitlines()]
        assert printed == [["%e" % v for v in row] for row in array]


def test_arrays_own_their_memory_and_outlive_the_model():
    m = gmmtools.read_model(EXAMPLES / "model0001.gmm")
    means, weights = m.means, m.weights
    want = means.copy()
    del m
    gc.collect()
    for a in (means, weights):
        assert a.flags.owndata and a.flags.writeable and a.flags.c_contiguous and a.dtype == numpy.float64
    assert numpy.array_equal(means, want)
    means[0, 0] = 1.0


def test_read_list_takes_paths_as_kelvane_does(tmp_path):
    (tmp_path / "list").write_bytes(b"a.gmm\n\n\nmy model.gmm\r\n  \nlast")
    assert gmmtools.read_list(tmp_path / "list") == ["a.gmm", "my model.gmm\r", "  ", "last"]
    # What names no first model, kelvane refuses, and so does read_list.
    for text, message, line in [(b"", ": empty list, no model named", None),
                                (b"\na.gmm\n", ":1: blank first line, no model named", 1)]:
        (tmp_path / "list").write_bytes(text)
        assert kelvane(EXAMPLES / "ubm.gmm", tmp_path / "list", tmp_path / "sv") == (1, "File open error!\n")
        with pytest.raises(gmmtools.ModelError) as e:
            gmmtools.read_list(tmp_path / "list")
        assert (str(e.value), e.value.line) == (str(tmp_path / "list") + message, line)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda d: gmmtools.read_model(d / "none.gmm"), FileNotFoundError),
        (lambda d: gmmtools.read_model(d), IsADirectoryError),
        (lambda d: gmmtools.read_list(d / "none.lst"), FileNotFoundError),
        (lambda d: gmmtools.supervectors(d / "none.gmm", [EXAMPLES / "model0001.gmm"]), FileNotFoundError),
        (lambda d: gmmtools.supervectors(EXAMPLES / "ubm.gmm", [str(d)]), IsADirectoryError),
    ],
)
def test_files_that_cannot_be_read_raise_oserror_naming_them(call, error, tmp_path):
    with pytest.raises(error) as e:
        call(tmp_path)
    assert e.value.filename is not None and Path(e.value.filename).name in ("none.gmm", "none.lst", tmp_path.name)


@pytest.mark.parametrize("name, line, says", [
    ("vecsize_wraps.gmm", 3, "<VECSIZE> 4294967299: a count of at most 2147483647 expected"),
    ("mixcount_wraps.gmm", 8, "<NUMMIXES> 4294967298: a count of at most 2147483647 expected"),
    ("kw_two_hmms.gmm", 27, "2 HMMs, one expected (load a set with -H or mmf=, then name an HMM)"),
])
def test_checked_and_keyword_reads_refuse_what_a_plain_read_misreads(name, line, says, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    base = SRC / "tests" / "corpus" / "base.gmm"
    path = tmp_path / name
    path.write_bytes((SRC / "tests" / "corpus" / name).read_bytes())
    assert gmmtools.read_model(path, check=False) == gmmtools.read_model(base)
    for how in (dict(check=True), dict(keywords=True)):
        r = subprocess.run([MORRIT, "--keywords" if "keywords" in how else "--check", name, "mu", "sigma", "w"],
                           cwd=tmp_path, capture_output=True, text=True)
        assert (r.returncode, r.stderr) == (1, f"{name}:{line}: {says}\n")
        for call in (gmmtools.read_model, lambda p, **k: gmmtools.supervectors(base, [p], **k)):
            with pytest.raises(gmmtools.ModelError) as e:
                call(name, **how)
            assert (str(e.value), e.value.line) == (f"{name}:{line}: {says}", line)
    # A third model is counted too.
    path.write_bytes(path.read_bytes() + path.read_bytes().split(b"<ENDHMM>\n", 1)[1])
    with pytest.raises(gmmtools.ModelError, match=f"{name}:{line}: " + ("3 HMMs" if "HMMs" in says else "")):
        gmmtools.read_model(path)


def binary_base():
    return (SRC / "tests" / "corpus" / "kw_binary_big.gmm").read_bytes()


@pytest.mark.parametrize("ubm, line, says", [
    # a weight moved down two lines, and a variance on a line of its own
    (lambda t: t.replace("<MIXTURE> 2 7.500000e-01", "\n\n<MIXTURE> 2 -0.5"), 17,
     "mixture weight -5.000000e-01, a finite value of 0 or more expected"),
    (lambda t: t.replace(" 2.000000e+00 2.000000e+00 2.000000e+00", " 2\n 0\n 2"), 20,
     "variance 2 is 0.000000e+00, a finite value above 0 expected"),
    # in binary storage, where the binary HMM is line 4
    (lambda t: binary_base().replace(struct.pack(">hf", 2, 0.75), struct.pack(">hf", 2, -0.5)), 4,
     "mixture weight -5.000000e-01, a finite value of 0 or more expected"),
    (lambda t: binary_base().replace(struct.pack(">h3f", 3, 2, 2, 2), struct.pack(">h3f", 3, 2, 0, 2)), 4,
     "variance 2 is 0.000000e+00, a finite value above 0 expected"),
])
def test_a_ubm_value_normalizing_refuses_is_named_at_its_line(ubm, line, says, tmp_path):
    # Read by keywords, in kelvane and in the module alike.
    bad = tmp_path / "ubm.gmm"
    text = ubm((SRC / "tests" / "corpus" / "base.gmm").read_text())
    bad.write_bytes(text if isinstance(text, bytes) else text.encode())
    model = SRC / "tests" / "corpus" / "base.gmm"
    (tmp_path / "list").write_text(f"{model}\n")
    assert kelvane("--keywords", "--normalize", bad, tmp_path / "list", tmp_path / "out.bin") == (1, f"{bad}:{line}: {says}\n")
    with pytest.raises(gmmtools.ModelError) as e:
        gmmtools.supervectors(bad, [model], normalize=True, keywords=True)
    assert (str(e.value), e.value.line) == (f"{bad}:{line}: {says}", line)


def test_a_single_gaussian_without_mixture_has_weight_one(tmp_path):
    model = gmmtools.read_model(SRC / "tests" / "corpus" / "kw_single_gaussian.gmm", keywords=True)
    assert model.weights.tolist() == [1.0] and model.means.tolist() == [[1.0, 2.0, 3.0]]
    r = subprocess.run([MORRIT, "--keywords", SRC / "tests" / "corpus" / "kw_single_gaussian.gmm", "mu", "sigma", "w"],
                       cwd=tmp_path, capture_output=True, text=True)
    assert (r.returncode, (tmp_path / "w").read_text()) == (0, "1.000000e+00")


def test_written_gaussian_constants_are_d_log_2pi_plus_the_log_variances(tmp_path):
    rng = numpy.random.default_rng(7)
    variances = rng.uniform(0.01, 50.0, (4, 5))
    gmmtools.write_model(tmp_path / "m.gmm", rng.normal(size=(4, 5)), variances, [0.25] * 4)
    written = [line.split()[1] for line in (tmp_path / "m.gmm").read_text().split("\n") if line.startswith("<GCONST>")]
    want = []
    for row in variances:
        g = 5 * math.log(2 * math.pi)
        for v in row:
            g += math.log(v)
        want.append("%e" % g)
    assert written == want


# What follows each binary keyword code: "h" a 16-bit integer, "f" a float,
# "n" a count of the floats after it, "nn" a count n of n x n floats.
BINARY_ITEMS = {0: "", 2: "", 3: "h", 4: "h", 5: "nh", 6: "h", 7: "", 15: "h", 17: "hf", 20: "nf", 21: "nf", 24: "f",
                27: "nnf"}


def binary_items(data, order):
    """(code, numbers) of each binary keyword of a file; text between them skipped."""
    e, i, items = ">" if order == "big" else "<", 0, []
    def take(fmt, n=1):
        nonlocal i
        v = struct.unpack_from(e + fmt * n, data, i)
        i += struct.calcsize(e + fmt * n)
        return list(v)
    while i < len(data):
        if data[i:i + 1] != b":":
            i += 1
            continue
        code, i, numbers = data[i + 1], i + 2, []
        shape = BINARY_ITEMS[code]
        if shape.startswith("nn"):
            (n,) = take("h")
            numbers = [n] + take("f", n * n)
        elif shape.startswith("n"):
            (n,) = take("h")
            numbers = [n] + take(shape[1], n)
        else:
            for fmt in shape:
                numbers += take(fmt)
        items.append((code, numbers))
    return items


def text_twin(path, model, name):
    """The model in the positional layout, each value with 17 significant digits."""
    M, D = model.M, model.D
    g = lambda x: "%.17g" % x
    lines = ["~o", f"<STREAMINFO> 1 {D}", f"<VECSIZE> {D}<NULLD><USER><DIAGC>", f'~h "{name}"', "<BEGINHMM>",
             "<NUMSTATES> 3", "<STATE> 2", f"<NUMMIXES> {M}"]
    for k in range(M):
        lines += [f"<MIXTURE> {k + 1} {g(model.weights[k])}", f"<MEAN> {D}", " " + " ".join(map(g, model.means[k])),
                  f"<VARIANCE> {D}", " " + " ".join(map(g, model.variances[k])), "<GCONST> 0"]
    lines += ["<TRANSP> 3", " 0 1 0", " 0 0.6 0.4", " 0 0 0", "<ENDHMM>", ""]
    Path(path).write_text("\n".join(lines))


@pytest.mark.parametrize("order", ["big", "little"])
def test_binary_models_give_the_bits_of_their_text_twins(order, tmp_path):
    rng = numpy.random.default_rng(11 if order == "big" else 12)
    M, D = 16, 13
    ubm = gmmtools.Model(rng.normal(scale=10, size=(M, D)), rng.uniform(0.01, 5, (M, D)), rng.dirichlet(numpy.ones(M)))
    models = [ubm] + [gmmtools.Model(ubm.means + rng.normal(scale=0.5, size=(M, D)), ubm.variances, ubm.weights)
                      for _ in range(3)]
    for n, m in enumerate(models):
        gmmtools.write_model(tmp_path / f"b{n}.gmm", *m, name=f"spk{n}", binary=order)
        floats = gmmtools.Model(*(numpy.float32(a).astype(numpy.float64) for a in m))
        read = gmmtools.read_model(tmp_path / f"b{n}.gmm", keywords=True)
        assert [bits(a).tolist() for a in read] == [bits(a).tolist() for a in floats]
        text_twin(tmp_path / f"t{n}.gmm", floats, f"spk{n}")
        assert [bits(a).tolist() for a in gmmtools.read_model(tmp_path / f"t{n}.gmm")] == [bits(a).tolist() for a in read]
        # Each Gaussian constant is that of the file's own variances.
        items = binary_items((tmp_path / f"b{n}.gmm").read_bytes(), order)
        variances = [v[1:] for c, v in items if c == 21]
        constants = [v[0] for c, v in items if c == 24]
        assert len(variances) == len(constants) == M
        for v, c in zip(variances, constants):
            want = D * math.log(2 * math.pi)
            for x in v:
                want += math.log(x)
            assert numpy.float32(want) == numpy.float32(c)
    (tmp_path / "b.lst").write_text("".join(f"b{n}.gmm\n" for n in range(1, 4)))
    (tmp_path / "t.lst").write_text("".join(f"t{n}.gmm\n" for n in range(1, 4)))
    for j in ("1", "0"):
        assert kelvane("--keywords", "-j", j, "b0.gmm", "b.lst", f"b{j}.bin", cwd=tmp_path) == (0, "")
    assert kelvane("t0.gmm", "t.lst", "t.bin", cwd=tmp_path) == (0, "")
    want = (tmp_path / "t.bin").read_bytes()
    assert (tmp_path / "b1.bin").read_bytes() == (tmp_path / "b0.bin").read_bytes() == want
    binary = gmmtools.supervectors(tmp_path / "b0.gmm", [tmp_path / f"b{n}.gmm" for n in range(1, 4)], keywords=True)
    assert binary.tobytes() == want
    for n in range(4):
        for kind, options in (("b", ["--keywords"]), ("t", [])):
            subprocess.run([MORRIT, *options, f"{kind}{n}.gmm", f"{kind}mu", f"{kind}sigma", f"{kind}w"],
                           cwd=tmp_path, check=True)
        for out in ("mu", "sigma", "w"):
            assert (tmp_path / f"b{out}").read_bytes() == (tmp_path / f"t{out}").read_bytes()


@pytest.mark.parametrize("binary", [None, "big", "little"])
def test_a_set_gives_the_models_of_its_files(binary, tmp_path):
    # Random models written one to a file, then as a set: their options in
    # `macros`, every HMM in `hmmdefs`, in a shuffled order.
    rng = numpy.random.default_rng(21 + (binary or "").__len__())
    M, D, N = 6, 5, 9
    names = [f"spk{n:02d}" for n in range(N)] + ["ubm"]
    for name in names:
        model = gmmtools.Model(rng.normal(size=(M, D)), rng.uniform(0.1, 2, (M, D)), rng.dirichlet(numpy.ones(M)))
        gmmtools.write_model(tmp_path / f"{name}.gmm", *model, name=name, binary=binary)
    order = list(rng.permutation(len(names)))
    texts = [(tmp_path / f"{names[k]}.gmm").read_bytes() for k in order]
    head = texts[0][:texts[0].index(b"~h")]
    (tmp_path / "macros").write_bytes(head)
    (tmp_path / "hmmdefs").write_bytes(b"".join(t[t.index(b"~h"):] for t in texts))
    mmf = [tmp_path / "macros", str(tmp_path / "hmmdefs")]

    read = gmmtools.read_models(tmp_path / "hmmdefs")
    assert list(read) == [names[k] for k in order]
    for name in names:
        want = gmmtools.read_model(tmp_path / f"{name}.gmm", keywords=True)
        assert read[name] == want and read[name].name == name and want.name is None
        got = gmmtools.read_model(name, mmf=mmf)
        assert got == want and got.name == name
        assert repr(got) == f"<gmmtools.Model name='{name}' M={M} D={D}>"
        assert pickle.loads(pickle.dumps(got)).name == name
    assert gmmtools.read_header("spk03", mmf=mmf) == gmmtools.read_header(tmp_path / "spk03.gmm", keywords=True)

    listed = [names[k] for k in rng.permutation(N)]
    want = gmmtools.supervectors(tmp_path / "ubm.gmm", [tmp_path / f"{n}.gmm" for n in listed], keywords=True)
    for threads in (1, 0, 3):
        got = gmmtools.supervectors("ubm", (n for n in listed), mmf=(m for m in mmf), threads=threads)
        assert got.tobytes() == want.tobytes()
    blocks = [b for _, b in gmmtools.iter_supervectors("ubm", listed, batch=4, mmf=mmf, sizes_from="spk01")]
    assert numpy.concatenate(blocks).tobytes() == want.tobytes()
    (tmp_path / "names.lst").write_text("".join(n + "\n" for n in listed))
    assert kelvane("-H", "macros", "--mmf=hmmdefs", "ubm", "names.lst", "sv.bin", cwd=tmp_path) == (0, "")
    assert (tmp_path / "sv.bin").read_bytes() == want.tobytes()


def test_a_set_that_cannot_be_used_raises_naming_its_file(tmp_path):
    corpus = SRC / "tests" / "corpus"
    with pytest.raises(gmmtools.ModelError) as e:
        gmmtools.read_model("spk1", mmf=[corpus / "set_twice"])
    assert (str(e.value), e.value.path, e.value.line) == (
        f"{corpus / 'set_twice'}:48: ~h \"spk1\" is defined twice, first at line 4", str(corpus / "set_twice"), 48)
    with pytest.raises(gmmtools.ModelError) as e:
        gmmtools.supervectors(corpus / "set_ubm.gmm", ["spk9"], mmf=[corpus / "set_macros", corpus / "set_undefined"])
    assert (e.value.path, e.value.line) == ("spk9", 15)
    with pytest.raises(gmmtools.ModelError) as e:
        gmmtools.read_model("spk9", mmf=[corpus / "set_macros", corpus / "set_undefined"])
    assert (e.value.path, e.value.line) == (str(corpus / "set_undefined"), 15)
    with pytest.raises(gmmtools.ModelError) as e:
        gmmtools.read_models(corpus / "set_hmmdefs")
    assert str(e.value).endswith(":34: ~v \"shared\" is defined neither in the file nor in the set")
    assert list(gmmtools.read_models(corpus / "base.gmm")) == ["base"]
    # The longest name a symbol may have is found; a longer one is refused.
    for n, found in ((255, True), (256, False)):
        (tmp_path / "long").write_bytes((corpus / "set_hmmdefs").read_bytes().replace(b"spk3", b"x" * n))
        try:
            assert gmmtools.read_model("x" * n, mmf=[corpus / "set_macros", tmp_path / "long"]).name == "x" * n
        except gmmtools.ModelError as e:
            assert not found and str(e).endswith(":47: a symbol longer than 255 characters")
    # The earlier file's path as far as the message's room takes it.
    deep = tmp_path / ("d" * 60) / "hmmdefs"
    deep.parent.mkdir()
    deep.write_bytes((corpus / "set_hmmdefs").read_bytes())
    with pytest.raises(gmmtools.ModelError) as e:
        gmmtools.read_model("spk1", mmf=[deep, corpus / "set_hmmdefs_big"])
    said = str(e.value).split(":3: ", 1)[1]
    assert said.startswith('~h "spk1" is defined twice, first at line 4 of /') and said.endswith("...")
    assert len(said) == 95 and said[:-3] in f'~h "spk1" is defined twice, first at line 4 of {deep}'
    with pytest.raises(FileNotFoundError):
        gmmtools.read_model("spk1", mmf=tmp_path / "none")
    with pytest.raises(IsADirectoryError):
        gmmtools.read_model("spk1", mmf=tmp_path)
    os.mkfifo(tmp_path / "pipe")
    writer = subprocess.Popen(["sh", "-c", f"cat {corpus / 'set_macros'} > {tmp_path / 'pipe'}"])
    with pytest.raises(gmmtools.ModelError) as e:
        gmmtools.read_header("spk1", mmf=[tmp_path / "pipe"])
    writer.wait()
    assert str(e.value) == f"{tmp_path / 'pipe'}: a model set in a file that cannot be read twice (a pipe)"
    with pytest.raises(TypeError) as e:
        gmmtools.read_model("spk1", mmf=3)
    assert str(e.value) == "mmf must be a path or an iterable of paths, not int"
    with pytest.raises(TypeError) as e:
        gmmtools.supervectors("ubm", ["spk1"], mmf=[3])
    assert str(e.value).startswith("every file of mmf must be a path")


def test_gmmgen_writes_binary_sets_in_either_order(tmp_path):
    for order in ("big", "little"):
        (tmp_path / order).mkdir()
        subprocess.run([GMMGEN, f"--binary={order}", tmp_path / order, "8", "6", "5", "9"], check=True)
        assert kelvane("--keywords", f"{order}/ubm.gmm", f"{order}/models.lst", f"{order}.bin", cwd=tmp_path) == (0, "")
    assert (tmp_path / "big.bin").read_bytes() == (tmp_path / "little.bin").read_bytes()
    assert (tmp_path / "big/model0001.gmm").read_bytes() != (tmp_path / "little/model0001.gmm").read_bytes()
    r = subprocess.run([GMMGEN, "--binary=big", tmp_path, "32768", "2", "1"], capture_output=True, text=True)
    assert (r.returncode, r.stderr) == (1, f"{GMMGEN}: M and D must be at most 32767 in binary storage\n")


def cut(path, lines, to):
    to.write_bytes(b"\n".join(path.read_bytes().split(b"\n")[:lines]) + b"\n")
    return to


def test_model_errors_carry_morrits_message_path_and_line(tmp_path):
    model = EXAMPLES / "model0001.gmm"
    text = model.read_text().split("\n")
    text[10] = " 1 2"
    (tmp_path / "few.gmm").write_text("\n".join(text))
    cases = [
        (cut(model, 5, tmp_path / "head.gmm"), "head.gmm:8: invalid model header", 8),
        (cut(model, 30, tmp_path / "short.gmm"), "short.gmm: ends after line 30, 104 lines expected", None),
        (tmp_path / "few.gmm", "few.gmm:11: 2 values, 39 expected", 11),
    ]
    for path, message, line in cases:
        r = subprocess.run([MORRIT, path.name, "mu", "sigma", "w"], cwd=tmp_path, capture_output=True, text=True)
        assert r.stderr == message + "\n"
        with pytest.raises(gmmtools.ModelError) as e:
            gmmtools.read_model(str(path))
        assert isinstance(e.value, ValueError)
        assert str(e.value) == str(path) + message[len(path.name):]
        assert (e.value.path, e.value.line) == (str(path), line)
    # One a caller raises has the same attributes, unset.
    mine = gmmtools.ModelError("a model of my own is wrong")
    assert (str(mine), mine.path, mine.line) == ("a model of my own is wrong", None, None)


def test_huge_sizes_are_memory_errors(tmp_path):
    text = (EXAMPLES / "model0001.gmm").read_text().split("\n")
    text[2], text[7] = "<VECSIZE> 2147483647", "<NUMMIXES> 2147483647"
    (tmp_path / "huge.gmm").write_text("\n".join(text))
    with pytest.raises(MemoryError):
        gmmtools.read_model(tmp_path / "huge.gmm")


def long_list(generated, tmp_path, failing=True):
    """120 models, with a short model at 50 and a missing one at 90."""
    small = generated / "small"
    models = [small / f"model{1 + k % 40:04d}.gmm" for k in range(120)]
    if failing:
        models[50] = cut(small / "model0003.gmm", 100, tmp_path / "short.gmm")
        models[90] = tmp_path / "missing.gmm"
    return small / "ubm.gmm", models


def test_every_thread_count_gives_kelvanes_bytes_and_first_failure(generated, tmp_path):
    for failing in (False, True):
        ubm, models = long_list(generated, tmp_path, failing)
        (tmp_path / "list").write_text("".join(f"{m}\n" for m in models))
        for options in ([], ["--normalize"], ["--check"]):
            status, err = kelvane(*options, ubm, tmp_path / "list", tmp_path / "sv.bin")
            want = numpy.fromfile(tmp_path / "sv.bin", "<f8")
            kw = {"check": "--check" in options, "normalize": "--normalize" in options}
            for threads in (1, 2, 3, 0):
                if not failing:
                    sv = gmmtools.supervectors(ubm, models, threads=threads, **kw)
                    assert status == 0 and numpy.array_equal(bits(sv.ravel()), bits(want))
                    continue
                with pytest.raises(gmmtools.ModelError) as e:
                    gmmtools.supervectors(ubm, models, threads=threads, **kw)
                assert (status, str(e.value) + "\n") == (1, err)
                assert e.value.path == str(models[50]) and e.value.line is None


@pytest.mark.parametrize("seed", [1, 2])
def test_every_thread_count_under_scheduling_stress(generated, tmp_path, seed):
    # Pinned to one CPU, with the threads' order stirred by the stress
    # preload, every thread count gives threads=1's array or exception
    # (tests/gmmtools_run.py compares them): failing models, a pipe without
    # a writer after a failing model, and storage refused while another model
    # is open.  GMM_STRESS_SECONDS=N goes on with further seeds for N seconds.
    ubm, failing = long_list(generated, tmp_path)
    good = long_list(generated, tmp_path, failing=False)[1][:40]
    os.mkfifo(tmp_path / "stuck.gmm")
    rows = [
        (failing, "", f"{failing[50]}: ends after line 100, 392 lines expected"),
        (good[:5] + [tmp_path / "missing.gmm", tmp_path / "stuck.gmm"] + good, "",
         f"{tmp_path / 'missing.gmm'}: FileNotFoundError"),
        (good, "open:ENOMEM:busy", None),
    ]
    soak_end = time.monotonic() + float(os.environ.get("GMM_STRESS_SECONDS", "0"))
    while True:
        for models, fail, error in rows:
            (tmp_path / "list").write_text("".join(f"{m}\n" for m in models))
            env = dict(os.environ, LD_PRELOAD=os.environ["STRESS"], STRESS_SEED=str(seed), STRESS_FAIL=fail,
                       OPENBLAS_NUM_THREADS="1")
            r = subprocess.run([sys.executable, SRC / "tests" / "gmmtools_run.py", ubm, tmp_path / "list",
                                tmp_path / "sv.bin"], env=env, capture_output=True, text=True, timeout=120,
                               preexec_fn=lambda: os.sched_setaffinity(0, {ALL_CPUS[seed % len(ALL_CPUS)]}))
            assert (r.returncode, r.stderr) == ((0, "") if error is None else (1, error + "\n")), f"seed {seed}"
        seed += 2
        if time.monotonic() > soak_end:
            break


def test_large_records_are_kelvanes_bytes(generated, tmp_path):
    # 2048 x 60 records (960 KiB) go from kelvane's slots straight to the file.
    large = generated / "large"
    (tmp_path / "list").write_text(f"{large}/model0002.gmm\n{large}/model0001.gmm\n" * 2)
    for options in ([], ["--normalize"]):
        assert kelvane(*options, large / "ubm.gmm", tmp_path / "list", tmp_path / "sv.bin") == (0, "")
        sv = gmmtools.supervectors(large / "ubm.gmm", gmmtools.read_list(tmp_path / "list"), normalize=bool(options))
        assert (tmp_path / "sv.bin").read_bytes() == sv.tobytes()


def test_out_is_filled_in_place_a_memmap_included(generated, tmp_path):
    ubm, models = long_list(generated, tmp_path, failing=False)
    want = gmmtools.supervectors(ubm, models)
    mm = numpy.lib.format.open_memmap(tmp_path / "sv.npy", "w+", numpy.float64, want.shape)
    assert gmmtools.supervectors(ubm, models, threads=2, out=mm) is mm
    mm.flush()
    del mm
    assert numpy.array_equal(numpy.load(tmp_path / "sv.npy"), want)


def test_a_wrong_out_is_refused_before_any_model_is_read(generated, tmp_path):
    ubm, models = long_list(generated, tmp_path)  # model 90 missing
    shape = (len(models), 64 * 20)
    read_only = numpy.zeros(shape)
    read_only.flags.writeable = False
    for out, says, *dtype in [
        (numpy.zeros((len(models) - 1, shape[1])), "shape"),
        (numpy.zeros(shape, numpy.int64), "dtype"),
        (numpy.zeros(shape, numpy.float32), "dtype says float64", numpy.float64),
        (numpy.zeros(shape, ">f8"), "byte order"),
        (numpy.zeros(shape, order="F"), "C-contiguous"),
        (numpy.zeros((shape[0], 2 * shape[1]))[:, ::2], "C-contiguous"),
        (read_only, "writeable"),
    ]:
        with pytest.raises(ValueError, match=says):
            gmmtools.supervectors(ubm, models, out=out, dtype=dtype[0] if dtype else None)


def test_wrong_calls(tmp_path):
    ubm, model = EXAMPLES / "ubm.gmm", EXAMPLES / "model0001.gmm"
    # No models and no sizes: refused before the UBM is read, by both calls.
    for u in (ubm, tmp_path / "missing.gmm"):
        with pytest.raises(ValueError, match="empty"):
            gmmtools.supervectors(u, [])
        with pytest.raises(ValueError, match="empty"):
            gmmtools.iter_supervectors(u, [], batch=3)
    # A bounded count names both bounds; an unbounded one says "up".
    for threads in (-2, 1025):
        with pytest.raises(ValueError) as e:
            gmmtools.supervectors(ubm, [model], threads=threads)
        assert str(e.value) == "threads must be a whole number from -1 to 1024"
    for batch in (0, -1):
        with pytest.raises(ValueError) as e:
            gmmtools.iter_supervectors(ubm, [model], batch=batch)
        assert str(e.value) == "batch must be a whole number from 1 up"
    with pytest.raises(TypeError):
        gmmtools.supervectors(ubm, str(model))
    with pytest.raises(ValueError, match="null"):
        gmmtools.read_model("a\0b")


def test_iterables_of_any_length_and_calls_of_no_models(generated):
    small = generated / "small"
    ubm, models = small / "ubm.gmm", [small / f"model{k:04d}.gmm" for k in (1, 2, 3)]
    want = gmmtools.supervectors(ubm, models)
    # -1 is every usable CPU, as 0 is.
    assert numpy.array_equal(gmmtools.supervectors(ubm, models, threads=-1), want)
    # A batch larger than the list is the whole list.
    (paths, block), = gmmtools.iter_supervectors(ubm, models, batch=10**20)
    assert paths == models and numpy.array_equal(block, want)
    # An item that is no path is refused wherever it stands, the first too.
    for given in ([None, *models], [models[0], None, models[1]]):
        for sizes in (None, models[0]):
            with pytest.raises(TypeError, match="every item of models must be a path"):
                list(gmmtools.iter_supervectors(ubm, given, batch=10, sizes_from=sizes))
            with pytest.raises(TypeError, match="every item of models must be a path"):
                gmmtools.supervectors(ubm, given, sizes_from=sizes)
    # progress is called once at the end of a call of no models too.
    calls = []
    assert gmmtools.supervectors(ubm, [], sizes_from=models[0], progress=lambda *a: calls.append(a)).shape == (0, 1280)
    assert calls == [(0, 0)]


def test_progress_is_reported_and_its_exceptions_stop_the_call(generated, tmp_path):
    ubm, models = long_list(generated, tmp_path, failing=False)
    calls = []
    gmmtools.supervectors(ubm, models, threads=2, progress=lambda done, total: calls.append((done, total)))
    assert calls[-1] == (len(models), len(models))
    assert all(a[0] < b[0] and a[1] == len(models) for a, b in zip(calls, calls[1:]))

    def refuse(done, total):
        raise RuntimeError("stop here")

    with pytest.raises(RuntimeError, match="stop here"):
        gmmtools.supervectors(ubm, models * 50, progress=refuse)


def on_a_terminal(args, cwd, feed):
    """kelvane's status and the bytes it writes on standard error, a terminal
    (raw: no carriage return added); `feed` runs beside it."""
    master, slave = os.openpty()
    tty.setraw(slave)
    try:
        p = subprocess.Popen([KELVANE, *map(str, args)], stderr=slave, stdout=subprocess.DEVNULL, cwd=cwd)
        os.close(slave)
        slave = -1
        t = threading.Thread(target=feed)
        t.start()
        chunks = []
        while True:
            try:
                b = os.read(master, 4096)
            except OSError:  # EIO: no writer is left
                break
            if not b:
                break
            chunks.append(b)
        t.join()
        return p.wait(timeout=60), b"".join(chunks).decode()
    finally:
        os.close(master)
        if slave >= 0:
            os.close(slave)


@pytest.mark.parametrize("held", [False, True])
def test_progress_on_a_terminal_is_one_line_rewritten(held, tmp_path):
    # A model that is a pipe holds the run past the tenth of a second after
    # which the count is shown; the last count, shorter, blanks out the rest
    # of the one before and ends the line.
    fifo = tmp_path / "held.gmm"
    os.mkfifo(fifo)
    names = [EXAMPLES / "model0001.gmm", fifo if held else EXAMPLES / "model0003.gmm", EXAMPLES / "model0002.gmm"]
    (tmp_path / "list").write_text("".join(f"{n}\n" for n in names))

    def feed():
        time.sleep(0.3)
        if held:
            fifo.write_bytes((EXAMPLES / "model0003.gmm").read_bytes())

    status, err = on_a_terminal(["--progress", EXAMPLES / "ubm.gmm", "list", "out.bin"], tmp_path, feed)
    assert status == 0
    plain = [EXAMPLES / n for n in ("model0001.gmm", "model0003.gmm", "model0002.gmm")]
    assert (tmp_path / "out.bin").read_bytes() == gmmtools.supervectors(EXAMPLES / "ubm.gmm", plain).tobytes()
    shown = err.split("\r")
    assert shown[0] == "" and err.endswith("\n") and err.count("\n") == 1
    lines = [s.rstrip(" \n") for s in shown[1:]]
    if held:
        assert re.fullmatch(r"2 of 3 models, \d+\.\d models/s, 0:00:00 left", lines[0])
    assert len(lines) == 1 + held and re.fullmatch(r"3 of 3 models, \d+\.\d models/s", lines[-1])
    width = 0
    for s, line in zip(shown[1:], lines):
        assert s == line + " " * max(0, width - len(line)) + ("\n" if s is shown[-1] else "")
        width = len(line)


def threads_while_held(fifo, count, expected):
    """Waits until a run has opened the pipe `fifo`, and its thread count
    (`count()`) is at least `expected` (or 30 s have passed); gives the count
    a moment later, then lets the run go on."""
    with open(fifo, "wb") as f:
        deadline = time.monotonic() + 30
        while count() < expected and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(0.2)
        n = count()
        f.write((EXAMPLES / "model0003.gmm").read_bytes())
    return n


ALL_CPUS = sorted(os.sched_getaffinity(0))


@pytest.mark.parametrize("threads, cpus", [("0", ALL_CPUS), ("0", ALL_CPUS[:1]), ("-1", ALL_CPUS), ("3", ALL_CPUS),
                                           ("1", ALL_CPUS)])
def test_a_run_has_the_workers_it_is_given(threads, cpus, tmp_path):
    # 0 (and the module's -1) is one worker per usable CPU.  A listed pipe
    # holds the run with every worker waiting: on the pipe, or for room
    # behind it.  kelvane's own thread is one of its workers; the module's
    # workers are threads of their own.
    workers = len(cpus) if threads in ("0", "-1") else int(threads)
    fifo = tmp_path / "held.gmm"
    os.mkfifo(fifo)
    models = [EXAMPLES / "model0001.gmm", fifo] + [EXAMPLES / "model0002.gmm"] * 40
    (tmp_path / "list").write_text("".join(f"{m}\n" for m in models))
    want = gmmtools.supervectors(EXAMPLES / "ubm.gmm", [models[0], EXAMPLES / "model0003.gmm"] + models[2:])
    if threads != "-1":
        p = subprocess.Popen([KELVANE, "-j", threads, EXAMPLES / "ubm.gmm", "list", "out.bin"], cwd=tmp_path,
                             preexec_fn=lambda: os.sched_setaffinity(0, cpus))
        seen = threads_while_held(fifo, lambda: len(os.listdir(f"/proc/{p.pid}/task")), workers)
        assert (p.wait(timeout=60), seen) == (0, workers)
        assert (tmp_path / "out.bin").read_bytes() == want.tobytes()
    mine = os.sched_getaffinity(0)
    base = len(os.listdir("/proc/self/task"))
    seen = []
    feed = threading.Thread(target=lambda: seen.append(
        threads_while_held(fifo, lambda: len(os.listdir("/proc/self/task")), base + 1 + workers)))
    feed.start()
    try:
        os.sched_setaffinity(0, cpus)
        got = gmmtools.supervectors(EXAMPLES / "ubm.gmm", models, threads=int(threads))
    finally:
        os.sched_setaffinity(0, mine)
        feed.join()
    assert seen == [base + 1 + workers] and numpy.array_equal(bits(got), bits(want))


def test_ctrl_c_stops_a_long_call_and_every_worker(generated, tmp_path):
    # A child runs a call far too long to end by itself while the test waits,
    # and is sent SIGINT once it has reported progress.
    child = textwrap.dedent(
        """
        import sys, threading, gmmtools
        models = [sys.argv[2]] * 2_000_000
        seen = []
        def progress(done, total):
            seen.append(done)  # before the print, which the signal may interrupt
            if len(seen) == 1:
                print("started", flush=True)
        try:
            gmmtools.supervectors(sys.argv[1], models, threads=3, progress=progress)
        except KeyboardInterrupt:
            print("interrupted", seen[-1] < len(models), threading.active_count(), flush=True)
        """
    )
    small = generated / "small"
    p = subprocess.Popen([sys.executable, "-c", child, small / "ubm.gmm", small / "model0001.gmm"],
                         stdout=subprocess.PIPE, text=True)
    try:
        assert p.stdout.readline() == "started\n"
        p.send_signal(signal.SIGINT)
        out, _ = p.communicate(timeout=60)
    finally:
        p.kill()
    assert out == "interrupted True 1\n"


class OnDemand(collections.abc.Sequence):
    """A sequence whose items are new str objects at every access."""

    def __init__(self, paths):
        self.paths = [str(p) for p in paths]

    def __len__(self):
        return len(self.paths)

    def __getitem__(self, k):
        return "".join(list(self.paths[k]))


def test_any_iterable_of_paths_gives_the_lists_array(generated, tmp_path):
    ubm, models = long_list(generated, tmp_path, failing=False)
    (tmp_path / "list").write_text("".join(f"{m}\n" for m in models))
    want = bits(gmmtools.supervectors(ubm, models))
    small = generated / "small"
    for given in [numpy.array([str(m) for m in models]), numpy.loadtxt(tmp_path / "list", dtype=str),
                  (m for m in models), OnDemand(models), [os.fsencode(m) for m in models], map(str, models)]:
        assert numpy.array_equal(bits(gmmtools.supervectors(ubm, given, threads=2)), want), type(given)
    globbed = list(small.glob("model*.gmm"))
    assert numpy.array_equal(gmmtools.supervectors(ubm, small.glob("model*.gmm")), gmmtools.supervectors(ubm, globbed))


def test_paths_in_bytes_that_are_not_utf8_name_their_model(tmp_path):
    text = (EXAMPLES / "model0001.gmm").read_text().split("\n")
    text[10] = " 1 2"
    bad = os.fsencode(tmp_path) + b"/bad\xff.gmm"
    with open(bad, "w") as f:
        f.write("\n".join(text))
    for call in (lambda: gmmtools.read_model(bad),
                 lambda: gmmtools.supervectors(EXAMPLES / "ubm.gmm", [EXAMPLES / "model0001.gmm", bad])):
        with pytest.raises(gmmtools.ModelError) as e:
            call()
        assert (e.value.path, e.value.line, str(e.value)) == (bad, 11, os.fsdecode(bad) + ":11: 2 values, 39 expected")


def test_a_pipe_waiting_for_its_writer_holds_no_other_thread(tmp_path):
    # A child reads a list that is a pipe: another thread runs while the
    # open waits; a signal whose handler returns lets the open go on; Ctrl-C
    # ends it.
    child = textwrap.dedent("""
        import signal, sys, threading, time, gmmtools
        ticks, reading = [], True
        def tick():
            while reading:
                ticks.append(1)
                time.sleep(0.001)
        t = threading.Thread(target=tick)
        t.start()
        print("waiting", flush=True)
        print(gmmtools.read_list(sys.argv[1]), len(ticks) > 50, flush=True)
        reading = False
        t.join()
        signal.signal(signal.SIGUSR1, lambda *a: print("usr1", flush=True))
        print("waiting", flush=True)
        print(gmmtools.read_list(sys.argv[1]), flush=True)
        try:
            print("waiting", flush=True)
            gmmtools.read_list(sys.argv[1])
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        """)
    fifo = tmp_path / "list"
    os.mkfifo(fifo)
    p = subprocess.Popen([sys.executable, "-c", child, fifo], stdout=subprocess.PIPE, text=True)
    timer = deadline(p, fifo)
    timer.start()
    try:
        assert p.stdout.readline() == "waiting\n"
        time.sleep(0.3)
        fifo.write_text("a.gmm\n")
        assert p.stdout.readlines(1) == ["['a.gmm'] True\n"]
        assert p.stdout.readline() == "waiting\n"
        time.sleep(0.2)
        p.send_signal(signal.SIGUSR1)
        assert p.stdout.readline() == "usr1\n"
        fifo.write_text("b.gmm\n")
        assert p.stdout.readline() == "['b.gmm']\n"
        assert p.stdout.readline() == "waiting\n"
        time.sleep(0.2)
        p.send_signal(signal.SIGINT)
        assert p.communicate()[0] == "interrupted\n"
    finally:
        timer.cancel()
        p.kill()


def test_a_progress_error_at_the_end_keeps_the_runs_own(generated, tmp_path):
    small = generated / "small"
    short = cut(small / "model0003.gmm", 100, tmp_path / "short.gmm")

    def refuse(done, total):
        raise RuntimeError("progress")

    with pytest.raises(RuntimeError) as e:
        gmmtools.supervectors(small / "ubm.gmm", [small / "model0001.gmm", short], progress=refuse)
    assert isinstance(e.value.__context__, gmmtools.ModelError) and e.value.__context__.path == str(short)


# Where a call that should raise would otherwise write: nowhere.
NOWHERE = "/nonexistent/folder/m.gmm"


@pytest.mark.parametrize("call, says", [
    (lambda u, m: gmmtools.supervectors(3, [m]), "ubm must be a path"),
    (lambda u, m: gmmtools.supervectors(u, 3), "models must be an iterable of paths, not int"),
    (lambda u, m: gmmtools.supervectors(u, [m, 3]), "every item of models must be a path"),
    (lambda u, m: gmmtools.supervectors(u, str(m)), "models must be an iterable of paths, not one path"),
    (lambda u, m: gmmtools.supervectors(u, [m], threads="2"), "threads must be an int, not str"),
    (lambda u, m: gmmtools.supervectors(u, [m], progress=3), "progress must be callable"),
    (lambda u, m: gmmtools.supervectors(u, [m], out=[[0.0]]), "out must be a numpy.ndarray"),
    (lambda u, m: gmmtools.iter_supervectors(u, [m], batch=1.5), "batch must be an int"),
    (lambda u, m: gmmtools.read_model(None), "path must be a path"),
    (lambda u, m: gmmtools.write_model(m, "x", [[1.0]], [1.0]), "means must be an array of real numbers"),
    (lambda u, m: gmmtools.write_model(NOWHERE, [[1j]], [[1.0]], [1.0]), "means must be an array of real numbers"),
    (lambda u, m: gmmtools.write_model(NOWHERE, [[1.0]], [["2.5"]], [1.0]), "variances must be an array of real numbers"),
    (lambda u, m: gmmtools.write_model(NOWHERE, [[1.0]], [[1.0]], None), "weights must be an array of real numbers"),
    (lambda u, m: gmmtools.Model(None, [[1.0]], [1.0]), "means must be an array of real numbers"),
    (lambda u, m: gmmtools.Model([[1.0]], [[1.0]], [1.0], name=b"x"), "name must be a str or None, not bytes"),
    (lambda u, m: gmmtools.write_model(NOWHERE, [[1.0]], [[1.0]], [1.0], name=3), "name must be a str"),
    (lambda u, m: gmmtools.write_model(NOWHERE, [[1.0]], [[1.0]], [1.0], kind=3), "kind must be a str"),
    (lambda u, m: gmmtools.supervectors(u, [m], dtype=3), "dtype must be numpy.float64 or numpy.float32"),
    (lambda u, m: gmmtools.supervectors(u, [m], check=None), "check must be a bool"),
    (lambda u, m: gmmtools.supervectors(u, [m], check="no"), "check must be a bool"),
    (lambda u, m: gmmtools.iter_supervectors(u, [m], batch=1, keywords=1), "keywords must be a bool"),
    (lambda u, m: gmmtools.supervectors(u, [m], normalize=None), "normalize must be a bool"),
    (lambda u, m: gmmtools.read_model(m, check=[]), "check must be a bool"),
    (lambda u, m: gmmtools.read_header(m, keywords="yes"), "keywords must be a bool"),
    (lambda u, m: gmmtools.supervectors(u, [m], out=numpy.ma.zeros((1, 624))), "out must be a numpy.ndarray"),
])
def test_wrong_types_are_one_line_type_errors_naming_the_argument(call, says):
    with pytest.raises(TypeError) as e:
        call(EXAMPLES / "ubm.gmm", EXAMPLES / "model0001.gmm")
    assert str(e.value).startswith(says) and "\n" not in str(e.value)


def test_flags_take_numpys_bools():
    model = EXAMPLES / "model0001.gmm"
    assert gmmtools.read_model(model, check=numpy.bool_(False), keywords=numpy.True_) == gmmtools.read_model(model)


def test_checked_by_default_float32_headers_sizes_and_shapes(generated, tmp_path):
    small = generated / "small"
    ubm, m1 = small / "ubm.gmm", small / "model0001.gmm"
    model = gmmtools.read_model(m1)
    gmmtools.write_model(tmp_path / "d21.gmm", numpy.hstack([model.means, model.means[:, :1]]),
                         numpy.hstack([model.variances, model.variances[:, :1]]), model.weights)
    both = [m1, tmp_path / "d21.gmm"]
    (tmp_path / "list").write_text("".join(f"{m}\n" for m in both))
    with pytest.raises(gmmtools.ModelError, match=r"d21.gmm:3: vector size 21, 20 expected$"):
        gmmtools.supervectors(ubm, both)
    assert kelvane(ubm, tmp_path / "list", tmp_path / "sv.bin") == (0, "")
    sv = gmmtools.supervectors(ubm, both, check=False)
    assert sv.tobytes() == (tmp_path / "sv.bin").read_bytes()
    assert gmmtools.read_header(m1) == (20, 64)
    # float32: each value rounded once from the double, into a new array or out.
    sv = gmmtools.supervectors(ubm, [m1, m1], check=False)
    for out in (None, numpy.zeros((2, 64, 20), numpy.float32)):
        got = gmmtools.supervectors(ubm, [m1, m1], dtype=numpy.float32, out=out)
        assert got.dtype == numpy.float32 and numpy.array_equal(bits32(got.reshape(2, -1)), bits32(sv.astype(numpy.float32)))
    out = numpy.zeros((2, 64, 20))
    assert gmmtools.supervectors(ubm, [m1, m1], out=out) is out and numpy.array_equal(out.reshape(2, -1), sv)
    assert gmmtools.supervectors(ubm, [], sizes_from=m1).shape == (0, 64 * 20)


def bits32(a):
    return numpy.ascontiguousarray(a).view(numpy.uint32)


@pytest.mark.parametrize("dtype", [numpy.float64, numpy.float32])
def test_npy_files_are_what_numpy_saves_of_the_modules_array(dtype, generated, tmp_path):
    small = generated / "small"
    ubm, models = small / "ubm.gmm", [small / f"model{1 + k % 40:04d}.gmm" for k in range(57)]
    single = ["--float32"] if dtype == numpy.float32 else []
    for listed in (models, models[:1], []):
        (tmp_path / "list").write_text("".join(f"{m}\n" for m in listed) + "\n")
        sizes = ["--sizes-from", models[0]]
        assert kelvane("--npy", *single, *sizes, ubm, tmp_path / "list", tmp_path / "sv.npy") == (0, "")
        assert kelvane(*single, *sizes, ubm, tmp_path / "list", tmp_path / "sv.raw") == (0, "")
        want = gmmtools.supervectors(ubm, listed, dtype=dtype, sizes_from=models[0])
        saved = tmp_path / "want.npy"
        numpy.save(saved, want)
        assert (tmp_path / "sv.npy").read_bytes() == saved.read_bytes()
        # The records follow the header as the raw file holds them.
        assert (tmp_path / "sv.npy").read_bytes().endswith((tmp_path / "sv.raw").read_bytes())
        loaded = numpy.load(tmp_path / "sv.npy", mmap_mode="r")
        assert loaded.shape == (len(listed), 64 * 20) and loaded.dtype == dtype
        assert numpy.array_equal(bits32(loaded) if dtype == numpy.float32 else bits(loaded),
                                 bits32(want) if dtype == numpy.float32 else bits(want))
        del loaded
        # The module fills such a file in place with the same values.
        out = numpy.load(tmp_path / "want.npy", mmap_mode="r+")
        out[...] = 0
        gmmtools.supervectors(ubm, listed, threads=2, out=out, sizes_from=models[0])
        out.flush()
        del out
        assert saved.read_bytes() == (tmp_path / "sv.npy").read_bytes()


@pytest.mark.parametrize("batch", [1, 7, 50, 200])
def test_iter_supervectors_gives_supervectors_in_blocks_failures_included(generated, tmp_path, batch):
    for failing in (False, True):
        ubm, models = long_list(generated, tmp_path, failing)
        blocks, error = [], None
        try:
            for paths, block in gmmtools.iter_supervectors(ubm, iter(models), batch=batch, threads=2):
                assert paths == models[len(blocks) * batch:][:batch]
                blocks.append(block)
        except gmmtools.ModelError as e:
            error = str(e)
        if not failing:
            assert numpy.array_equal(numpy.concatenate(blocks), gmmtools.supervectors(ubm, models))
            continue
        assert error is not None and len(blocks) == 50 // batch
        want = gmmtools.supervectors(ubm, models[:len(blocks) * batch]) if blocks else None
        assert not blocks or numpy.array_equal(numpy.concatenate(blocks), want)


def test_written_models_are_read_back_by_the_module_and_the_programs(tmp_path):
    rng = numpy.random.default_rng(5)
    ubm = gmmtools.Model(rng.normal(size=(8, 5)), rng.uniform(0.1, 2, (8, 5)), rng.dirichlet(numpy.ones(8)))
    model = gmmtools.Model(ubm.means + rng.normal(scale=0.1, size=(8, 5)), ubm.variances, ubm.weights)
    assert repr(model) == "<gmmtools.Model M=8 D=5>" and (model.M, model.D) == (8, 5) and model != ubm
    for name, m in (("ubm", ubm), ("m", model)):
        gmmtools.write_model(tmp_path / f"{name}.gmm", *m, name=name)
    printed = [numpy.vectorize(lambda x: float("%e" % x))(a) for a in model]
    assert gmmtools.read_model(tmp_path / "m.gmm") == gmmtools.Model(*printed)
    (tmp_path / "list").write_text("m.gmm\n")
    assert kelvane("ubm.gmm", "list", "sv.bin", cwd=tmp_path) == (0, "")
    assert (tmp_path / "sv.bin").read_bytes() == gmmtools.supervectors(tmp_path / "ubm.gmm", [tmp_path / "m.gmm"]).tobytes()
    subprocess.run([MORRIT, "m.gmm", "mu", "sigma", "w"], cwd=tmp_path, check=True)
    assert (tmp_path / "w").read_text() == " ".join("%e" % w for w in model.weights)
    sklearn = pytest.importorskip("sklearn.mixture")
    gm = sklearn.GaussianMixture(4, covariance_type="diag", random_state=0).fit(rng.normal(size=(200, 3)))
    gmmtools.write_model(tmp_path / "sk.gmm", gm.means_, gm.covariances_, gm.weights_)
    read = gmmtools.read_model(tmp_path / "sk.gmm")
    assert read == gmmtools.Model(*[numpy.vectorize(lambda x: float("%e" % x))(a)
                                    for a in (gm.means_, gm.covariances_, gm.weights_)])


@pytest.mark.parametrize("change, says", [
    (dict(D=720, value=-1.2345678e-300), "a values line of these 720 dimensions would be 10800 characters"),
    (dict(D=667, value=-1.2345678e-300), "a values line of these 667 dimensions would be 10005 characters"),
    (dict(name="a" * 256), "name must be at most 255 bytes"),
    (dict(name="spk\0"), "name must be at most 255 bytes"),
    (dict(name='say "hi"'), "name must be at most 255 bytes"),
    (dict(name="a\x01b"), "name must be at most 255 bytes"),
    (dict(name="é" * 128), "name must be at most 255 bytes"),
    (dict(kind="FULLC"), "kind must be a parameter kind"),
    (dict(kind="MEAN"), "kind must be a parameter kind"),
    (dict(kind="MFCC_EE"), "kind must be a parameter kind"),
    (dict(kind=""), "kind must be a parameter kind"),
    # What the readers take back is written.
    (dict(D=720, value=1.0), None),
    (dict(D=666, value=-1.2345678e-300), None),
    # 769 values of "1.000000e+00" and k of "-1.000000e+00": 9,997 + k characters.
    (dict(D=769, negatives=1), None),
    (dict(D=769, negatives=2), "a values line of these 769 dimensions would be 9999 characters"),
    (dict(name="a" * 255), None),
    (dict(name="spk\udcff"), None),
    (dict(name="a b\tc"), None),
    (dict(kind="MFCC_E_D_A_Z_0"), None),
    # Binary storage: no lines, 16-bit counts.
    (dict(D=32768, binary="big"), "binary storage holds counts of at most 32767, not 2 components of 32768"),
    (dict(M=32768, binary="little"), "binary storage holds counts of at most 32767, not 32768 components of 3"),
    (dict(binary="native"), "binary='native': None, 'big' or 'little' expected"),
    (dict(D=720, value=-1.2345678e-300, binary="little"), None),
    (dict(D=32767, binary="big"), None),
    (dict(M=32767, binary="little"), None),
])
def test_write_model_writes_only_what_the_readers_take(change, says, tmp_path):
    D, value, negatives = change.pop("D", 3), change.pop("value", 0.5), change.pop("negatives", 0)
    M = change.pop("M", 2)
    path = tmp_path / "m.gmm"
    means = numpy.full((M, D), 1.0 if negatives else value)
    means[0, :negatives] = -1
    args = (path, means, numpy.full((M, D), abs(value)), [0.25, 0.75] if M == 2 else numpy.full(M, 1 / M))
    if says is not None:
        with pytest.raises(ValueError, match=says):
            gmmtools.write_model(*args, **change)
        assert not path.exists()
        return
    gmmtools.write_model(*args, **change)
    floats = [numpy.float32(a).astype(numpy.float64) for a in args[1:]]
    assert gmmtools.read_model(path, keywords=True) == (gmmtools.Model(*floats) if "binary" in change
                                                        else gmmtools.read_model(path))
    assert f'~h "{change.get("name", "gmm")}"'.encode("utf-8", "surrogateescape") in path.read_bytes()
    (tmp_path / "list").write_text("m.gmm\n")
    assert kelvane("--keywords", "m.gmm", "list", "sv.bin", cwd=tmp_path) == (0, "")


def test_write_model_into_a_pipe_gives_the_file_once_whatever_the_signals(generated, tmp_path):
    # A child writes a model into a pipe that this process drains slowly,
    # while a timer's signal, whose handler returns, comes every 3 ms.
    child = textwrap.dedent("""
        import signal, sys, gmmtools
        model = gmmtools.read_model(sys.argv[1])
        signal.signal(signal.SIGALRM, lambda *a: None)
        signal.setitimer(signal.ITIMER_REAL, 0.003, 0.003)
        gmmtools.write_model(sys.argv[2], *model)
        signal.setitimer(signal.ITIMER_REAL, 0)
        gmmtools.write_model(sys.argv[3], *model)
        """)
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    p = subprocess.Popen([sys.executable, "-c", child, generated / "large/model0001.gmm", fifo, tmp_path / "file.gmm"])
    timer = deadline(p, fifo)
    timer.start()
    got = []
    try:
        with open(fifo, "rb") as f:
            while chunk := f.read(16384):
                got.append(chunk)
                time.sleep(0.002)
        assert p.wait() == 0
    finally:
        timer.cancel()
        p.kill()
    assert b"".join(got) == (tmp_path / "file.gmm").read_bytes() and len(got) > 20


def test_write_model_with_standard_input_closed(tmp_path):
    # The file may be given descriptor 0.
    child = "import sys, gmmtools; gmmtools.write_model(sys.argv[1], [[1.0]], [[2.0]], [1.0]); print('written')"
    r = subprocess.run(f'exec 0<&-; exec "{sys.executable}" -c "{child}" "{tmp_path / "m.gmm"}"', shell=True,
                       capture_output=True, text=True, timeout=60)
    assert (r.returncode, r.stdout, r.stderr) == (0, "written\n", "")
    assert gmmtools.read_model(tmp_path / "m.gmm") == gmmtools.Model([[1.0]], [[2.0]], [1.0])


@pytest.mark.parametrize("path, error", [("/dev/full", errno.ENOSPC), ("no/such/folder/m.gmm", errno.ENOENT)])
def test_write_model_raises_the_os_error_of_its_path(path, error, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(OSError) as e:
        gmmtools.write_model(path, [[1.0]], [[2.0]], [1.0])
    assert (e.value.errno, e.value.filename) == (error, path)


@pytest.mark.parametrize("binary", [None, "little"])
def test_write_model_raises_the_error_its_close_reports(binary, tmp_path):
    # As a network file system reports, at the close, a write it could not make.
    code = ("import sys, gmmtools\ntry:\n"
            f"  gmmtools.write_model('m.gmm', [[1.0]], [[2.0]], [1.0], binary={binary!r})\n"
            "except OSError as e:\n  print(e.errno, e.filename)\n")
    r = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=60,
                       env=dict(os.environ, LD_PRELOAD=os.environ["STRESS"], STRESS_FAIL="close:EIO"))
    assert (r.returncode, r.stdout, r.stderr) == (0, f"{errno.EIO} m.gmm\n", "")


def test_a_reader_the_module_does_not_have_refuses_the_import():
    r = subprocess.run([sys.executable, "-c", "import gmmtools"], env=dict(os.environ, GMM_SCAN="avx512"),
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 1
    assert r.stderr.splitlines()[-1] == "ImportError: GMM_SCAN=avx512: scalar, sse4 or avx2 expected"


@pytest.mark.parametrize("call", ["supervectors(ubm, models, threads=1)", "supervectors(ubm, models, threads=3)",
                                  "list(gmmtools.iter_supervectors(ubm, models, batch=10, threads=2))"])
def test_ctrl_c_ends_a_call_waiting_on_a_pipe_without_a_writer(call, generated, tmp_path):
    # A child's call reaches a listed pipe that no one writes, and Ctrl-C
    # comes from a helper thread while its open waits.
    child = textwrap.dedent(f"""
        import os, signal, sys, threading, gmmtools
        from gmmtools import supervectors
        ubm, models = sys.argv[1], sys.argv[2:]
        threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            {call}
        except KeyboardInterrupt:
            print("interrupted", threading.active_count(), flush=True)
        """)
    small = generated / "small"
    fifo = tmp_path / "pipe.gmm"
    os.mkfifo(fifo)
    p = subprocess.Popen([sys.executable, "-c", child, small / "ubm.gmm", small / "model0001.gmm", fifo,
                          small / "model0002.gmm"], stdout=subprocess.PIPE, text=True)
    try:
        out, _ = p.communicate(timeout=30)
    finally:
        p.kill()
    assert out == "interrupted 1\n"


def test_models_functions_and_errors_pickle_and_go_through_a_process_pool(tmp_path):
    paths = [EXAMPLES / f"model000{k}.gmm" for k in (1, 2, 3)]
    models = [gmmtools.read_model(p) for p in paths]
    assert pickle.loads(pickle.dumps(models[0])) == models[0]
    for f in (gmmtools.read_model, gmmtools.read_list, gmmtools.read_header, gmmtools.supervectors,
              gmmtools.iter_supervectors, gmmtools.write_model):
        assert pickle.loads(pickle.dumps(f)) is f
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        assert pool.map(gmmtools.read_model, paths) == models
        with pytest.raises(gmmtools.ModelError) as e:
            pool.map(gmmtools.read_model, [cut(paths[0], 30, tmp_path / "short.gmm")])
    assert (e.value.path, e.value.line) == (str(tmp_path / "short.gmm"), None)


def test_the_package_is_typed_and_documented():
    package = Path(gmmtools.__file__).parent
    assert (package / "py.typed").exists() and (package / "_gmmtools.pyi").exists()
    for name in gmmtools.__all__[:-1]:
        f = getattr(gmmtools, name)
        assert f.__doc__ and len(f.__doc__) > 40, name
        if callable(f) and not isinstance(f, type):
            inspect.signature(f)
            assert not re.search(r"\b(handle|sequence|object)\b", pydoc.render_doc(f)), name
    stubs = (package / "__init__.pyi").read_text()
    assert all(re.search(rf"\b{name}\b", stubs) for name in gmmtools.__all__), stubs
    # Each function's stub takes the function's parameters.
    for node in ast.parse(stubs).body:
        if isinstance(node, ast.FunctionDef) and node.name in gmmtools.__all__:
            stubbed = [a.arg for a in node.args.posonlyargs + node.args.args + node.args.kwonlyargs]
            assert stubbed == list(inspect.signature(getattr(gmmtools, node.name)).parameters), node.name
    version = (SRC / "CMakeLists.txt").read_text().split("project(gmmtools VERSION ")[1].split()[0]
    assert gmmtools.__version__ == version


@pytest.mark.skipif(os.environ.get("GMMTOOLS_PIP") != "1", reason="the pip check runs once, from the build's tests")
def test_pip_installs_offline_into_a_venv(tmp_path):
    venv = tmp_path / "venv"
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", venv], check=True)
    py = venv / "bin" / "python"
    subprocess.run([py, "-m", "pip", "install", "--no-build-isolation", "--no-index", "--quiet", SRC],
                   check=True, cwd=tmp_path, env=env)
    r = subprocess.run(
        [py, "-c", "import gmmtools, importlib.metadata as m; print(gmmtools.__file__, gmmtools.__version__, "
         "m.version('gmmtools'), gmmtools.read_model(%r).means.shape)" % str(EXAMPLES / "model0001.gmm")],
        capture_output=True, text=True, check=True, cwd=tmp_path, env=env)
    where, version, recorded, shape = r.stdout.split(" ", 3)
    assert where.startswith(str(venv)) and version == recorded == gmmtools.__version__
    assert shape.strip() == "(16, 39)"
