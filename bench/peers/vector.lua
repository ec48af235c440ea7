-- v + 1 and v * 2.0 on 10^7 elements in tables, and a copy; seconds per
-- operation, as bench/vel/vector.vel prints them.
local n = 10000000
local v, f = {}, {}
for i = 1, n do v[i] = 0; f[i] = 0.0 end
local t = os.clock()
for i = 1, n do v[i] = v[i] + 1 end
print("add", os.clock() - t)
t = os.clock()
for i = 1, n do f[i] = f[i] * 2.0 end
print("mul", os.clock() - t)
t = os.clock()
local w = table.move(v, 1, n, 1, {})
print("copy", os.clock() - t)
print("check", v[1], f[1], #w)
