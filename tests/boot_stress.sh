#!/usr/bin/env bash
# The library's start-up under collector stress. Start-up is the same every
# time, and moving the whole heap at each of its allocations costs minutes,
# so the suite's stress run starts its processes without stress
# (VEL_GC_STRESS_BOOT=0) and this test is the one start-up that runs under it.
# Usage: boot_stress.sh VEL. Skipped (status 77) outside the stress run.
set -u
vel=$1
[ -n "${VEL_GC_STRESS:-}" ] && [ "$VEL_GC_STRESS" != 0 ] || exit 77
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cat >"$dir/boot.vel" <<'VEL'
Vel []
print [1 + 2 "x" #{01} [a b] mold make object! [a: 1]]
print collect [foreach c "abc" [keep uppercase c]]
print try [1 / 0]
VEL
cat >"$dir/want" <<'OUT'
3 x #{01} a b make object! [
    a: 1
]
A B C
*** Math Error: attempt to divide by zero
*** Where: /
*** Near : 1 / 0
OUT
VEL_GC_STRESS_BOOT=$VEL_GC_STRESS "$vel" "$dir/boot.vel" >"$dir/got" 2>&1
status=$?
if [ $status -ne 0 ] || ! cmp -s "$dir/want" "$dir/got"; then
  echo "start-up under collector stress: status $status, output:"
  cat "$dir/got"
  exit 1
fi
echo "start-up under collector stress: ok"
