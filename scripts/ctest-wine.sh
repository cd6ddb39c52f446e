#!/bin/bash
# Runs CTest on a Windows build under Wine. Expects a display (xvfb-run).
# Usage: scripts/ctest-wine.sh BUILD_DIR [ctest arguments...]
set -e
here=$(cd "$(dirname "$0")" && pwd)
build=$1; shift
source "$here/wine-prefix.sh" "$build"
set +e
ctest --test-dir "$build" --output-on-failure "$@"
rc=$?
wineserver -k 2>/dev/null
exit $rc
