# Peer of bench/lexer_bench.cpp: the same generated items as JSON (words
# become strings, blocks arrays), loaded with json.loads. The Vel spelling
# is generated alongside only to stop at the same item.
import json
import time

WORDS = ["alpha", "beta", "gamma", "delta", "block", "word", "path", "series",
         "parse", "rule", "vel", "script", "Value", "String", "Map", "Index"]


def main():
    x = 12345
    js = []
    vel = []

    def item(depth):
        nonlocal x
        x = x * 48271 % 2147483647
        k, q = x % 10, x // 10
        if k <= 3 or (k >= 8 and depth >= 4):
            w = WORDS[q % 16]
            js.append('"' + w + '"')
            vel.append(w)
        elif k <= 5:
            t = str(q % 100000)
            js.append(t)
            vel.append(t)
        elif k == 6:
            t = "%d.%02d" % (q % 1000, q // 1000 % 100)
            js.append(t)
            vel.append(t)
        elif k == 7:
            t = '"s%d"' % (q % 10000)
            js.append(t)
            vel.append(t)
        else:
            js.append("[")
            vel.append("[")
            for i in range(1 + q % 8):
                if i:
                    js.append(",")
                    vel.append(" ")
                item(depth + 1)
            js.append("]")
            vel.append("]")

    size = 0
    items = 0
    parts = ["["]
    while size < 20000000:
        js.clear()
        vel.clear()
        item(0)
        size += sum(len(s) for s in vel) + 1
        if items:
            parts.append(",\n")
        parts.extend(js)
        items += 1
    parts.append("]")
    src = "".join(parts)
    t0 = time.perf_counter()
    value = json.loads(src)
    t1 = time.perf_counter()
    print("load %.3f\nitems %d" % (t1 - t0, len(value)))


main()
