# Peer of bench/velbin_bench.cpp: the same 10^6 values (words as 16 shared
# strings, blocks as lists) through pickle (highest protocol) or, with the
# argument "marshal", marshal. Prints the best of three runs of each.
import marshal
import pickle
import sys
import time

WORDS = ["alpha", "beta", "gamma", "delta", "block", "word", "path", "series",
         "parse", "rule", "vel", "script", "Value", "String", "Map", "Index"]


def values():
    out = []
    for i in range(1000000):
        k = i % 8
        if k <= 1:
            out.append(i * 7919 % 1000000)
        elif k == 2:
            out.append(i + 0.25)
        elif k == 3:
            out.append("s" + str(i % 10000))
        elif k <= 5:
            out.append(WORDS[(i // 8) % 16])
        elif k == 6:
            out.append([i, i + 1, i + 2])
        else:
            out.append(i % 16 == 7)
    return out


def best_of_three(f):
    best = None
    for _ in range(3):
        t0 = time.perf_counter()
        r = f()
        t = time.perf_counter() - t0
        best = t if best is None or t < best else best
    return best, r


def main():
    v = values()
    if len(sys.argv) > 1 and sys.argv[1] == "marshal":
        dumps, loads = marshal.dumps, marshal.loads
    else:
        dumps, loads = (lambda x: pickle.dumps(x, pickle.HIGHEST_PROTOCOL)), pickle.loads
    enc, data = best_of_three(lambda: dumps(v))
    dec, back = best_of_three(lambda: loads(data))
    assert len(back) == len(v)
    print("encode %.3f\ndecode %.3f\ndata-bytes %d" % (enc, dec, len(data)))


main()
