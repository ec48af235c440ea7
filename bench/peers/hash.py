# Peer of bench/hashtable_bench.cpp: 10^6 integer keys stored, found and
# deleted in a dict.
import time

n = 1000000
keys = [(i * 2654435761) & 0xFFFFFFFF for i in range(n)]
t0 = time.perf_counter()
d = {}
for i in range(n):
    d[keys[i]] = i
t1 = time.perf_counter()
s = 0
for k in keys:
    s += d[k]
t2 = time.perf_counter()
for k in keys:
    del d[k]
    s += 1
t3 = time.perf_counter()
print("store %.3f\nfind %.3f\ndelete %.3f\ncheck %d" % (t1 - t0, t2 - t1, t3 - t2, s))
