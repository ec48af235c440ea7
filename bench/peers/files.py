# The peer of bench/vel/files.vel: the same file work in Python 3.
import os
import subprocess
import sys
import time

d = sys.argv[1]

def timed(part, fn):
    t0 = time.perf_counter()
    fn()
    print(part, "%.4f" % (time.perf_counter() - t0))

def read_big():
    with open(os.path.join(d, "big.bin"), "rb") as f:
        f.read()

def read_lines():
    with open(os.path.join(d, "lines.txt"), encoding="utf-8") as f:
        f.readlines()

out = ["a line of text written by the benchmark\r\n"] * 1000000

def write_lines():
    with open(os.path.join(d, "written-py.txt"), "w", encoding="utf-8", newline="") as f:
        f.writelines(out)

def calls():
    for _ in range(1000):
        subprocess.run(["true"])

def listing():
    os.listdir(os.path.join(d, "list"))

timed("read", read_big)
timed("read-lines", read_lines)
timed("write-lines", write_lines)
timed("call", calls)
timed("list", listing)
