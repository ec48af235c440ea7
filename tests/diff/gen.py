#!/usr/bin/env python3
"""Writes a Vel program of generated cases for the differential test.

Usage: gen.py SEED CASES > program.vel

Each case is a block of code evaluated three times, so that the later runs
go through the compiled form (the default mode compiles on the second
evaluation); before the third run the case may rebind a word its code uses
(another arity, an operator turned function or value, a value turned
function) or edit the code block itself. Every run prints its value or its
error (id, near, where), so the walker alone and the compiled path must
print the same text.
"""
import random
import sys

INT_EDGES = ["0", "1", "-1", "2", "3", "7", "-5", "100", "2147483647", "-2147483648", "65536"]
FLOATS = ["0.5", "1.5", "-2.25", "1e3"]
OPS = ["+", "-", "*", "+", "-", "*", "/", "//", "%", "<", ">", "=", "<>", "<=", ">=", "plus", "minus", "and", "or"]
VARS = ["a", "b", "c"]

PRELUDE = r"""Vel [
	Title: "generated differential cases"
]

show: func [run r [any-type!]] [
	either error? :r [print [run "error" r/id mold r/near r/where]] [print [run mold/all :r]]
]
"""

# Words every case starts from, so that no case depends on another.
RESET = r"""a: 3 b: -5 c: 7 out: copy [] k: 0 w0: w1: w2: w3: w4: 0
plus: make op! :add
minus: make op! :subtract
f1: func [x] [x * 2 + 1]
f2: func [x y] [either x > y [x - y] [y - x]]
f3: func [x /opt y] [either opt [x + y] [x]]
f4: func [x /twice /add-to y] [if twice [x: x * 2] if add-to [x: x + y] x]
r1: func [n] [either n < 1 [0] [n + r1 n - 1]]
ret: func [x] [if x > 3 [return x * 10] x]
brk: func [] [break]
cnt: func [] [continue]
thr: func [x] [throw x]
self-set: func [] [self-set: 1 2]
o: make object! [x: 1 m: func [y] [x: x + y]]
edit: func [] [append body-of :edit 1 0]
"""

# Rebindings done before the third run.
REBINDS = [
    "f1: func [x y] [x - y]",
    "f1: 7",
    "f2: func [x] [x + 100]",
    "f2: :f1",
    "f3: func [x y] [x * y]",
    "plus: make op! :multiply",
    "plus: func [x] [x + 1]",
    "plus: 5",
    "minus: :plus",
    "a: 1.5",
    "b: none",
    "c: func [] [42]",
    "a: func [x] [x * x]",
    "r1: func [n] [n]",
    "ret: func [x] [x]",
    "brk: func [] [1]",
    "thr: func [x] [x + 1]",
    "f4: func [x /twice] [x]",
    "clear code",
    "append code [1 + 1]",
    "poke code 1 99",
    "insert code [a: 1000]",
    "reverse code",
    "remove code",
    "change code [b: 2]",
    "take/last code",
    "o: make object! [m: 5 x: 2]",
    "o/m: func [] [0]",
    "o/x: none",
]


class Gen:
    def __init__(self, rng):
        self.r = rng
        self.loops = 0  # loops around the position being generated
        self.in_catch = 0

    def pick(self, xs):
        return self.r.choice(xs)

    def atom(self):
        x = self.r.random()
        if x < 0.2:
            return self.pick(INT_EDGES)
        if x < 0.25:
            return self.pick(FLOATS)
        if x < 0.55:
            return self.pick(VARS)
        if x < 0.58:
            return self.pick(["true", "false", "none"])
        if x < 0.62:
            return "k"
        return str(self.r.randint(-20, 20))

    def expr(self, d):
        if d <= 0:
            return self.atom()
        x = self.r.random()
        if x < 0.2:
            return self.atom()
        if x < 0.45:
            return "%s %s %s" % (self.expr(d - 1), self.pick(OPS), self.expr(0))
        if x < 0.52:
            return "(%s)" % self.expr(d - 1)
        if x < 0.58:
            return "f1 %s" % self.expr(d - 1)
        if x < 0.63:
            return "f2 %s %s" % (self.expr(d - 1), self.expr(d - 1))
        if x < 0.67:
            return self.f3(d)
        if x < 0.71:
            return self.f4(d)
        if x < 0.75:
            return "either %s [%s] [%s]" % (self.expr(d - 1), self.body(d - 1), self.body(d - 1))
        if x < 0.78:
            return "if %s [%s]" % (self.expr(d - 1), self.body(d - 1))
        if x < 0.8:
            return "unless %s [%s]" % (self.expr(d - 1), self.body(d - 1))
        if x < 0.83:
            # Bounded depth: the recursion's argument is an atom modulo 12.
            return "r1 %s %% 12" % self.atom()
        if x < 0.86:
            return "ret %s" % self.expr(d - 1)
        if x < 0.89:
            return "catch [%s]" % self.catch_body(d - 1)
        if x < 0.92:
            return "attempt [%s]" % self.body(d - 1)
        if x < 0.94:
            return "self-set"
        if x < 0.97:
            return self.loop(d - 1)
        return "do [%s]" % self.body(d - 1)

    def f3(self, d):
        if self.r.random() < 0.5:
            return "f3 %s" % self.expr(d - 1)
        return "f3/opt %s %s" % (self.expr(d - 1), self.expr(d - 1))

    def f4(self, d):
        path = self.pick(["f4", "f4/twice", "f4/add-to", "f4/twice/add-to", "f4/add-to/twice"])
        args = [self.expr(d - 1)]
        if "add-to" in path:
            args.append(self.expr(d - 1))
        return " ".join([path] + args)

    def catch_body(self, d):
        self.in_catch += 1
        parts = [self.stmt(d) for _ in range(self.r.randint(1, 3))]
        if self.r.random() < 0.6:
            parts.insert(self.r.randint(0, len(parts)), "if %s [throw %s]" % (self.expr(0), self.expr(0)))
        if self.r.random() < 0.3:
            parts.append("thr %s" % self.expr(0))
        self.in_catch -= 1
        return " ".join(parts)

    def loop(self, d):
        kind = self.r.randint(0, 4)
        self.loops += 1
        body = self.body(d)
        self.loops -= 1
        n = self.r.randint(0, 4)
        # Each nesting level counts with its own word, so that no inner loop
        # resets an outer one's counter.
        w = "w%d" % self.loops
        if kind == 0:
            return "loop %d [%s]" % (n, body)
        if kind == 1:
            return "repeat i %d [%s]" % (n, body)
        if kind == 2:
            return "foreach v [%d %s %s] [%s]" % (n, self.atom(), self.atom(), body)
        if kind == 3:
            return "%s: 0 while [%s < %d] [%s: %s + 1 %s]" % (w, w, n, w, w, body)
        # A continue skips the test at the end: the guard at the top ends it.
        return "%s: 0 until [%s: %s + 1 if %s > %d [break] %s %s >= %d]" % (w, w, w, w, n, body, w, n)

    def stmt(self, d):
        x = self.r.random()
        if x < 0.3:
            return "%s: %s" % (self.pick(VARS), self.expr(d))
        if x < 0.45:
            return "append/only out %s" % self.expr(d)
        if self.loops and x < 0.55:
            return "if %s [%s]" % (self.expr(0), self.pick(["break", "continue", "brk", "cnt", "break/return %s" % self.atom()]))
        if x < 0.6:
            return "print %s" % self.expr(d)
        if x < 0.62:
            return "o/x: o/x + %s" % self.expr(d)
        if x < 0.64:
            return "o/m %s" % self.expr(d)
        if x < 0.65:
            # The running block edited in place.
            return self.pick(["poke code 1 %s" % self.atom(), "append code [%s]" % self.atom(), "edit"])
        if x < 0.65:
            return self.loop(d - 1)
        return self.expr(d)

    # Statements, then mostly a value: a body used as an operand.
    def body(self, d):
        parts = [self.stmt(max(d, 0)) for _ in range(self.r.randint(0, 2))]
        parts.append(self.expr(max(d, 0)) if self.r.random() < 0.8 else self.stmt(max(d, 0)))
        return " ".join(parts)


def case(rng, n):
    g = Gen(rng)
    code = " ".join(g.stmt(3) for _ in range(rng.randint(1, 4)))
    rebind = rng.choice(REBINDS) if rng.random() < 0.8 else "none"
    # The code collects into out; its value is shown with out's contents.
    return ("; case %d\nprint \"case %d\"\n%s" % (n, n, RESET)) + (
        "code: [%s]\n"
        "repeat run 3 [\n"
        "\tif run = 3 [%s]\n"
        "\tshow run try [reduce [do code out]]\n"
        "]\n" % (code, rebind))


def main():
    seed = int(sys.argv[1])
    count = int(sys.argv[2])
    rng = random.Random(seed)
    out = [PRELUDE]
    for n in range(count):
        out.append(case(rng, n))
    sys.stdout.write("\n".join(out))


if __name__ == "__main__":
    main()
