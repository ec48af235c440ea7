-- Peer of bench/hashtable_bench.cpp: 10^6 integer keys stored, found and
-- deleted in a table.
local n = 1000000
local keys = {}
for i = 0, n - 1 do keys[i + 1] = (i * 2654435761) & 0xFFFFFFFF end
local t0 = os.clock()
local t = {}
for i = 1, n do t[keys[i]] = i - 1 end
local t1 = os.clock()
local s = 0
for i = 1, n do s = s + t[keys[i]] end
local t2 = os.clock()
for i = 1, n do t[keys[i]] = nil; s = s + 1 end
local t3 = os.clock()
print(string.format("store %.3f\nfind %.3f\ndelete %.3f\ncheck %d", t1 - t0, t2 - t1, t3 - t2, s))
