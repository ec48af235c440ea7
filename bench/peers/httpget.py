# The peer of bench/vel/http.vel: 1,000 sequential GETs of 1 KB and one
# 100 MB download with urllib.
import sys

# The peers directory holds string.py and the like: keep it off the module
# path so the standard library is found.
sys.path.pop(0)

import time
import urllib.request

base = sys.argv[1]

t0 = time.perf_counter()
for _ in range(1000):
    with urllib.request.urlopen(base + "/1k") as r:
        r.read()
print("gets %.4f" % (time.perf_counter() - t0))

t0 = time.perf_counter()
with urllib.request.urlopen(base + "/100m") as r:
    n = len(r.read())
print("big %.4f" % (time.perf_counter() - t0))
assert n == 100_000_000
