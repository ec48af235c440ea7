# Peer of bench/block_bench.cpp: 10^7 integers appended to a list, then the
# repr of a 10^6-value list of integers, floats, strings and two-value lists.
import time

t0 = time.perf_counter()
big = []
for i in range(10000000):
    big.append(i)
t1 = time.perf_counter()

mixed = []
for i in range(1000000):
    k = i % 4
    if k == 0:
        mixed.append(i)
    elif k == 1:
        mixed.append(i + 0.25)
    elif k == 2:
        mixed.append("word")
    else:
        mixed.append([i, i + 1])
t2 = time.perf_counter()
text = repr(mixed)
t3 = time.perf_counter()
print("append %.3f\nmold %.3f\ncheck %d %d" % (t1 - t0, t3 - t2, len(big), len(text)))
