#!/usr/bin/env bash
# Fails when a file of the runtime includes a header of a layer above its
# own. The layers, bottom up, are the folders:
#   0  runtime/ (top level) and runtime/platform/: memory, collector, cells,
#      status and stacks, hashing, text kernels, checksums, random, output,
#      the operating system
#   1  runtime/datatypes/: the values and their actions
#   2  runtime/io/: lexer, VELBIN, compression
#   3  runtime/evaluator/: interpreter, compiled forms, natives
#   4  start-up, which puts the layers together: the files of runtime/ named
#      in rank_of below
# A layer includes its own headers and those of the layers below. The one
# way up is eval.h, declared at the bottom and defined above.
#
# Usage: tests/layers.sh [runtime directory]
set -u
root=$(cd "${1:-$(dirname "${BASH_SOURCE[0]}")/../runtime}" && pwd)

# Allowed includes up, one per line: including file (a glob, relative to
# the runtime directory) and included header. Each must still be needed:
# an entry that matches no include fails too, so the list stays true.
allowed=()

rank_of() {  # path relative to the runtime directory
  case $1 in
    platform/*) echo 0 ;;
    datatypes/*) echo 1 ;;
    io/*) echo 2 ;;
    evaluator/*) echo 3 ;;
    main.cpp | startup.* | runtime_init.* | boot.* | boot_image.h | library.* | library_routines.* | system_routines.*) echo 4 ;;
    */*) echo 9 ;;  # a folder with no place in the list
    *) echo 0 ;;
  esac
}

declare -A used=()
fail=0
cd "$root" || exit 2
while IFS= read -r file; do
  file=${file#./}
  from=$(rank_of "$file")
  if [ "$from" = 9 ]; then
    echo "layers: $file is in a folder that is no layer"
    fail=1
    continue
  fi
  dir=$(dirname "$file")
  while IFS= read -r header; do
    # A quoted include is looked up beside the file first, then from the
    # runtime directory.
    if [ "$dir" != . ] && [ -f "$dir/$header" ]; then target="$dir/$header"; else target=$header; fi
    [ -f "$target" ] || continue  # not a runtime header
    to=$(rank_of "$target")
    [ "$to" -le "$from" ] && continue
    ok=0
    for entry in "${allowed[@]}"; do
      pattern=${entry% *}
      # shellcheck disable=SC2053
      if [[ $file == $pattern ]] && [ "${entry#* }" = "$target" ]; then
        ok=1
        used[$entry]=1
      fi
    done
    if [ $ok = 0 ]; then
      echo "layers: $file includes $target, a layer above its own"
      fail=1
    fi
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(find . -name '*.cpp' -o -name '*.h' | sort)

for entry in "${allowed[@]}"; do
  if [ -z "${used[$entry]:-}" ]; then
    echo "layers: the allowed include '$entry' is no longer needed: remove it from $0"
    fail=1
  fi
done

[ $fail = 0 ] && echo "layers: every include goes down or across"
exit $fail
