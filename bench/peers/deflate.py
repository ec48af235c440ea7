# Peer of bench/deflate_bench.cpp: zlib.compress (level 6) and
# zlib.decompress of the deflate peer's text (the textscan chunk of 10,000
# tokens, 320 times). Seconds of the best of three runs, and the size.
import time
import zlib

WORDS = ["alpha", "beta", "gamma", "delta", "block", "word", "path", "series",
         "parse", "rule", "vel", "script", "Value", "String", "Map", "Index"]
SEPS = [" ", " ", " ", ", ", ". ", "; ", "!\n", "?\n"]

def chunk():
    x = 12345
    parts = []
    for _ in range(10000):
        x = x * 48271 % 2147483647
        kind = x % 10
        if kind < 7:
            parts.append(WORDS[x // 10 % 16])
        elif kind < 9:
            parts.append(str(x // 10 % 100000))
        else:
            parts.append("(" + WORDS[x // 10 % 16] + ")")
        x = x * 48271 % 2147483647
        parts.append(SEPS[x % 8])
    return "".join(parts)

def best(f):
    t = 1e9
    for _ in range(3):
        t0 = time.perf_counter()
        r = f()
        t = min(t, time.perf_counter() - t0)
    return t, r

text = (chunk() * 320).encode("ascii")
c, packed = best(lambda: zlib.compress(text, 6))
d, back = best(lambda: zlib.decompress(packed))
assert back == text
print("compress %.3f" % c)
print("decompress %.3f" % d)
print("zlib-size %d" % len(packed))
