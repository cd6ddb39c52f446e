#!/bin/bash
# Runs the DelMultiUserData benchmark in the win64 build's Wine prefix and
# prints its table. Usage: run-bench.sh [--quick] [BUILD_DIR] [PROFILES [ROUNDS]]
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
profiles=100 rounds=7
if [ "${1:-}" = "--quick" ]; then profiles=10 rounds=3; shift; fi
build=${1:-$root/build/win64}
profiles=${2:-$profiles}
rounds=${3:-$rounds}
source "$root/scripts/wine-prefix.sh" "$build"
wine "$build/actions/users/bench/del_multi_user_data_bench.exe" "$profiles" "$rounds"
