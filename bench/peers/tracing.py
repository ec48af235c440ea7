# The peer of bench/vel/tracing.vel: sys.settrace with a callback that
# counts the events it gets, over the same 10^6-step loop, and cProfile of
# fib 20 with its report printed (and the pure-Python profile module).
import cProfile
import io
import profile
import pstats
import sys
import time

events = 0


def counter(frame, event, arg):
    global events
    events += 1
    return counter


def step():
    n = 0
    for i in range(1, 1000001):
        n = n + 1
    return n


t0 = time.perf_counter()
step()
plain = time.perf_counter() - t0
sys.settrace(counter)
t0 = time.perf_counter()
step()
traced = time.perf_counter() - t0
sys.settrace(None)
print("trace-loop", "%.4f" % traced)
print("trace-plain", "%.4f" % plain)
print("trace-events", events)
print("trace-event-ns", "%.1f" % ((traced - plain) * 1e9 / events))


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


t0 = time.perf_counter()
prof = cProfile.Profile()
prof.enable()
fib(20)
prof.disable()
out = io.StringIO()
pstats.Stats(prof, stream=out).sort_stats("ncalls").print_stats()
print("profile-fib", "%.4f" % (time.perf_counter() - t0))

# The pure-Python profiler, a handler written in the language itself as
# Vel's is.
t0 = time.perf_counter()
prof = profile.Profile()
prof.runcall(fib, 20)
pstats.Stats(prof, stream=out).sort_stats("ncalls").print_stats()
print("profile-fib-pure", "%.4f" % (time.perf_counter() - t0))
