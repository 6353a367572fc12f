#!/usr/bin/env python3
"""Checks what the format documentation claims of the outputs, with the
standard library only: the supervector file's record count, record length and
values against the model files, and the text matrix and vector layout."""
import struct
import subprocess
import sys
import tempfile
from array import array
from pathlib import Path

kelvane, morrit, src = sys.argv[1], sys.argv[2], Path(sys.argv[3])
ex = src / "examples"


def model(path):
    """D, M, weights, means and variances of a model file, by line position."""
    lines = path.read_text().split("\n")
    D = int(lines[2].split(" ")[1].split("<")[0])
    M = int(lines[7].split()[1])
    w = [float(lines[8 + 6 * k].split()[2]) for k in range(M)]
    mu = [[float(t) for t in lines[10 + 6 * k].split()] for k in range(M)]
    sigma = [[float(t) for t in lines[12 + 6 * k].split()] for k in range(M)]
    return D, M, w, mu, sigma


with tempfile.TemporaryDirectory() as tmp:
    tmp = Path(tmp)
    subprocess.run([kelvane, "examples/ubm.gmm", "examples/models.lst", tmp / "sv.bin"], cwd=src, check=True)
    listed = [l for l in (ex / "models.lst").read_text().split("\n") if l]
    D, M, _, ubm_mu, _ = model(ex / "ubm.gmm")

    raw = (tmp / "sv.bin").read_bytes()
    assert len(raw) == len(listed) * M * D * 8, "file size is L x M x D x 8"
    sv = array("d")
    sv.frombytes(raw)
    assert len(sv) // (M * D) == len(listed), "record count"
    for n, path in enumerate(listed):
        _, _, _, mu, _ = model(src / path)
        record = sv[n * M * D:(n + 1) * M * D]
        assert len(record) == M * D, "record length"
        i, j = (7 * n + 3) % M, (5 * n + 11) % D
        assert record[i * D + j] == mu[i][j] - ubm_mu[i][j], f"record {n}, value ({i}, {j})"
        # The same value read explicitly as little-endian at its byte offset.
        (le,) = struct.unpack_from("<d", raw, ((n * M + i) * D + j) * 8)
        assert le == record[i * D + j], "little-endian at ((n*M + i)*D + j)*8"

    # --npy: the documented header, 64 bytes or a multiple, then the same
    # records; --float32: each value rounded to a float.
    for single in (False, True):
        extra = ["--float32"] if single else []
        subprocess.run([kelvane, "--npy", *extra, "examples/ubm.gmm", "examples/models.lst", tmp / "sv.npy"], cwd=src,
                       check=True)
        npy = (tmp / "sv.npy").read_bytes()
        (H,) = struct.unpack_from("<H", npy, 8)
        assert npy[:8] == b"\x93NUMPY\x01\x00" and (10 + H) % 64 == 0, "magic, version, aligned header"
        header = npy[10:10 + H].decode("ascii")
        want = "{'descr': '<f%d', 'fortran_order': False, 'shape': (%d, %d), }" % (4 if single else 8, len(listed), M * D)
        assert header.rstrip(" \n") == want and header.endswith(" \n"), header
        body = npy[10 + H:]
        if single:
            floats = array("f")
            floats.frombytes(body)
            assert list(floats) == [struct.unpack("<f", struct.pack("<f", v))[0] for v in sv], "floats of the doubles"
        else:
            assert body == raw, "the records after the header"

    subprocess.run([morrit, "examples/model0001.gmm", tmp / "mu.txt", tmp / "sigma.txt", tmp / "w.txt"],
                   cwd=src, check=True)
    _, _, w, mu, sigma = model(ex / "model0001.gmm")
    for name, matrix in (("mu.txt", mu), ("sigma.txt", sigma)):
        text = (tmp / name).read_text()
        assert not text.endswith("\n"), f"{name} ends without a newline"
        rows = [line.split(" ") for line in text.split("\n")]
        assert len(rows) == D and all(len(r) == M for r in rows), f"{name} is D lines of M values"
        assert all(float(rows[c][i]) == matrix[i][c] for c in range(D) for i in range(M)), f"{name} transposed"
    wt = (tmp / "w.txt").read_text()
    assert "\n" not in wt and [float(t) for t in wt.split(" ")] == w, "w.txt is one line of M weights"
print(f"formats ok: {len(listed)} records of {M} x {D}")
