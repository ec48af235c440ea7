-- Three saturating byte adds on a table, 10^7 times (bench/vel/tuple.vel
-- adds 1.1.1 to a tuple).
local function add(t, u)
  local r, g, b = t[1] + u[1], t[2] + u[2], t[3] + u[3]
  if r > 255 then r = 255 end
  if g > 255 then g = 255 end
  if b > 255 then b = 255 end
  return {r, g, b}
end

local t, one = {0, 0, 0}, {1, 1, 1}
for _ = 1, 10000000 do t = add(t, one) end
print(t[1] .. "." .. t[2] .. "." .. t[3])
