# Peer of bench/floattext_bench.cpp: repr and float of the same 10^6
# doubles (splitmix64 with the same seed; half random bit patterns, half in
# [0, 10^6)), best of three runs.
import math
import struct
import time

M64 = (1 << 64) - 1


def splitmix(state):
    while True:
        state = (state + 0x9E3779B97F4A7C15) & M64
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & M64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
        yield z ^ (z >> 31)


def make_doubles(n):
    g = splitmix(20260101)
    out = []
    while len(out) < n:
        z = next(g)
        if len(out) % 2 == 0:
            d = struct.unpack("<d", struct.pack("<Q", z))[0]
            if not math.isfinite(d):
                continue
        else:
            d = (z >> 11) / 9007199254740992.0 * 1e6
        out.append(d)
    return out


values = make_doubles(1000000)
fmt = parse = 1e9
for run in range(3):
    t0 = time.perf_counter()
    texts = [repr(v) for v in values]
    t1 = time.perf_counter()
    back = [float(s) for s in texts]
    t2 = time.perf_counter()
    assert back == values
    fmt, parse = min(fmt, t1 - t0), min(parse, t2 - t1)
print("format %.3f\nparse %.3f" % (fmt, parse))
