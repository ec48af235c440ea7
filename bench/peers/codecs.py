# The peer of bench/vel/codecs.vel: json.loads and json.dumps (compact
# separators, as to-json writes), csv.reader and csv.writer on the same
# 10 MB texts.
import csv
import io
import json
import os
import sys
import time

d = sys.argv[1]

with open(os.path.join(d, "data.json"), encoding="utf-8") as f:
    text = f.read()
t0 = time.perf_counter()
data = json.loads(text)
print("load-json", "%.4f" % (time.perf_counter() - t0))
t0 = time.perf_counter()
out = json.dumps(data, ensure_ascii=False, separators=(",", ":"))
print("to-json", "%.4f" % (time.perf_counter() - t0))
print("json-records", len(data))
data = out = text = None

with open(os.path.join(d, "data.csv"), encoding="utf-8", newline="") as f:
    text = f.read()
t0 = time.perf_counter()
data = list(csv.reader(io.StringIO(text, newline="")))
print("load-csv", "%.4f" % (time.perf_counter() - t0))
t0 = time.perf_counter()
buf = io.StringIO()
csv.writer(buf, lineterminator="\n").writerows(data)
out = buf.getvalue()
print("to-csv", "%.4f" % (time.perf_counter() - t0))
print("csv-rows", len(data))
