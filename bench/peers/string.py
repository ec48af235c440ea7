# Peer of bench/string_bench.cpp: find of a 20-character needle in a 50 MB
# string, and the trim of a 50 MB string of indented lines (the ends of the
# text and of every line). Seconds of the best run.
import time

size = 50 << 20
needle = "needle in a haystack"
line = "The quick brown fox jumps over the lazy dog, 0123456789 times.\n"
hay = line * (size // len(line) + 1) + needle
find = 1e9
for run in range(10):  # the best of ten
    t0 = time.perf_counter()
    at = hay.find(needle)
    t1 = time.perf_counter()
    assert at == len(hay) - len(needle)
    find = min(find, t1 - t0)

# Vel's white space: 1-32 and the Unicode spaces; inside a line, all but LF.
ws = "".join(chr(c) for c in range(1, 33)) + "\x85\xa0\u1680\u180e" + \
    "".join(chr(c) for c in range(0x2000, 0x200B)) + "\u2028\u2029\u202f\u205f\u3000"
line_ws = ws.replace("\n", "")
indented = "    The quick brown fox jumps over the lazy dog.   \n"
lines = "  \t" + indented * (size // len(indented) + 1) + "\n \n"
trim = 1e9
for run in range(5):  # the best of five
    t0 = time.perf_counter()
    body = lines.strip(ws)
    out = "\n".join(l.strip(line_ws) for l in body.split("\n"))
    if "\n" in lines[len(lines.rstrip(ws)):]:
        out += "\n"
    t1 = time.perf_counter()
    trim = min(trim, t1 - t0)
    del body, out

print("find %.4f\nfind-case %.4f\ntrim %.4f" % (find, find, trim))
