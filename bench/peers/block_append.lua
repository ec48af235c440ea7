-- Peer of bench/block_bench.cpp: 10^7 integers appended to a table, then a
-- 10^6-value table of integers, floats, strings and two-value tables
-- written out as text.
local t0 = os.clock()
local big = {}
for i = 0, 10000000 - 1 do big[#big + 1] = i end
local t1 = os.clock()

local mixed = {}
for i = 0, 1000000 - 1 do
  local k = i % 4
  if k == 0 then mixed[#mixed + 1] = i
  elseif k == 1 then mixed[#mixed + 1] = i + 0.25
  elseif k == 2 then mixed[#mixed + 1] = "word"
  else mixed[#mixed + 1] = {i, i + 1} end
end

local function mold(t, out)
  out[#out + 1] = "["
  for j = 1, #t do
    if j > 1 then out[#out + 1] = " " end
    local v = t[j]
    if type(v) == "table" then mold(v, out)
    elseif type(v) == "string" then out[#out + 1] = v
    else out[#out + 1] = tostring(v) end
  end
  out[#out + 1] = "]"
end

local t2 = os.clock()
local parts = {}
mold(mixed, parts)
local text = table.concat(parts)
local t3 = os.clock()
print(string.format("append %.3f\nmold %.3f\ncheck %d %d", t1 - t0, t3 - t2, #big, #text))
