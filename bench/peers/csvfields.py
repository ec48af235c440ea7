# csvfields: count the fields of 50 MB of comma-separated text, with
# re.finditer over the fields and with str.count of the separators. The
# text is the one bench/vel/csvfields.vel builds: 2,000 lines of 8 fields
# from the LCG x = x * 48271 mod (2^31 - 1), seed 42, repeated to just
# over 50 MB (no field is empty, so fields = separators).
# Prints "<part> <seconds>" lines and "fields <length> <count>".
import re
import sys
import time

WORDS = ["alpha", "beta", "gamma", "delta", "block", "word", "path", "series",
         "parse", "rule", "vel", "script", "Value", "String", "Map", "Index"]


def chunk():
    x = 42
    parts = []
    for _ in range(2000):
        for k in range(1, 9):
            x = x * 48271 % 2147483647
            q = x // 10
            parts.append(str(q % 1000000) if x % 10 < 5 else WORDS[q % 16])
            parts.append("\n" if k == 8 else ",")
    return "".join(parts)


def main():
    c = chunk()
    text = c * (1 + 50000000 // len(c))

    t0 = time.perf_counter()
    n_re = sum(1 for _ in re.finditer(r"[^,\n]+", text))
    t1 = time.perf_counter()
    n_count = text.count(",") + text.count("\n")
    t2 = time.perf_counter()

    if n_re != n_count:
        sys.exit("counts differ: %d %d" % (n_re, n_count))
    print("re %.3f" % (t1 - t0))
    print("count %.3f" % (t2 - t1))
    print("fields %d %d" % (len(text), n_re))


main()
