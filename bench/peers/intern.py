# Peer of bench/intern_bench.cpp: 10^6 distinct strings interned with
# sys.intern, then 10^7 interns of strings already interned (ten passes).
# The strings are made before timing, as the C++ side's texts are.
import sys
import time

n = 1000000
passes = 10
texts = ["word-%d" % ((i * 2654435761) & 0xFFFFFFFF) for i in range(n)]
# Fresh copies, so that the repeated phase looks up equal strings rather
# than the very objects that were interned.
again = ["".join(["word-", t[5:]]) for t in texts]
intern = sys.intern

t0 = time.perf_counter()
for t in texts:
    intern(t)
t1 = time.perf_counter()
for p in range(passes):
    for t in again:
        intern(t)
t2 = time.perf_counter()
print("distinct %.3f\nrepeated %.3f" % (t1 - t0, t2 - t1))
