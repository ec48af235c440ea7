# A method called 10^7 times (bench/vel/methodcall.vel does the same through
# an object's function).
class Counter:
    def __init__(self):
        self.n = 0

    def bump(self, k):
        self.n = self.n + k

def main():
    c = Counter()
    for _ in range(10000000):
        c.bump(1)
    print(c.n)

main()
