#!/bin/bash
# The main job: builds CustAction.dll (i686, the product) and, of its x86_64
# twin, what the demonstration runs: the DLL, the demonstration package built
# on wix/CustAction.wxs, and the helper that prepares the Wine prefix. Shows
# the product's exports and imports, then installs and removes the package
# with msiexec under Wine and prints what every action did
# (tests/e2e/run-demo.sh). No test suite is built.
set -e
cd "$(dirname "$0")/.."
scripts/setup.sh demo
log=build/demo-build.log
mkdir -p build
echo "== build (output in $log)"
started=$(date +%s)
if ! { cmake --preset win32 && cmake --build build/win32 -j "$(nproc)" --target CustAction &&
       cmake --preset win64 && cmake --build build/win64 -j "$(nproc)" --target ca_demo_package; } >"$log" 2>&1; then
  tail -30 "$log"
  exit 1
fi
echo "built in $(($(date +%s) - started)) s"

echo
echo "== product: build/win32/module/CustAction.dll"
i686-w64-mingw32-objdump -p build/win32/module/CustAction.dll | awk '
  /^\tDLL Name: / { dll = $3; order[++dlls] = dll; next }
  dll != "" && /^\t[0-9a-f]+\t/ { used[dll]++; if (dll == "msi.dll") ordinals = ordinals " " $2 }
  /^$/ { dll = "" }
  /^\[Ordinal\/Name Pointer\] Table/ { exports = 1; next }
  exports && /^\t\[/ { names = names " " $NF; count++ }
  END {
    print "exports (" count "):" names
    printf "imports (functions per DLL):"
    for (i = 1; i <= dlls; i++) printf " %s (%d)", order[i], used[order[i]]
    print ""
    print "msi.dll, by ordinal:" ordinals
  }' | fold -s -w 100
echo
echo "== demonstration (the x86_64 twin under Wine)"
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  source scripts/wine-prefix.sh build/win64
  tests/e2e/run-demo.sh build/win64
  status=$?
  wineserver -k 2>/dev/null
  exit $status'
