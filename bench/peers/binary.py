# Peer of bench/binary_bench.cpp: base 64 and base 16 text of 32 MB of bytes,
# each way (base64.b64encode/b64decode, bytes.hex/bytes.fromhex). Seconds of
# the best of five runs.
import base64
import random
import time

size = 32 << 20
data = random.Random(7).randbytes(size)
best = {"enbase-64": 1e9, "debase-64": 1e9, "enbase-16": 1e9, "debase-16": 1e9}
for run in range(5):
    t0 = time.perf_counter()
    text = base64.b64encode(data)
    t1 = time.perf_counter()
    back = base64.b64decode(text)
    t2 = time.perf_counter()
    assert back == data
    best["enbase-64"] = min(best["enbase-64"], t1 - t0)
    best["debase-64"] = min(best["debase-64"], t2 - t1)
    t0 = time.perf_counter()
    text = data.hex().upper()
    t1 = time.perf_counter()
    back = bytes.fromhex(text)
    t2 = time.perf_counter()
    assert back == data
    best["enbase-16"] = min(best["enbase-16"], t1 - t0)
    best["debase-16"] = min(best["debase-16"], t2 - t1)
for k, v in best.items():
    print("%s %.4f" % (k, v))
