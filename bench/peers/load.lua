-- The peer of bench/vel/load.vel: load of the same rows as a table
-- constructor, and a serialised table written then loaded back.
local d = arg[1]
local clock = os.clock

local f = io.open(d .. "/src.lua", "r")
local text = f:read("a")
f:close()
local t0 = clock()
local data = load("return " .. text)()
print(string.format("load %.4f", clock() - t0))
print("rows", #data)
data = nil
collectgarbage()

local values = {}
for i = 1, 333334 do
  values[#values + 1] = i
  values[#values + 1] = i + 0.5
  values[#values + 1] = "s" .. i
end
for i = #values, 1000001, -1 do values[i] = nil end
t0 = clock()
local parts = {}
for i = 1, #values do
  local v = values[i]
  parts[i] = type(v) == "string" and string.format("%q", v) or tostring(v)
end
f = io.open(d .. "/round-lua.txt", "w")
f:write("return {", table.concat(parts, ","), "}")
f:close()
f = io.open(d .. "/round-lua.txt", "r")
local back = load(f:read("a"))()
f:close()
print(string.format("save-load %.4f", clock() - t0))
print("values", #back)
