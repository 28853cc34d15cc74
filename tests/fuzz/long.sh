#!/usr/bin/env bash
# The long fuzz run: each target in turn, one process, for N executions
# (default 10000000), on a copy of its corpus in the build folder. New
# findings land in <build>/long-crash-*; keep each in tests/fuzz/corpus/.
# Usage: tests/fuzz/long.sh [N] [build folder]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
runs="${1:-10000000}"
build="$(cd "${2:-$root/build/fuzz}" && pwd)"

status=0
for source in "$root"/tests/fuzz/*_fuzz.cpp; do
  target="$(basename "$source" .cpp)"
  work="$build/long-corpus/$target"
  mkdir -p "$work"
  cp "$root/tests/fuzz/corpus/$target"/* "$work"/
  echo "== $target: $runs executions"
  start=$(date +%s)
  if "$build/tests/fuzz/$target" -runs="$runs" -print_final_stats=1 \
    -artifact_prefix="$build/long-crash-$target-" "$work" 2>"$build/long-$target.log"; then
    result=clean
  else
    result=FAILED
    status=1
  fi
  grep -E '^(Done|stat::number_of_executed_units)' "$build/long-$target.log" || true
  echo "$target: $result in $(($(date +%s) - start)) s (log: $build/long-$target.log)"
done
exit $status
