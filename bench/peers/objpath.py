# An attribute incremented 10^7 times (bench/vel/objpath.vel does the same
# through object paths).
class O:
    def __init__(self):
        self.a = 0

def main():
    o = O()
    for _ in range(10000000):
        o.a = o.a + 1
    print(o.a)

main()
