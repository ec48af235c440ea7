# binarytrees: allocate and walk binary trees (depth 16), the same work as
# bench/vel/binarytrees.vel. A node is a two-element list, a leaf an empty list.


def make_tree(depth):
    if depth > 0:
        return [make_tree(depth - 1), make_tree(depth - 1)]
    return []


def check(tree):
    if not tree:
        return 1
    return 1 + check(tree[0]) + check(tree[1])


def main():
    min_depth = 4
    max_depth = max(min_depth + 2, 16)
    stretch = max_depth + 1
    print("stretch tree of depth", stretch, "check:", check(make_tree(stretch)))
    long_lived = make_tree(max_depth)
    depth = min_depth
    while depth <= max_depth:
        iterations = 1 << (max_depth - depth + min_depth)
        total = 0
        for _ in range(iterations):
            total += check(make_tree(depth))
        print(iterations, "trees of depth", depth, "check:", total)
        depth += 2
    print("long lived tree of depth", max_depth, "check:", check(long_lived))


main()
