# The peer of bench/vel/library.vel: str.replace, ''.join and try/except.
import time

def timed(part, fn):
    t0 = time.perf_counter()
    fn()
    print(part, "%.4f" % (time.perf_counter() - t0))

text = "abcdefghij" * 1000000
out = []
timed("replace-all", lambda: out.append(text.replace("cd", "XYZ")))
assert len(out[0]) == 11000000

parts = [str(i) for i in range(1, 100001)]
timed("rejoin", lambda: out.append("".join(parts)))
assert len(out[1]) == 488895

def attempts():
    for _ in range(1000000):
        try:
            1 / 0
        except ZeroDivisionError:
            pass

timed("attempt", attempts)
