# Peer of bench/image_bench.cpp: zlib alone on the same PNG data, the floor
# under any PNG codec. decode = zlib.decompress of the file's IDAT stream;
# encode = zlib.compress (level 6) of the filtered scanlines it holds.
# Seconds of the best of three runs.
import struct
import sys
import time
import zlib


def idat(path):
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG file"
    at, parts = 8, []
    while at < len(data):
        (length,) = struct.unpack(">I", data[at:at + 4])
        kind = data[at + 4:at + 8]
        if kind == b"IDAT":
            parts.append(data[at + 8:at + 8 + length])
        at += 12 + length
    return b"".join(parts)


def best(f):
    t = 1e9
    for _ in range(3):
        t0 = time.perf_counter()
        r = f()
        t = min(t, time.perf_counter() - t0)
    return t, r


packed = idat(sys.argv[1])
d, raw = best(lambda: zlib.decompress(packed))
c, _ = best(lambda: zlib.compress(raw, 6))
print("encode %.3f" % c)
print("decode %.3f" % d)
