# 10^6 integers added to a set, then each looked up, as
# bench/vel/hashappend.vel does with a hash!.
import time

n = 1000000
s = set()
t = time.perf_counter()
for i in range(1, n + 1):
    s.add(i)
print("append", time.perf_counter() - t)
t = time.perf_counter()
hits = 0
for i in range(1, n + 1):
    if i in s:
        hits += 1
print("find", time.perf_counter() - t)
assert len(s) == n and hits == n
