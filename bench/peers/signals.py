# signals: 10^6 caught errors, as bench/vel/signals.vel's try part (a
# division by zero) or, with the argument "to-integer", its to-integer part
# (int() of a text that is no number), or with "set-path" its set-path part
# (a store past the end of a one-element list).
import sys

n = 0
if sys.argv[1:] == ["to-integer"]:
    for _ in range(1000000):
        try:
            int("x")
        except ValueError:
            n += 1
elif sys.argv[1:] == ["set-path"]:
    b = [1]
    for _ in range(1000000):
        try:
            b[4] = 0
        except IndexError:
            n += 1
else:
    for _ in range(1000000):
        try:
            1 / 0
        except ZeroDivisionError:
            n += 1
print(n)
