-- The peer of the block? part of bench/vel/library.vel: a type test of a
-- table, 10^7 times.
local x = {1}
local t0 = os.clock()
local r
for _ = 1, 10000000 do
  r = type(x) == "table"
end
print("block? " .. string.format("%.4f", os.clock() - t0))
