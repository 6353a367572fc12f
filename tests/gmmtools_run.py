"""kelvane's call over gmmtools.supervectors, for kelvane's end-to-end cases.

    gmmtools_run.py [-j N] [--check] [--normalize] [--keywords] [--progress] UBM LIST OUT

Runs supervectors on the models read_list finds in LIST, at N threads, or at
1, 2, 3, 8 and 0 when no -j is given, and requires the same array, or the same
exception, from every count.  On success the array's bytes go to OUT.  A
failure is one line on standard error and status 1: a ModelError's text, an
OSError's "<filename>: <class>", or the exception's class name.
"""
import sys

import numpy

import gmmtools

args = sys.argv[1:]
counts, options, progress = [1, 2, 3, 8, 0], {"check": False}, None
while len(args) > 3:
    a = args.pop(0)
    if a == "-j":
        counts = [int(args.pop(0))]
    elif a in ("--check", "--normalize", "--keywords"):
        options[a[2:]] = True
    elif a == "--progress":
        progress = []
    else:
        sys.exit(f"unknown option {a}")
ubm, listed, out = args
models = gmmtools.read_list(listed)


def attempt(threads):
    calls = [] if progress is not None else None
    report = None if calls is None else (lambda done, total: calls.append((done, total)))
    try:
        sv = gmmtools.supervectors(ubm, models, threads=threads, progress=report, **options)
    except gmmtools.ModelError as e:
        assert str(e).startswith(str(e.path)), (e, e.path)
        return None, str(e)
    except OSError as e:
        return None, f"{e.filename}: {type(e).__name__}"
    except Exception as e:
        return None, type(e).__name__
    assert sv.dtype == numpy.float64 and sv.shape[0] == len(models) and sv.flags.c_contiguous
    if calls is not None:
        assert calls and calls[-1] == (len(models), len(models)), calls
    return sv.tobytes(), None


results = [attempt(t) for t in counts]
if any(r != results[0] for r in results):
    sys.exit(f"threads {counts} differ: {results}")
data, error = results[0]
if error is not None:
    print(error, file=sys.stderr)
    sys.exit(1)
with open(out, "wb") as f:
    f.write(data)
