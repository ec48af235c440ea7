# The peer of bench/vel/urls.vel: urllib.parse.urlsplit over the same 1,000
# URLs, 1,000 rounds. More distinct URLs than its cache holds, so every
# call splits.
import time
import urllib.parse

urls = ["http://user:pw@host%d.example.com:8080/a/b/c%d.html?q=%d#frag" % (i, i, i) for i in range(1, 1001)]
last = None
t0 = time.perf_counter()
for _ in range(1000):
    for u in urls:
        last = urllib.parse.urlsplit(u)
t = time.perf_counter() - t0
assert last.port == 8080
print("split", "%.4f" % t)
