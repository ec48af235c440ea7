# A dict from 10^6 (key, value) pairs over 1000 keys, and json.loads of an
# object literal with the same duplicate keys (a later value wins in both),
# as bench/vel/mapdups.vel does.
import json
import time

n = 1000000
pairs = [(i % 1000, i) for i in range(1, n + 1)]
t = time.perf_counter()
d = dict(pairs)
print("block", time.perf_counter() - t)
assert len(d) == 1000 and d[7] == 999007

text = "{" + ",".join('"k%d":%d' % (i % 1000, i) for i in range(1, n + 1)) + "}"
t = time.perf_counter()
d = json.loads(text)
print("literal", time.perf_counter() - t)
assert len(d) == 1000 and d["k7"] == 999007
