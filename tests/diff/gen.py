#!/usr/bin/env python3
"""Writes a Vel program of generated cases for the differential test.

Usage: gen.py SEED CASES > program.vel

Each case is a block of code evaluated three times, so that the later runs
go through the compiled form (the default mode compiles on the second
evaluation); before the third run the case may rebind a word its code uses
(another arity, an operator turned function or value, a value turned
function, a control native turned function) or edit the code block itself.
Half the cases run their code as the body of a function, where return and
exit have a target. Every run prints its value or its error (id, near,
where), so the walker alone and the compiled path must print the same text.
A stack overflow prints its id alone: where the stacks run out depends on
the cells each path takes for a frame (the compiled path leaves out frames
that no one sees), not on what the code means.

Seed 1 also writes the hand-made cases of FIXED first: the inputs that have
broken compiled evaluators before (a block edited while it runs, a word
rebound inside its own expression, deep recursion, errors in callbacks).

Every program ends: loops count with words of their own or are guarded by a
break, recursion is bounded by its argument, a body that grows while it runs
grows only while a counter stays small, and the words loops depend on
(+ < > >= = and break) are never rebound.
"""
import random
import sys

INT_EDGES = ["0", "1", "-1", "2", "3", "7", "-5", "100", "2147483647", "-2147483648", "65536", "46341"]
FLOATS = ["0.5", "1.5", "-2.25", "1e3", "0.1", "-0.0", "1e308", "3.0"]
CHARS = ['#"a"', '#"Z"', '#"0"', '#" "', '#"^@"', '#"~"', '#"^(FF)"', '#"^(10FFFF)"']
ARITH = ["+", "-", "*", "+", "-", "*", "/", "//", "%", "plus", "minus", "and", "or", "xor", "**"]
COMPARE = ["<", ">", "=", "<>", "<=", ">=", "=="]
VARS = ["a", "b", "c"]

PRELUDE = r"""Vel [
	Title: "generated differential cases"
]

show: func [run r [any-type!]] [
	case [
		not error? :r [print [run mold/all :r]]
		r/id = 'stack-overflow [print [run "error" r/id]]
		true [print [run "error" r/id mold r/near r/where]]
	]
]
; Control natives and operators a case may rebind, put back after each run
; so that the harness and the next case see the library's own.
lib-words: [if either unless any all case loop repeat foreach until while * // % attempt]
lib-values: reduce [:if :either :unless :any :all :case :loop :repeat :foreach :until :while :* :// :% :attempt]
restore: does [set lib-words lib-values]
"""

# Words every case starts from, so that no case depends on another.
RESET = r"""a: 3 b: -5 c: 7 out: copy [] k: 0 r0: 0 w0: w1: w2: w3: w4: w5: 0
plus: make op! :add
minus: make op! :subtract
f1: func [x] [x * 2 + 1]
f2: func [x y] [either x > y [x - y] [y - x]]
f3: func [x /opt y] [either opt [x + y] [x]]
f4: func [x /twice /add-to y] [if twice [x: x * 2] if add-to [x: x + y] x]
fl: func [x /local t u] [t: x * 2 u: t + 1 u]
fn: function [x] [t: x + 1 repeat i 2 [t: t + i] t]
hs: has [t] [t: k + 5 t]
ds: does [k: k + 1]
r1: func [n] [either n < 1 [0] [n + r1 (min n 30) - 1]]
fib: func [n] [either n < 2 [n] [n: min n 16 (fib n - 1) + fib n - 2]]
ev?: func [n] [either n <= 0 [true] [od? (min n 40) - 1]]
od?: func [n] [either n <= 0 [false] [ev? n - 1]]
rl: func [n /local t] [t: n * 10 if n > 0 [rl (min n 20) - 1] t]
ret: func [x] [if x > 3 [return x * 10] x]
rn: func [n] [loop 3 [foreach x [1 2 3] [if x = n [return x * 100]]] 0]
rx: func [blk] [do blk 7]
rc: func [n] [catch [if n > 1 [exit] throw n] 5]
rt: func [n] [try [if n > 1 [return n]] -1]
ra: func [n] [attempt [if n > 2 [return n * 2] 1 / n]]
ex: func [n] [while [true] [if n > 0 [exit] return 1]]
brk: func [] [break]
cnt: func [] [continue]
thr: func [x] [throw x]
thn: func [x] [throw/name x 'tag]
err: func [x] [x / 0]
self-set: func [] [self-set: 1 2]
o: make object! [x: 1 m: func [y] [x: x + y]]
edit: func [] [append body-of :edit 1 0]
flip: func [x] [r0: x + 10 poke body-of :flip 3 either '+ = pick body-of :flip 3 ['-] ['+] r0]
grow: func [] [if k < 40 [append body-of :grow [k: k + 1]] k]
cmpf: func [p q] [if p = 13 [p / 0] p < q]
pc: charset ".,;!^/"
"""

# Rebindings done before the third run.
REBINDS = [
    "f1: func [x y] [x - y]",
    "f1: 7",
    "f1: make op! :add",
    "f2: func [x] [x + 100]",
    "f2: :f1",
    "f2: make op! :multiply",
    "f3: func [x y] [x * y]",
    "f3: does [3]",
    "fl: func [x y z] [x + y + z]",
    "plus: make op! :multiply",
    "plus: func [x] [x + 1]",
    "plus: func [x y z] [x + y - z]",
    "plus: does [4]",
    "plus: 5",
    "minus: :plus",
    "minus: func [] [2]",
    "a: 1.5",
    "a: #\"x\"",
    "a: 2147483647",
    "b: none",
    "b: make op! :subtract",
    "c: func [] [42]",
    "c: func [x y] [x * y]",
    "a: func [x] [x * x]",
    "r1: func [n] [n]",
    "fib: func [n] [n + 1]",
    "od?: func [n] [n]",
    "ret: func [x] [x]",
    "rn: func [n] [return n]",
    "brk: func [] [1]",
    "cnt: does [k]",
    "thr: func [x] [x + 1]",
    "thn: func [x] [throw x]",
    "err: func [x] [x]",
    "f4: func [x /twice] [x]",
    "f4: func [x /add-to y /twice] [either twice [x * 3] [x]]",
    "ds: func [x] [x]",
    "hs: 9",
    "o: make object! [m: 5 x: 2]",
    "o/m: func [] [0]",
    "o/x: none",
    "if: func [cond blk] [either cond [do blk] [none]]",
    "either: func [cond t f] [do pick reduce [t f] not not :cond]",
    "unless: :if",
    "any: :all",
    "all: func [blk] [reduce blk]",
    "loop: func [n blk] [repeat i n blk]",
    "repeat: func ['w n blk] [set w 0 while [(get w) < n] [set w (get w) + 1 do blk]]",
    "foreach: func ['w s blk] [loop length? s blk]",
    "attempt: func [blk] [try blk]",
    "*: make op! :add",
    "*: func [x] [x]",
    "set '// make op! :multiply",
    "set '% 3",
    "case: :any",
]

# Edits of the code block: between runs, and the first ones also while it
# runs (they touch cells it has passed, or add cells at its tail).
CODE_EDITS = [
    "append code [1 + 1]",
    "poke code 1 99",
    "change code [b: 2]",
]
# Edits that change the cells ahead of the position or move those behind
# it: the walker reads the next argument, operator or expression from the
# block as it is now, at the same index.
AHEAD_EDITS = [
    "clear code",
    "poke code length? code 'a",
    "insert code [a: 1000]",
    "reverse code",
    "remove code",
    "take/last code",
]

# Hand-made cases: each runs like a generated one (three runs, a rebind
# before the third), after the same reset.
FIXED = [
    # A loop body that appends to itself while it runs.
    ("lb: copy [k: k + 1 if k < 6 [append lb [k: k + 10]]] loop 3 lb append out k", "none"),
    ("wb: [k: k + 1 if k < 20 [append wb [out: k]]] w0: 0 while [w0 < 3] [w0: w0 + 1 do wb] length? wb", "none"),
    ("s: copy [1 2] foreach v s [if v < 6 [append s v + 2] append out v] length? s", "none"),
    # Edits of the block that runs, behind and ahead of the position, by
    # statements of its own.
    ("x: 1 + 2 poke code 2 10 x", "poke code 2 20"),
    ("k: k + 1 poke code 8 k * 100 a: 5 b: a out", "none"),
    ("pb: [w0: w0 + 1 poke pb 4 w0 * 3 0] loop 3 [append out do pb]", "none"),
    ("change at code 5 [k: 3] k: 4 k", "none"),
    ("insert at code 5 [k: 5] k: 4 k", "none"),
    ("k: 1 take/last code k: 2 k", "none"),
    ("k: 1 reverse code k: 2 k", "none"),
    # A function that edits its own body, between and during calls.
    ("append out flip 1 append out flip 1 append out flip 1", "none"),
    ("append out grow append out grow", "grow: func [] [k]"),
    ("edit edit length? body-of :edit", "none"),
    # Words rebound inside their own expression.
    ("self-set", "none"),
    ("g: func [] [g: 10 20] reduce [g g]", "none"),
    ("h: func [x] [h: func [x y] [x * y] x] reduce [h 2 h 3 4]", "none"),
    ("plus: func [x] [plus: make op! :add x] reduce [plus 5 1 plus 2]", "none"),
    # An op rebound to functions of other arities between runs.
    ("1 plus 2 plus 3", "plus: func [x y z] [x + y + z]"),
    ("reduce [a plus b c]", "plus: func [] [0]"),
    ("reduce [f1 a b]", "f1: make op! :multiply"),
    # Deep recursion ends in an error that try catches.
    ("dr: func [n] [1 + dr n + 1] e: try [dr 0] reduce [e/id e/near]", "none"),
    ("dd: func [n] [either n = 0 [0] [1 + dd n - 1]] dd 1000", "dd: func [n] [n]"),
    # ... at the level where the walker runs out: a store before the call,
    # and a branch computed in place in a function a block calls as it
    # recurses through reduce.
    ("k: 0 dk: func [n] [k: n 1 + dk n + 1] try [dk 0] k", "none"),
    ("k: 0 pr: [f2 100 1e3 k: k + 1 reduce pr] try [do pr] k", "none"),
    # Errors and signals raised inside callbacks run from compiled code.
    ("sort/compare [3 1 2] :cmpf", "none"),
    ("try [sort/compare [3 13 2] :cmpf]", "none"),
    ("catch [sort/compare [3 1 2] func [p q] [throw p]]", "none"),
    ("loop 2 [sort/compare [3 1 2] func [p q] [break]] 5", "none"),
    ("parse [1 2 3] [some [set x integer! (append out x * 2)]] out", "none"),
    ("catch [parse [1 2 3] [some [set x integer! (if x = 2 [throw x * 7])]]]", "none"),
    ("try [parse [1 2 3] [some [set x integer! (x / 0)]]]", "none"),
    ("repeat i 3 [parse [1] [(if i = 2 [continue]) integer!] append out i] out", "none"),
    # break, continue and signals that meet try, attempt and catch in a loop.
    ("loop 3 [k: k + 1 try [break]] k", "none"),
    ("loop 3 [k: k + 1 try/all [break]] k", "none"),
    ("loop 3 [k: k + 1 attempt [continue] k: k + 100] k", "none"),
    ("catch [try/all [throw 1]]", "none"),
    ("catch/name [catch/name [throw/name 5 'b] 'a] 'b", "none"),
    ("catch/name [throw 5] 'a", "none"),
    ("catch/name [throw/name 6 'B] [a b]", "none"),
    ("w0: 0 while [w0: w0 + 1 if w0 > 2 [break] w0 < 5] [k: k + 1]", "none"),
    # Overflow and char arithmetic.
    ("reduce [2147483647 + 1 -2147483648 - 1 65536 * 65536 46341 * 46341 - -2147483648]", "a: 2147483647"),
    ("reduce [#\"a\" + 1 #\"z\" - #\"a\" #\"a\" < #\"b\" #\"A\" = #\"a\" #\"A\" == #\"a\" #\"^(10FFFF)\" + 1]", "none"),
    ("reduce [1.5 + 1 7 / 2 1e308 * 10 0.1 + 0.2 = 0.3 -2147483648 // -1]", "none"),
    # Edits made inside an expression that still takes arguments (in a loop
    # body or a paren among them): the next argument is read from the block
    # as it is now; and statements that move the cells behind the position,
    # after which the run goes on at the same index over the moved cells,
    # the operator after a call's value included.
    ("print unless loop 1 [clear code 5] [7]", "none"),
    ("a: 1 remove code none + -19", "none"),
    ("append/only out (loop 2 [take/last code 1]) 3", "none"),
]

# Edits of the running block by a statement of its own, anywhere in it
# (also as the argument of an expression before it).
OWN_EDITS = ["poke code length? code %s", "change back tail code %s", "clear code", "take/last code"]
RUNNING_EDITS = OWN_EDITS + AHEAD_EDITS


class Gen:
    """Code text. Where a number is wanted (an operand, a value assigned to
    a, b or c) most expressions are of the kinds that give numbers, so that
    most runs go far before an error, if any, ends them."""

    def __init__(self, rng, in_func):
        self.r = rng
        self.loops = 0  # loops around the position being generated
        self.in_func = in_func  # return and exit have a target

    def pick(self, xs):
        return self.r.choice(xs)

    def atom(self, num=True):
        x = self.r.random()
        if x < 0.22:
            return self.pick(INT_EDGES)
        if x < 0.3:
            return self.pick(FLOATS)
        if x < 0.33:
            return self.pick(CHARS)
        if x < 0.6:
            return self.pick(VARS)
        if x < 0.64:
            return "k"
        if not num and x < 0.75:
            return self.pick(["true", "false", "none"])
        return str(self.r.randint(-20, 20))

    def small(self):
        # A bounded argument for recursion: an atom folded into 0..n.
        return "%s %% %d" % (self.atom(), self.r.randint(5, 15))

    def expr(self, d, num=True):
        if d <= 0:
            return self.atom(num)
        x = self.r.random()
        if x < 0.12:
            return self.atom(num)
        if x < 0.32:
            op = self.pick(ARITH) if num or self.r.random() < 0.5 else self.pick(COMPARE)
            return "%s %s %s" % (self.operand(d - 1), op, self.expr(0))
        if x < 0.36:
            return "(%s)" % self.expr(d - 1, num)
        if num and self.r.random() < 0.85:
            return self.pick(self.NUM_KINDS)(self, d)
        return self.pick(self.KINDS)(self, d)

    # An operand of an operator: an expression that ends with a block (if,
    # either) or a function's last argument would give that block or
    # argument to the operator, so compound operands mostly stand in parens.
    def operand(self, d):
        e = self.expr(d)
        if " " in e and not e.startswith("(") and self.r.random() < 0.85:
            return "(%s)" % e
        return e

    def cond(self, d):
        return self.expr(d, False)

    # --- expression kinds ---

    def k_f1(self, d):
        return "f1 %s" % self.expr(d - 1)

    def k_f2(self, d):
        return "f2 %s %s" % (self.expr(d - 1), self.expr(d - 1))

    def k_f3(self, d):
        if self.r.random() < 0.5:
            return "f3 %s" % self.expr(d - 1)
        return "f3/opt %s %s" % (self.expr(d - 1), self.expr(d - 1))

    def k_f4(self, d):
        path = self.pick(["f4", "f4/twice", "f4/add-to", "f4/twice/add-to", "f4/add-to/twice"])
        args = [self.expr(d - 1)]
        if "add-to" in path:
            args.append(self.expr(d - 1))
        return " ".join([path] + args)

    def k_locals(self, d):
        return self.pick(["fl %s", "fn %s", "hs", "ds", "o/m %s", "also %s k: k + 1"]).replace("%s", self.expr(d - 1))

    def k_either(self, d):
        return "either %s [%s] [%s]" % (self.cond(d - 1), self.body(d - 1), self.body(d - 1))

    def k_if(self, d):
        return "%s %s [%s]" % (self.pick(["if", "unless"]), self.cond(d - 1), self.body(d - 1))

    def k_any_all(self, d):
        items = [self.cond(d - 1) for _ in range(self.r.randint(0, 3))]
        return "%s [%s]" % (self.pick(["any", "all"]), " ".join(items))

    def k_case(self, d):
        arms = []
        for _ in range(self.r.randint(1, 3)):
            arms.append("%s [%s]" % (self.cond(d - 1), self.body(d - 1)))
        if self.r.random() < 0.5:
            arms.append("true %s" % self.expr(d - 1))  # a branch that is an expression
        return "%s [%s]" % (self.pick(["case", "case", "case/all"]), " ".join(arms))

    def k_switch(self, d):
        keys = self.r.sample(["1", "2", "3", "-5", "7", "none", '"a"', '#"a"'], self.r.randint(1, 3))
        arms = " ".join("%s [%s]" % (key, self.body(d - 1)) for key in keys)
        if self.r.random() < 0.6:
            return "switch/default %s [%s] [%s]" % (self.expr(d - 1), arms, self.body(d - 1))
        return "switch %s [%s]" % (self.expr(d - 1), arms)

    def k_recursion(self, d):
        return self.pick(["r1 %s", "fib %s", "rl %s", "1 + r1 %s"]).replace("%s", self.small())

    def k_parity(self, d):
        return "either ev? %s [1] [2]" % self.small()

    def k_returns(self, d):
        choice = self.r.randint(0, 6)
        if choice < 6:
            return "%s %s" % (["ret", "rn", "rc", "rt", "ra", "ex"][choice], self.expr(d - 1))
        # A block run by another function: its signals reach past it.
        return "rx [%s]" % self.pick(["return %s" % self.atom(), "exit", "break", "throw %s" % self.atom(),
                                      self.expr(d - 1)])

    def k_catch(self, d):
        body = self.catch_body(d - 1)
        x = self.r.random()
        if x < 0.6:
            return "catch [%s]" % body
        if x < 0.8:
            return "catch/name [%s] 'tag" % body
        return "catch/name [%s] [other tag]" % body

    def k_try(self, d):
        form = self.pick(["attempt [%s]", "attempt/safer [%s]", "error? try [%s]", "try/all [%s]",
                          "either error? e: try [%s] [e/id] [:e]"])
        return form.replace("%s", self.body(d - 1))

    def k_err(self, d):
        return self.pick(["err %s" % self.expr(d - 1), "%s / 0" % self.atom(), "none + %s" % self.atom(),
                          "undefined-word", "do make error! \"boom\"", "to char! %s" % self.expr(d - 1),
                          "first []", "pick [1 2] %s" % self.atom()])

    def k_number(self, d):
        # Char and float arithmetic, integers that overflow.
        return self.pick([
            "%s + %s" % (self.pick(CHARS), self.operand(d - 1)),
            "%s - %s" % (self.pick(CHARS), self.pick(CHARS)),
            "%s %s %s" % (self.pick(FLOATS), self.pick(ARITH), self.operand(d - 1)),
            "%s * 65536" % self.operand(d - 1),
            "%s + 2147483647" % self.operand(d - 1),
            "-2147483648 - %s" % self.operand(d - 1),
            "to integer! %s" % self.expr(d - 1),
            "negate %s" % self.expr(d - 1),
            "absolute %s" % self.expr(d - 1),
        ])

    def k_chars(self, d):
        return "%s %s %s" % (self.pick(CHARS), self.pick(COMPARE), self.pick(CHARS + ["65", "a"]))

    def k_self_edit(self, d):
        return self.pick(["self-set", "flip %s" % self.expr(d - 1), "grow", "edit"])

    def k_loop(self, d):
        if self.loops >= 4:
            return self.atom()
        return self.loop(d - 1)

    def k_do(self, d):
        return self.pick(["do [%s]", "first reduce [%s]", "first compose [(%s)]"]).replace("%s", self.body(d - 1))

    def k_callback(self, d):
        # Vel code run by a native's callback from the compiled path.
        x = self.r.random()
        if x < 0.4:
            return "sort/compare [3 1 13 2] :cmpf"
        if x < 0.7:
            return "parse [1 2 3] [some [set x integer! (%s)]]" % self.stmt(d - 1)
        return "remove-each v [1 2 3 4] [%s]" % self.cond(d - 1)

    NUM_KINDS = [k_f1, k_f2, k_f3, k_f4, k_locals, k_recursion, k_parity, k_returns, k_number, k_self_edit, k_do,
                 k_either, k_switch]
    KINDS = NUM_KINDS + [k_if, k_any_all, k_case, k_catch, k_try, k_err, k_chars, k_loop, k_callback]

    def catch_body(self, d):
        parts = [self.stmt(d) for _ in range(self.r.randint(1, 3))]
        if self.r.random() < 0.6:
            thrown = self.pick(["throw %s", "throw/name %s 'tag", "throw/name %s 'other", "thn %s"])
            parts.insert(self.r.randint(0, len(parts)), "if %s [%s]" % (self.cond(0), thrown.replace("%s", self.expr(0))))
        if self.r.random() < 0.3:
            parts.append("thr %s" % self.expr(0))
        return " ".join(parts)

    def loop(self, d):
        kind = self.r.randint(0, 10)
        self.loops += 1
        body = self.body(d)
        self.loops -= 1
        n = self.r.randint(0, 4)
        # Each nesting level counts with its own word, so that no inner loop
        # resets an outer one's counter.
        w = "w%d" % self.loops
        if kind == 0:
            return "loop %s [%s]" % (self.pick([str(n), str(n), "2.9", "-1"]), body)
        if kind == 1:
            return "repeat i %d [%s]" % (n, body)
        if kind == 2:
            return "foreach v [%d %s %s] [%s]" % (n, self.atom(), self.atom(), body)
        if kind == 3:
            return "foreach [v u] [%d %s %s] [%s]" % (n, self.atom(), self.atom(), body)
        if kind == 4:
            return "%s: 0 while [%s < %d] [%s: %s + 1 %s]" % (w, w, n, w, w, body)
        if kind == 5:
            # A continue skips the test at the end: the guard at the top ends it.
            return "%s: 0 until [%s: %s + 1 if %s > %d [break] %s %s >= %d]" % (w, w, w, w, n, body, w, n)
        if kind == 6:
            return "%s: 0 forever [%s: %s + 1 if %s > %d [break/return %s] %s]" % (w, w, w, w, n, w, body)
        if kind == 7:
            return "sr: [1 2 3] forall sr [%s]" % body
        if kind == 9:
            return self.scan(d)
        if kind == 8:
            # A body that grows while it runs, while a counter stays small.
            lb = "lb%d" % self.loops
            return "%s: copy [k: k + 1 if k < %d [append %s [%s]]] loop %d %s" % (lb, self.r.randint(3, 30), lb, body, n, lb)
        return "loop %d [%s]" % (n, body)

    # A character loop as text scanners write it: tests of the char in
    # branches of several statements, counters, a charset, nested branches.
    SCAN_TEXTS = ['"ab 12, Cd!"', '"x"', '""', '"Zz9 ^\/.;"', '"é€a1"', '"aa  bb"']
    SCAN_CONDS = ['any [all [ch >= #"a" ch <= #"z"] all [ch >= #"A" ch <= #"Z"]]', 'all [ch >= #"0" ch <= #"9"]',
                  'find pc ch', 'ch = #" "', 'ch > #"m"', 'not in-w']

    def scan_branch(self, d):
        parts = [self.pick(["k: k + 1", "in-w: true", "in-w: false", "a: a + 1", "w5: w5 + 1"])
                 for _ in range(self.r.randint(0, 2))]
        x = self.r.random()
        if x < 0.35 and d > 0:
            parts.append("either %s [%s] [%s]" % (self.pick(self.SCAN_CONDS), self.scan_branch(d - 1),
                                                  self.scan_branch(d - 1)))
        elif x < 0.6 and d > 0:
            parts.append("%s %s [%s]" % (self.pick(["if", "unless"]), self.pick(self.SCAN_CONDS),
                                         self.scan_branch(d - 1)))
        elif x < 0.8:
            parts.append(self.stmt(max(d - 1, 0)))
        else:
            parts.append(self.pick(["k", "ch", "in-w", "k: k + 1"]))
        return " ".join(parts)

    def scan(self, d):
        self.loops += 1
        body = " ".join(self.scan_branch(min(d, 2)) for _ in range(self.r.randint(1, 2)))
        self.loops -= 1
        return "in-w: false foreach ch %s [%s]" % (self.pick(self.SCAN_TEXTS), body)

    def stmt(self, d):
        x = self.r.random()
        if x < 0.25:
            return "%s: %s" % (self.pick(VARS), self.expr(d, self.r.random() < 0.9))
        if x < 0.37:
            return "append/only out %s" % self.expr(d, False)
        if self.loops and x < 0.47:
            # Now and then a bare one: the rest of the body never runs.
            if self.r.random() < 0.2:
                return self.pick(["continue", "break"])
            exit = self.pick(["break", "continue", "brk", "cnt", "break/return %s" % self.atom()])
            return "if %s [%s]" % (self.cond(0), exit)
        if self.in_func and x < 0.5:
            return "if %s [%s]" % (self.cond(0), self.pick(["return %s" % self.atom(), "exit"]))
        if x < 0.54:
            return "print %s" % self.expr(d, False)
        if x < 0.56:
            return "o/x: o/x + %s" % self.expr(d)
        if x < 0.58:
            # The running block edited in place.
            edits = ["poke code 1 %s", "append code [%s]", "edit"] + RUNNING_EDITS
            return self.pick(edits).replace("%s", self.atom())
        if x < 0.6:
            # A word rebound halfway through the code: the rest of this run
            # and the next runs read it again.
            return self.pick(REBINDS + CODE_EDITS)
        if x < 0.68 and d > 0 and self.loops < 4:
            return self.loop(d - 1)
        return self.expr(d, False)

    # Statements, then mostly a value: a body used as an operand.
    def body(self, d, num=True):
        d = max(d, 0)
        parts = [self.stmt(d) for _ in range(self.r.randint(0, 2))]
        parts.append(self.expr(d, num) if self.r.random() < 0.85 else self.stmt(d))
        return " ".join(parts)


def runs(n, code, rebind, in_func):
    # In a function the code is the function's own body: edits of code edit
    # the body that runs.
    if in_func:
        head = "cf: func [x /local a b] [%s]\ncode: body-of :cf\n" % code
        call = "cf %d" % n
    else:
        head = "code: [%s]\n" % code
        call = "do code"
    return ("; case %d\nprint \"case %d\"\n%s" % (n, n, RESET)) + head + (
        "repeat run 3 [\n"
        "\tif run = 3 [%s]\n"
        "\tset/any 'res try/all [reduce [%s out]]\n"
        "\trestore\n"
        "\tshow run get/any 'res\n"
        "]\n" % (rebind, call))


def case(rng, n):
    in_func = rng.random() < 0.5
    g = Gen(rng, in_func)
    stmts = [g.stmt(3) for _ in range(rng.randint(1, 4))]
    # An edit of the running block among its statements.
    if rng.random() < 0.25:
        where = rng.randint(0, len(stmts))
        stmts.insert(where, rng.choice(RUNNING_EDITS).replace("%s", g.atom()))
    code = " ".join(stmts)
    rebind = rng.choice(REBINDS + CODE_EDITS + AHEAD_EDITS) if rng.random() < 0.8 else "none"
    return runs(n, code, rebind, in_func)


def main():
    seed = int(sys.argv[1])
    count = int(sys.argv[2])
    rng = random.Random(seed)
    out = [PRELUDE]
    n = 0
    if seed == 1:
        for code, rebind in FIXED:
            out.append(runs(n, code, rebind, False))
            n += 1
    for _ in range(count):
        out.append(case(rng, n))
        n += 1
    sys.stdout.write("\n".join(out))


if __name__ == "__main__":
    main()
