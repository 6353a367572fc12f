"""pytest on the gmmtools module as Python imports it (from the build folder,
an installed package, or a venv made with pip).

Run by ctest with the paths of the programs and of gmmgen in the environment:
KELVANE, MORRIT, GMMGEN, and SOURCE_DIR.
"""
import ctypes
import gc
import os
import signal
import subprocess
import sys
import textwrap
import time
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
            kw = {o[2:]: True for o in options}
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
                               preexec_fn=lambda: os.sched_setaffinity(0, {0}))
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
    for out, says in [
        (numpy.zeros((len(models) - 1, shape[1])), "shape"),
        (numpy.zeros(shape, numpy.float32), "dtype"),
        (numpy.zeros(shape, ">f8"), "byte order"),
        (numpy.zeros(shape, order="F"), "C-contiguous"),
        (numpy.zeros((shape[0], 2 * shape[1]))[:, ::2], "C-contiguous"),
        (read_only, "writeable"),
        ([[0.0] * shape[1]] * shape[0], "numpy.ndarray"),
    ]:
        with pytest.raises(ValueError, match=says):
            gmmtools.supervectors(ubm, models, out=out)


def test_wrong_calls(tmp_path):
    ubm, model = EXAMPLES / "ubm.gmm", EXAMPLES / "model0001.gmm"
    with pytest.raises(ValueError, match="empty"):
        gmmtools.supervectors(ubm, [])
    for threads in (-1, 1025):
        with pytest.raises(ValueError, match="threads"):
            gmmtools.supervectors(ubm, [model], threads=threads)
    with pytest.raises(TypeError):
        gmmtools.supervectors(ubm, str(model))
    with pytest.raises(ValueError, match="null"):
        gmmtools.read_model("a\0b")


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


def test_the_package_is_typed_and_documented():
    package = Path(gmmtools.__file__).parent
    assert (package / "py.typed").exists() and (package / "_gmmtools.pyi").exists()
    for f in (gmmtools.read_model, gmmtools.read_list, gmmtools.supervectors, gmmtools.ModelError, gmmtools.Model):
        assert f.__doc__ and len(f.__doc__) > 40
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
