# v + 1 and v * 2.0 on 10^7 elements (array module, a comprehension), and a
# copy; seconds per operation, as bench/vel/vector.vel prints them.
import time
from array import array


def main():
    n = 10000000
    v = array('i', bytes(4 * n))
    f = array('d', bytes(8 * n))
    t = time.perf_counter()
    v = array('i', [x + 1 for x in v])
    print("add", time.perf_counter() - t)
    t = time.perf_counter()
    f = array('d', [x * 2.0 for x in f])
    print("mul", time.perf_counter() - t)
    t = time.perf_counter()
    w = array('i', v)
    print("copy", time.perf_counter() - t)
    print("check", v[0], int(f[0]), len(w))


main()
