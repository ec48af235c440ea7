# signals: 10^6 caught divisions by zero, as bench/vel/signals.vel's try part.
n = 0
for _ in range(1000000):
    try:
        1 / 0
    except ZeroDivisionError:
        n += 1
print(n)
