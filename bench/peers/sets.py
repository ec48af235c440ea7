# Peer of bench/sets_bench.cpp: set() of 10^6 integers, the union of two such
# lists, and list.index of the last value and of an absent one in a list of
# 10^6 distinct integers. Best of three runs of each; the results on stderr.
import sys
import time

n = 1000000
x = 42


def lcg():
    global x
    x = x * 48271 % 2147483647
    return x


a = [lcg() % 700000 for _ in range(n)]
b = [lcg() % 700000 for _ in range(n)]
d = [i * 7 for i in range(n)]


def best(f):
    t = 1e9
    for _ in range(3):
        t0 = time.perf_counter()
        r = f()
        t = min(t, time.perf_counter() - t0)
    return t, r


def absent():
    try:
        return d.index(-1)
    except ValueError:
        return None


tu, u = best(lambda: set(a))
tv, v = best(lambda: set(a).union(b))
tf, f = best(lambda: d.index(6999993))
tg, g = best(absent)
print("unique %.4f\nunion %.4f\nfind %.4f\nfind-absent %.4f" % (tu, tv, tf, tg))
print("check", len(u), len(v), f + 1, "true" if g is None else "false", file=sys.stderr)
