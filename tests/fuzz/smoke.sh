#!/usr/bin/env bash
# Short fuzz run of every target on a copy of its corpus, then every kept
# input once. One process each: -jobs would fork workers that write their
# logs into the current folder.
# Usage: tests/fuzz/smoke.sh [build folder] [seconds per target]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:-$root/build/fuzz}" && pwd)"
seconds="${2:-20}"

for target in run_fuzz split_fuzz name_fuzz rules_fuzz matcher_fuzz; do
  program="$build/tests/fuzz/$target"
  kept="$root/tests/fuzz/corpus/$target"
  work="$build/smoke-corpus/$target"
  rm -rf "$work"
  mkdir -p "$work"
  cp "$kept"/* "$work"/
  echo "== fuzz $target: ${seconds} s"
  "$program" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/smoke-" "$work" 2>"$build/smoke-$target.log" ||
    { tail -n 40 "$build/smoke-$target.log"; exit 1; }
  grep -E '^stat::number_of_executed_units' "$build/smoke-$target.log" || true
  echo "== fuzz $target: kept inputs"
  "$program" "$kept"/* 2>"$build/regress-$target.log" ||
    { tail -n 40 "$build/regress-$target.log"; exit 1; }
done
echo "fuzz smoke: every target ran clean"
