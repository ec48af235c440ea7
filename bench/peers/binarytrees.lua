-- binarytrees: allocate and walk binary trees (depth 16), the same work as
-- bench/vel/binarytrees.vel. A node is a two-element table, a leaf an empty table.

local function make_tree(depth)
  if depth > 0 then
    return { make_tree(depth - 1), make_tree(depth - 1) }
  end
  return {}
end

local function check(tree)
  if tree[1] == nil then return 1 end
  return 1 + check(tree[1]) + check(tree[2])
end

local min_depth = 4
local max_depth = math.max(min_depth + 2, 16)
local stretch = max_depth + 1
print(string.format("stretch tree of depth %d check: %d", stretch, check(make_tree(stretch))))
local long_lived = make_tree(max_depth)
local depth = min_depth
while depth <= max_depth do
  local iterations = 1 << (max_depth - depth + min_depth)
  local total = 0
  for _ = 1, iterations do
    total = total + check(make_tree(depth))
  end
  print(string.format("%d trees of depth %d check: %d", iterations, depth, total))
  depth = depth + 2
end
print(string.format("long lived tree of depth %d check: %d", max_depth, check(long_lived)))
