-- Peer of bench/lexer_bench.cpp: the same generated items as a Lua table
-- constructor (words become strings, blocks tables), compiled with load
-- and run to build the table. The Vel spelling is counted alongside only
-- to stop at the same item.
local WORDS = {"alpha", "beta", "gamma", "delta", "block", "word", "path", "series",
               "parse", "rule", "vel", "script", "Value", "String", "Map", "Index"}

local x = 12345
local parts = {}
local size = 0

local function item(depth)
  x = x * 48271 % 2147483647
  local k, q = x % 10, (x - x % 10) / 10
  if k <= 3 or (k >= 8 and depth >= 4) then
    local w = WORDS[q % 16 + 1]
    parts[#parts + 1] = '"' .. w .. '"'
    size = size + #w
  elseif k <= 5 then
    local t = string.format("%d", q % 100000)
    parts[#parts + 1] = t
    size = size + #t
  elseif k == 6 then
    local t = string.format("%d.%02d", q % 1000, (q - q % 1000) / 1000 % 100)
    parts[#parts + 1] = t
    size = size + #t
  elseif k == 7 then
    local t = string.format('"s%d"', q % 10000)
    parts[#parts + 1] = t
    size = size + #t
  else
    parts[#parts + 1] = "{"
    size = size + 2
    local n = 1 + q % 8
    for i = 1, n do
      if i > 1 then
        parts[#parts + 1] = ","
        size = size + 1
      end
      item(depth + 1)
    end
    parts[#parts + 1] = "}"
  end
end

parts[1] = "return {"
local items = 0
while size < 20000000 do
  if items > 0 then parts[#parts + 1] = ",\n" end
  item(0)
  size = size + 1
  items = items + 1
end
parts[#parts + 1] = "}"
local src = table.concat(parts)
parts = nil

local t0 = os.clock()
local value = load(src)()
local t1 = os.clock()
print(string.format("load %.3f", t1 - t0))
print(string.format("items %d", #value))
