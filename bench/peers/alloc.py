import time

def main():
    t0 = time.perf_counter()
    a = []
    for i in range(10000000):
        a.append(i)
    t1 = time.perf_counter()
    small = [[i] for i in range(1000000)]
    t2 = time.perf_counter()
    print("append %.3f" % (t1 - t0))
    print("small %.3f" % (t2 - t1))
    print("check %d" % (len(a) + sum(s[0] for s in small)))

main()
