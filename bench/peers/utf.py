# Peer of bench/utf_bench.cpp: UTF-8 decode and encode of 100 MB of ASCII
# text and of text mixing Latin-1 and CJK.
import time

size = 100 << 20
parts = [
    ("ascii", "The quick brown fox jumps over the lazy dog, 0123456789 times.\n"),
    ("mixed", "Café crème brûlée 中文文本 and more words.\n"),
]
for name, line in parts:
    data = line.encode("utf-8")
    data = data * (size // len(data) + 1)
    dec = enc = 1e9
    for run in range(3):  # the best of three
        t0 = time.perf_counter()
        s = data.decode("utf-8")
        t1 = time.perf_counter()
        back = s.encode("utf-8")
        t2 = time.perf_counter()
        assert back == data
        dec, enc = min(dec, t1 - t0), min(enc, t2 - t1)
        del s, back
    print("%s-decode %.3f\n%s-encode %.3f" % (name, dec, name, enc))
