#!/usr/bin/env python3
"""Writes the made files of tests/corpus: python3 tests/make_corpus.py tests/corpus

The binary-storage files (kw_binary_*) are each the base model (tests/corpus/base.gmm: 2 components over 3
dimensions, every value a float exactly) or a fault in it, stored as the
binary form of the model definition language has it: a keyword is ':' and a
one-byte code, counts 16-bit integers, values 32-bit floats, big-endian or
little-endian; macro headers and the kinds stay text.  The sets (set_*) are files of
several speakers' HMMs and shared macros, in text, binary and both mixed,
with a file of each speaker's model alone in the positional layout to read
them against.
"""
import os
import struct
import sys

out = sys.argv[1]
# The packers of one byte order: a keyword code, 16-bit integers, floats.
def packers(little):
    e = '<' if little else '>'
    def code(c): return b':' + bytes([c])
    def short(*v): return b''.join(struct.pack(e + 'h', x) for x in v)
    def floats(*v): return b''.join(struct.pack(e + 'f', x) for x in v)
    return code, short, floats
comps = [(0.25, [1.0, 2.0, 3.0], [0.5] * 3, 4.0), (0.75, [-1.0, -0.25, 4.0], [2.0] * 3, 6.0)]
transp = [0, 1, 0, 0, 0.6, 0.4, 0, 0, 0]
def options(little):
    code, short, floats = packers(little)
    return b'~o\n' + code(5) + short(1, 3) + code(6) + short(3) + code(7) + b'<MFCC_E_D_A><DIAGC>\n'
def component(little, k, c, mean_count=3):
    code, short, floats = packers(little)
    w, m, v, g = c
    return (code(17) + short(k) + floats(w) + code(20) + short(mean_count) + floats(*m) +
            code(21) + short(3) + floats(*v) + code(24) + floats(g))
def hmm(little, name=b'base', bad_second_mean=False):
    code, short, floats = packers(little)
    return (b'~h "' + name + b'"\n' + code(0) + code(4) + short(3) + code(15) + short(2) + code(3) + short(2) +
            component(little, 1, comps[0]) + component(little, 2, comps[1], 4 if bad_second_mean else 3) +
            code(27) + short(3) + floats(*transp) + code(2) + b'\n')
def write(name, data):
    with open(os.path.join(out, name), 'wb') as f:
        f.write(data)
write('kw_binary_big.gmm', options(False) + hmm(False))
write('kw_binary_little.gmm', options(True) + hmm(True))
# A second HMM, let go to its end: binary items of every shape (options
# within it, stream weights, a stream, inverse covariances) are skipped.
code, short, floats = packers(False)
other = (b'~h "other"\n' + code(0) + code(5) + short(1, 3) + code(4) + short(3) + code(15) + short(2) +
         code(19) + short(1) + floats(1.0) + code(18) + short(1) + code(3) + short(1) +
         code(17) + short(1) + floats(1.0) + code(20) + short(3) + floats(1, 2, 3) +
         code(22) + short(3) + floats(1, 0, 0, 1, 0, 1) + code(24) + floats(0.0) +
         code(27) + short(3) + floats(*transp) + code(2) + b'\n')
write('kw_binary_two_hmms.gmm', options(False) + hmm(False) + other)
# A count below zero: a 16-bit integer's sign (big-endian; little-endian
# fails sooner).
write('kw_binary_negative.gmm', options(False) + hmm(False).replace(code(3) + short(2), code(3) + short(-1)))
write('kw_binary_mean_big.gmm', options(False) + hmm(False, bad_second_mean=True))
write('kw_binary_mean_little.gmm', options(True) + hmm(True, bad_second_mean=True))
write('kw_binary_cut.gmm', (options(False) + hmm(False))[:-40])
# Text and binary in one file (big-endian), each way round: text options
# with a binary <VECSIZE>; the first component in text; the second with a
# binary weight and variances, its means and constant in text; text
# transitions.
code, short, floats = packers(False)
write('kw_binary_mixed.gmm',
      b'~o\n<STREAMINFO> 1 3\n' + code(6) + short(3) + b'<NULLD><MFCC_E_D_A>' + code(12) + b'\n~h "base"\n<BEGINHMM>\n'
      b'<NUMSTATES> 3\n<STATE> 2\n<NUMMIXES> 2\n<MIXTURE> 1 2.500000e-01\n<MEAN> 3\n'
      b' 1.000000e+00 2.000000e+00 3.000000e+00\n<VARIANCE> 3\n 5.000000e-01 5.000000e-01 5.000000e-01\n'
      b'<GCONST> 4.000000e+00\n' + code(17) + short(2) + floats(0.75) +
      b'<MEAN> 3\n -1.000000e+00 -2.500000e-01 4.000000e+00\n' + code(21) + short(3) + floats(2, 2, 2) +
      b'<GCONST> 6.000000e+00\n<TRANSP> 3\n 0 1 0\n 0 0.6 0.4\n 0 0 0\n<ENDHMM>\n')
# Macros, little-endian: a ~u defined before the HMM, a ~v after it, each
# used by the first component (read on a second pass over the binary HMM);
# and the same with the ~v of another count, refused on that second pass.
code, short, floats = packers(True)
first = (code(17) + short(1) + floats(0.25) + b'~u "m1"' + b'~v "v1"' + code(24) + floats(4.0))
for name, v in (('kw_binary_macros.gmm', [0.5] * 3), ('kw_binary_macro_count.gmm', [0.5] * 4)):
    write(name,
          options(True) + b'~u "m1"\n' + code(20) + short(3) + floats(1.0, 2.0, 3.0) + b'\n' +
          b'~h "base"\n' + code(0) + code(4) + short(3) + code(15) + short(2) + code(3) + short(2) + first +
          component(True, 2, comps[1]) + code(27) + short(3) + floats(*transp) + code(2) + b'\n' +
          b'~v "v1"\n' + code(21) + short(len(v)) + floats(*v) + b'\n')
# Covariance kinds other than diagonal, as binary options.
for name, kind in (('kw_binary_fullc.gmm', 13), ('kw_binary_invdiagc.gmm', 26), ('kw_binary_lltc.gmm', 29)):
    code, short, floats = packers(False)
    write(name, options(False)[:-1] + code(kind) + b'\n' + hmm(False))
# Counts that read alike both ways (257 is 0x0101) and nothing else binary
# but values: a model in either byte order.
code, short, floats = packers(False)
write('kw_binary_both_orders.gmm',
      b'~h "base"\n<BEGINHMM>\n<NUMSTATES> 3\n<STATE> 2\n' + code(20) + short(257) + floats(*[1.0] * 257) +
      code(21) + short(257) + floats(*[1.0] * 257) + b'\n<TRANSP> 3\n 0 1 0\n 0 0.6 0.4\n 0 0 0\n<ENDHMM>\n')


# A set: ~o and the macros in one file, the HMMs in another, as a trainer
# keeps them.  Speaker k's means are the base model's plus k; spk2's first
# variances are the macro ~v "shared", which only the macros file defines.
speakers = [(b'spk1', 1), (b'spk2', 2), (b'spk3', 3), (b'ubm', 0)]
def text_values(v): return b''.join(b' %e' % x for x in v) + b'\n'
def positional(name, k, variances_of=lambda i, v: v):
    t = b'~o\n<STREAMINFO> 1 3\n<VECSIZE> 3<NULLD><MFCC_E_D_A><DIAGC>\n~h "' + name + b'"\n<BEGINHMM>\n'
    t += b'<NUMSTATES> 3\n<STATE> 2\n<NUMMIXES> 2\n'
    for i, (w, m, v, g) in enumerate(comps):
        t += b'<MIXTURE> %d %e\n<MEAN> 3\n' % (i + 1, w) + text_values([x + k for x in m])
        t += b'<VARIANCE> 3\n' + text_values(variances_of(i, v)) + b'<GCONST> %e\n' % g
    return t + b'<TRANSP> 3\n 0 1 0\n 0 0.6 0.4\n 0 0 0\n<ENDHMM>\n'
def text_hmm(name, k):
    t = positional(name, k)
    t = t[t.index(b'~h'):]
    if name == b'spk2':  # its first variances by the shared macro
        t = t.replace(b'<VARIANCE> 3\n 5.000000e-01 5.000000e-01 5.000000e-01\n', b'~v "shared"\n', 1)
    return t
def binary_hmm(little, name, k):
    code, short, floats = packers(little)
    b = b'~h "' + name + b'"\n' + code(0) + code(4) + short(3) + code(15) + short(2) + code(3) + short(2)
    for i, (w, m, v, g) in enumerate(comps):
        b += code(17) + short(i + 1) + floats(w) + code(20) + short(3) + floats(*[x + k for x in m])
        b += (b'~v "shared"' if name == b'spk2' and i == 0 else code(21) + short(3) + floats(*v)) + code(24) + floats(g)
    return b + code(27) + short(3) + floats(*transp) + code(2) + b'\n'
text_options = b'~o\n<STREAMINFO> 1 3\n<VECSIZE> 3<NULLD><MFCC_E_D_A><DIAGC>\n'
write('set_macros', text_options + b'~v "varFloor1"\n<VARIANCE> 3\n 1.0e-02 1.0e-02 1.0e-02\n'
      b'~v "shared"\n<VARIANCE> 3\n 5.000000e-01 5.000000e-01 5.000000e-01\n')
code, short, floats = packers(True)
write('set_macros_little', options(True) + b'~v "varFloor1"\n' + code(21) + short(3) + floats(0.01, 0.01, 0.01) +
      b'\n~v "shared"\n' + code(21) + short(3) + floats(0.5, 0.5, 0.5) + b'\n')
write('set_hmmdefs', text_options + b''.join(text_hmm(n, k) for n, k in speakers))
write('set_hmmdefs_big', options(False) + b''.join(binary_hmm(False, n, k) for n, k in speakers))
write('set_hmmdefs_little', options(True) + b''.join(binary_hmm(True, n, k) for n, k in speakers))
write('set_hmmdefs_mixed', text_options + text_hmm(b'spk1', 1) + binary_hmm(False, b'spk2', 2) +
      text_hmm(b'spk3', 3) + binary_hmm(False, b'ubm', 0))
for n, k in speakers:
    write('set_' + n.decode() + '.gmm', positional(n, k))
# Faults: a name defined twice in one file; an HMM that uses a macro no
# file defines; a file of its own that uses the set's macro.
write('set_twice', text_options + text_hmm(b'spk1', 1) + text_hmm(b'spk3', 3) + text_hmm(b'spk1', 1))
write('set_undefined', text_hmm(b'spk1', 1).replace(b'~h "spk1"', b'~h "spk9"').replace(
    b'<VARIANCE> 3\n 2.000000e+00 2.000000e+00 2.000000e+00\n', b'~v "nowhere"\n'))
write('set_uses_shared.gmm', text_options + text_hmm(b'spk2', 2))
# An HMM of the set with a value that is not a number.
write('set_bad_value', text_options + text_hmm(b'spk1', 1).replace(b' 3.000000e+00 4.000000e+00', b' 3.0x 4.000000e+00'))
# An HMM of the set that lacks a component (three announced, two given).
write('set_missing', text_options + text_hmm(b'spk1', 1) + text_hmm(b'spk5', 5).replace(b'<NUMMIXES> 2', b'<NUMMIXES> 3'))
