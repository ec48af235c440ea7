# Peer of bench/sort_bench.cpp: sorted over the same 10^6 signed 32-bit
# integers and 10^6 lowercase strings (splitmix64 with the same seeds),
# best of three runs.
import time

M64 = (1 << 64) - 1


def splitmix(state):
    while True:
        state = (state + 0x9E3779B97F4A7C15) & M64
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & M64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
        yield z ^ (z >> 31)


COUNT = 1000000


def make_ints():
    g = splitmix(424242)
    out = []
    for _ in range(COUNT):
        v = next(g) >> 32
        out.append(v - (1 << 32) if v & 0x80000000 else v)
    return out


def make_strings():
    g = splitmix(515151)
    out = []
    for _ in range(COUNT):
        n = 4 + (next(g) & 15)
        chars = []
        while len(chars) < n:
            w = next(g)
            for k in range(12):
                if len(chars) == n:
                    break
                chars.append(chr(97 + ((w >> (5 * k)) & 31) % 26))
        out.append("".join(chars))
    return out


def best(values):
    t = 1e9
    for run in range(3):
        t0 = time.perf_counter()
        r = sorted(values)
        t = min(t, time.perf_counter() - t0)
        assert all(r[i - 1] <= r[i] for i in range(1, 1000, 7))
    return t


print("ints %.3f" % best(make_ints()))
print("strings %.3f" % best(make_strings()))
