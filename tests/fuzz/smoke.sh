#!/usr/bin/env bash
# Short fuzz run of each target on a copy of its corpus, then every kept
# input once. One process each: -jobs would fork workers that write their
# logs into the current folder. The native build's ctest runs one target per
# test, beside the other tests.
# Usage: tests/fuzz/smoke.sh [build folder] [seconds per target] [target...]
# Without targets: every tests/fuzz/*_fuzz.cpp.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:-$root/build/fuzz}" && pwd)"
seconds="${2:-20}"
targets=("${@:3}")
[ ${#targets[@]} -gt 0 ] || for source in "$root"/tests/fuzz/*_fuzz.cpp; do targets+=("$(basename "$source" .cpp)"); done

for target in "${targets[@]}"; do
  program="$build/tests/fuzz/$target"
  kept="$root/tests/fuzz/corpus/$target"
  work="$build/smoke-corpus/$target"
  rm -rf "$work"
  mkdir -p "$work"
  inputs=("$kept"/*)  # none (the pattern itself) for a new target
  [ -e "${inputs[0]}" ] || inputs=()
  [ ${#inputs[@]} = 0 ] || cp "${inputs[@]}" "$work"/
  echo "== fuzz $target: ${seconds} s"
  "$program" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/smoke-" "$work" 2>"$build/smoke-$target.log" ||
    { tail -n 40 "$build/smoke-$target.log"; exit 1; }
  grep -E '^stat::number_of_executed_units' "$build/smoke-$target.log" || true
  echo "== fuzz $target: kept inputs"
  [ ${#inputs[@]} = 0 ] || "$program" "${inputs[@]}" 2>"$build/regress-$target.log" ||
    { tail -n 40 "$build/regress-$target.log"; exit 1; }
done
echo "fuzz smoke: ${targets[*]} ran clean"
