"""The Python module's benchmark, run by bench after the programs' rows:

    python_bench.py WORKDIR RUNS KELVANE

On the workloads bench generated in WORKDIR, in alternating rounds (medians
of RUNS), after checking each pair gives the same values bit for bit:
- read_model on the 2048 x 60 model against a plain pure-Python reader of
  the same layout (lines split, float() per value, numpy.array);
- supervectors(threads=0) on the UBM + 100 models of 1024 x 60 against
  `kelvane -j 0` followed by numpy.fromfile, and against itself in batches
  (iter_supervectors) and in float32;
the instructions a mean value costs the module and kelvane (callgrind), and
the most anonymous memory a supervectors call with out= a memmap adds, for
100 and for 1000 models (the memmap's own pages are the file's).
"""
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import numpy

import gmmtools

work, runs, kelvane = sys.argv[1], int(sys.argv[2]), sys.argv[3]
k1024 = os.path.join(work, "k1024")
ubm, listed = os.path.join(k1024, "ubm.gmm"), os.path.join(k1024, "models.lst")
models = gmmtools.read_list(listed)


def plain_read(path):
    """The pure-Python reader users write: by line position, float() per value."""
    with open(path) as f:
        lines = f.read().split("\n")
    D = int(lines[2].split()[1].split("<")[0])
    M = int(lines[7].split()[1])
    w = numpy.array([float(lines[8 + 6 * k].split()[2]) for k in range(M)])
    mu = numpy.array([[float(t) for t in lines[10 + 6 * k].split()[:D]] for k in range(M)])
    var = numpy.array([[float(t) for t in lines[12 + 6 * k].split()[:D]] for k in range(M)])
    return mu, var, w


def alternate(calls):
    """Median seconds of each callable over `runs` alternating rounds."""
    times = [[] for _ in calls]
    for _ in range(runs):
        for k, f in enumerate(calls):
            t0 = time.perf_counter()
            f()
            times[k].append(time.perf_counter() - t0)
    return [statistics.median(t) for t in times]


def same_bits(a, b):
    return numpy.array_equal(numpy.ascontiguousarray(a).view(numpy.uint64), numpy.ascontiguousarray(b).view(numpy.uint64))


def row(name, seconds, mb, base):
    print("    %-36s %9.4f s %9.1f MB/s %8.2fx" % (name, seconds, mb / seconds, base / seconds))


def anon_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1])


def added_anon_kib(n, threads):
    """The most anonymous memory a call with out= a memmap of n rows adds."""
    with tempfile.NamedTemporaryFile(dir=work) as f:
        mm = numpy.lib.format.open_memmap(f.name, "w+", numpy.float64, (n, 1024 * 60))
        base, peak, running = anon_kib(), [0], [True]

        def sample():
            while running[0]:
                peak[0] = max(peak[0], anon_kib())
                time.sleep(0.001)

        t = threading.Thread(target=sample)
        t.start()
        gmmtools.supervectors(ubm, (models * (n // len(models) + 1))[:n], threads=threads, out=mm)
        running[0] = False
        t.join()
        del mm
        return max(peak[0] - base, 0)


def fresh(n, threads):
    """added_anon_kib in a process of its own."""
    return subprocess.run([sys.executable, __file__, work, "1", kelvane, str(n), str(threads)], check=True,
                          capture_output=True, text=True).stdout.strip()


if len(sys.argv) == 6:
    print(added_anon_kib(int(sys.argv[4]), int(sys.argv[5])))
    sys.exit()

print("gmmtools (Python %d.%d, numpy %s)" % (sys.version_info[:2] + (numpy.__version__,)))

model = os.path.join(work, "m2048", "model0001.gmm")
m, (mu, var, w) = gmmtools.read_model(model), plain_read(model)
assert same_bits(m.means, mu) and same_bits(m.variances, var) and same_bits(m.weights, w)
mb = os.path.getsize(model) / 1e6
plain, ours = alternate([lambda: plain_read(model), lambda: gmmtools.read_model(model)])
assert gmmtools.read_model(model, keywords=True) == m
by_keywords = alternate([lambda: gmmtools.read_model(model), lambda: gmmtools.read_model(model, keywords=True)])[1]
print("  read_model, 2048 x 60 (%.1f MB)" % mb)
row("pure Python (split, float, array)", plain, mb, plain)
row("gmmtools.read_model", ours, mb, plain)
row("gmmtools.read_model(keywords=True)", by_keywords, mb, plain)

out = os.path.join(work, "out.python.sv")


def with_kelvane():
    subprocess.run([kelvane, "-j", "0", ubm, listed, out], check=True)
    return numpy.fromfile(out, "<f8").reshape(len(models), -1)


assert same_bits(with_kelvane(), gmmtools.supervectors(ubm, models, threads=0))
mb = (os.path.getsize(ubm) + sum(os.path.getsize(p) for p in models)) / 1e6
k, ours = alternate([with_kelvane, lambda: gmmtools.supervectors(ubm, models, threads=0)])
print("  supervectors, UBM + 100 models of 1024 x 60 (%.0f MB), every usable CPU" % mb)
row("kelvane -j 0 + numpy.fromfile", k, mb, k)
row("gmmtools.supervectors(threads=0)", ours, mb, k)

full = gmmtools.supervectors(ubm, models, threads=0)
assert same_bits(numpy.concatenate([b for _, b in gmmtools.iter_supervectors(ubm, models, batch=10, threads=0)]), full)
assert same_bits(gmmtools.supervectors(ubm, models, threads=0, dtype=numpy.float32).view(numpy.uint32),
                 full.astype(numpy.float32).view(numpy.uint32))
assert same_bits(gmmtools.supervectors(ubm, models, threads=0, keywords=True), full)
whole, batched, single, by_keywords = alternate([
    lambda: gmmtools.supervectors(ubm, models, threads=0),
    lambda: [b.sum() for _, b in gmmtools.iter_supervectors(ubm, models, batch=10, threads=0)],
    lambda: gmmtools.supervectors(ubm, models, threads=0, dtype=numpy.float32),
    lambda: gmmtools.supervectors(ubm, models, threads=0, keywords=True),
])
print("  the same, in batches, in float32 and read by keywords")
row("supervectors(threads=0)", whole, mb, whole)
row("iter_supervectors(batch=10), each summed", batched, mb, whole)
row("supervectors(dtype=float32)", single, mb, whole)
row("supervectors(keywords=True)", by_keywords, mb, whole)


def instructions(argv, env=None):
    """The instructions a run executes, counted by callgrind; None without valgrind."""
    try:
        r = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *argv],
                           capture_output=True, text=True, env=env)
    except FileNotFoundError:
        return None
    return int(r.stderr.split("Collected : ")[1].split()[0])


# Per mean value of a model: the difference between UBM + 20 and UBM + 10
# models, so that the interpreter's start and the UBM cancel out.
lists = {}
for n in (10, 20):
    lists[n] = os.path.join(work, f"first{n}.python.lst")
    with open(lists[n], "w") as f:
        f.writelines(p + "\n" for p in models[:n])
call = "import sys, gmmtools; gmmtools.supervectors(sys.argv[1], gmmtools.read_list(sys.argv[2]), threads=1, check=False)"
env = dict(os.environ, PYTHONHASHSEED="0")
counts = {n: (instructions([kelvane, ubm, lists[n], out]), instructions([sys.executable, "-c", call, ubm, lists[n]], env))
          for n in (10, 20)}
if counts[10][0] is not None:
    values = 10 * 1024 * 60
    k, py = ((counts[20][i] - counts[10][i]) / values for i in (0, 1))
    print("  instructions a mean value (callgrind, UBM + 20 less UBM + 10 models of 1024 x 60, one thread):")
    print("    kelvane %.1f, gmmtools.supervectors %.1f (%.1f%% more)" % (k, py, 100 * (py / k - 1)))

print("  supervectors(out=memmap): the most anonymous memory a call adds (1024 x 60; a matrix is 480 KiB)")
for threads in (1, 0):
    print("    threads=%d: %s KiB for 100 models, %s KiB for 1000" % (threads, fresh(100, threads), fresh(1000, threads)))
