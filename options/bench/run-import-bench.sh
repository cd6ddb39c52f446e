#!/bin/bash
# Runs the import benchmark under Wine in the prefix of a win64 build and
# prints its table. Usage:
#   options/bench/run-import-bench.sh [BUILD_DIR] [--keys N] [--values-per-key V] [--reps R] [--quick]
# (BUILD_DIR defaults to build/win64; build it first with the win64 preset.)
set -e
root=$(cd "$(dirname "$0")/../.." && pwd)
build="$root/build/win64"
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then
  build=$(cd "$1" && pwd)
  shift
fi
bench="$build/options/bench/import_bench.exe"
[ -x "$bench" ] || { echo "no $bench: cmake --build $build --target import_bench" >&2; exit 1; }
source "$root/scripts/wine-prefix.sh" "$build"
"$build/wine-run.sh" "$bench" "$@"
