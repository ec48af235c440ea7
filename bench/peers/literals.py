# Peer of bench/literals_bench.cpp: the same two generated sources, split
# into tokens by one regular expression and each built as the value the
# lexer builds: %XX escapes decoded (urllib.parse.unquote) in URLs and
# files, a tag's text without its brackets, an issue's name interned.
import re
import sys
import time
from urllib.parse import unquote

TOKEN = re.compile(r'(?P<tag><[^>]*>)|(?P<issue>#\S+)|(?P<file>%\S+)|(?P<url>[A-Za-z][\w+.-]*:\S+)|(?P<email>\S+@\S+)|(?P<word>\S+)')


def source(item):
    global x
    x = 12345
    parts = []
    size = 0
    while size < 10000000:
        t = item()
        size += len(t)
        parts.append(t)
        sep = "\n" if size % 8 == 0 else " "
        size += 1
        parts.append(sep)
    return "".join(parts)


def step():
    global x
    x = x * 48271 % 2147483647
    return x


def literal():
    v = step()
    k, q = v % 6, v // 6
    a, b = str(q % 1000), str(q // 1000 % 100)
    if k == 0:
        return "http://host" + b + ".example.com/path/" + a + "/page.html"
    if k == 1:
        return "https://h.org/a%20b" + a + "/%C3%A9t%C3%A9"
    if k == 2:
        return "user" + a + "@mail" + b + ".org"
    if k == 3:
        return "%dir" + b + "/file" + a + ".txt"
    if k == 4:
        return "<div class=c" + a + ">"
    return "#i" + a + "-" + b


STEMS = ["alpha", "beta", "gamma", "delta", "series", "parse", "value", "index"]


def word():
    v = step()
    return STEMS[v % 8] + str(v // 8 % 1000)


def load(src):
    out = []
    for m in TOKEN.finditer(src):
        kind = m.lastgroup
        t = m.group()
        if kind == "url":
            out.append(("url", unquote(t) if "%" in t else t))
        elif kind == "file":
            out.append(("file", unquote(t[1:])))
        elif kind == "tag":
            out.append(("tag", t[1:-1]))
        elif kind == "issue":
            out.append(("issue", sys.intern(t[1:])))
        elif kind == "email":
            out.append(("email", t))
        else:
            out.append(("word", sys.intern(t)))
    return out


def main():
    lit, words = source(literal), source(word)
    t0 = time.perf_counter()
    a = load(lit)
    t1 = time.perf_counter()
    b = load(words)
    t2 = time.perf_counter()
    print("literals %.3f\nwords %.3f\nliteral-items %d\nword-items %d" % (t1 - t0, t2 - t1, len(a), len(b)))


main()
