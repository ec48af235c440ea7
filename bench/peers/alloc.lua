local clock = os.clock
local t0 = clock()
local a = {}
for i = 0, 9999999 do a[#a + 1] = i end
local t1 = clock()
local small = {}
for i = 0, 999999 do small[i + 1] = {i} end
local t2 = clock()
local sum = #a
for i = 1, #small do sum = sum + small[i][1] end
print(string.format("append %.3f", t1 - t0))
print(string.format("small %.3f", t2 - t1))
print(string.format("check %d", sum))
