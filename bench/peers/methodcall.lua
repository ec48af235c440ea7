-- A method called 10^7 times (bench/vel/methodcall.vel does the same through
-- an object's function).
local Counter = {}
Counter.__index = Counter
function Counter:bump(k) self.n = self.n + k end
local c = setmetatable({n = 0}, Counter)
for _ = 1, 10000000 do c:bump(1) end
print(c.n)
