# The peer of bench/vel/load.vel: ast.literal_eval of the same rows as a
# Python literal, and repr written then read back for 10^6 values.
import ast
import os
import sys
import time

d = sys.argv[1]

t0 = time.perf_counter()
with open(os.path.join(d, "src.py"), encoding="utf-8") as f:
    data = ast.literal_eval(f.read())
print("load", "%.4f" % (time.perf_counter() - t0))
print("rows", len(data))
data = None

values = []
for i in range(1, 333335):
    values += [i, i + 0.5, "s%d" % i]
del values[1000000:]
t0 = time.perf_counter()
with open(os.path.join(d, "round-py.txt"), "w", encoding="utf-8") as f:
    f.write(repr(values))
with open(os.path.join(d, "round-py.txt"), encoding="utf-8") as f:
    back = ast.literal_eval(f.read())
print("save-load", "%.4f" % (time.perf_counter() - t0))
print("values", len(back))
