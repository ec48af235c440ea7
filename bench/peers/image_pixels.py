# Peer of bench/vel/image_pixels.vel: a Python loop over the red bytes of
# 10^6 BGRA pixels in a bytearray, and a memcpy of the 4,000,000 bytes that
# a 1000x1000 region holds (bytes of a memoryview slice), 10 times, the
# time being one copy's.
import time

pixels = bytearray(b"\x1e\x14\x0a\xff" * 1000000)
for i in range(1, 1001):
    pixels[(i * 997 - 1) * 4:(i * 997 - 1) * 4 + 4] = bytes((0, 0, i % 256, 255))
t = time.perf_counter()
total = 0
for i in range(2, 4000000, 4):
    total += pixels[i]
print("foreach", time.perf_counter() - t)

big = bytearray(b"\x03\x02\x01\xff" * 4000000)
view = memoryview(big)
t = time.perf_counter()
for _ in range(10):
    part = bytes(view[2000 * 500 * 4:2000 * 500 * 4 + 4000000])
print("copy-part", (time.perf_counter() - t) / 10)
print("check", total, len(part))
