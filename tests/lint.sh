#!/usr/bin/env bash
# clang-tidy (.clang-tidy) and cppcheck (.cppcheck-suppressions) over the
# sources of a Linux build's compile_commands.json; exits non-zero on any
# finding. Usage: tests/lint.sh [build folder, default build/native]
# LINT_JOBS (default 2): how many analyses run at once; the native build's
# ctest, which runs other tests beside it, gives 1.
set -euo pipefail
jobs=${LINT_JOBS:-2}
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build/native}" && pwd)"
database="$build/compile_commands.json"
[ -f "$database" ] || { echo "lint: no $database (configure that build first)"; exit 1; }
cd "$root"

# The core and the Linux and scripted backends, as the database compiles them.
# The Windows backend needs <windows.h>, which a Linux build does not have, so
# it is never in this database; the filter names it all the same.
# CMake writes each entry's "file" on a line of its own.
mapfile -t sources < <(sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$database" |
  grep -e "^$root/src/" -e "^$root/tests/scripted/" | grep -v '/src/platform/win32/' | sort -u)
[ ${#sources[@]} -gt 0 ] || { echo "lint: no sources of src/ in $database"; exit 1; }

echo "== clang-tidy: ${#sources[@]} files"
# One file per run: clang-tidy 14's va_list check reports a false
# "uninitialized va_list" on a file analysed after another in the same run.
printf '%s\n' "${sources[@]}" |
  xargs -n1 -P"$jobs" clang-tidy -p "$build" --quiet --warnings-as-errors='*' 2>/dev/null >"$build/clang-tidy.log" ||
  { grep -E 'warning:|error:' "$build/clang-tidy.log"; echo "lint: clang-tidy found problems"; exit 1; }

echo "== cppcheck"
options=(--enable=warning,style,performance,portability --error-exitcode=1 --inline-suppr
  --suppressions-list="$root/.cppcheck-suppressions" --library=googletest --quiet -j"$jobs"
  --template='{file}:{line}: {severity} [{id}] {message}')
# The project's sources and unit and Linux tests, as the build compiles them.
cppcheck "${options[@]}" --project="$database" --file-filter="$root/src/*" \
  --file-filter="$root/tests/*"
# The fuzz targets are built only by the fuzz preset.
cppcheck "${options[@]}" --language=c++ --std=c++17 -I"$root/src" tests/fuzz/*.cpp
echo "lint: clean"
