#!/usr/bin/env bash
# Configures and builds one configuration: native, sanitize, windows or fuzz.
set -eu
root=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
kind=${1:-native}
jobs=${JOBS:-$(nproc)}
case "$kind" in
  native)   args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  sanitize) args=(-DCMAKE_BUILD_TYPE=Debug -DVEL_SANITIZE=ON) ;;
  fuzz)     args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEL_FUZZ=ON -DVEL_TESTS=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  windows)  args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake") ;;
  *) echo "build.sh: unknown build '$kind'" >&2; exit 2 ;;
esac
dir=$root/build/$kind
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S "$root" -B "$dir" -G Ninja "${args[@]}" >"$log" 2>&1 || { cat "$log"; exit 1; }
fi
ninja -C "$dir" -j "$jobs" >"$log" 2>&1 || { grep -E -A5 "FAILED|error" "$log" | head -n 60; exit 1; }
