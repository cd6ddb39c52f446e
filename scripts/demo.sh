#!/bin/bash
# The main job: builds CustAction.dll (i686, the product) and what the
# demonstration runs with it: the demonstration package built on
# wix/CustAction.wxs (a 32-bit package) and the 32-bit helper that prepares
# the Wine prefix, in the win32-tests build. Shows the product's exports and
# imports, then installs and removes the package with msiexec on the 32-bit
# Wine platform (64-bit Wine with its 32-bit side under qemu, as a 32-bit
# installation runs on 64-bit Windows) and prints which DLL and platform ran
# and what every action did (tests/e2e/run-demo.sh). No test suite is built.
set -e
cd "$(dirname "$0")/.."
scripts/setup.sh demo
log=build/demo-build.log
mkdir -p build
echo "== build (output in $log)"
started=$(date +%s)
if ! { cmake --preset win32 && cmake --build build/win32 -j "$(nproc)" --target CustAction &&
       cmake --preset win32-tests &&
       cmake --build build/win32-tests -j "$(nproc)" --target ca_demo_package; } >"$log" 2>&1; then
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
build=build/win32-tests
dll=$build/module/CustAction.dll
echo "== what runs"
echo "DLL:      $dll ($(i686-w64-mingw32-objdump -f "$dll" | sed -n 's/.*file format //p'), sha256 $(sha256sum "$dll" | cut -c1-16)...),"
echo "          linked from the same sources, toolchain and flags as the product above"
echo "package:  $build/tests/demo.msi (platform $(msiinfo suminfo "$build/tests/demo.msi" | sed -n 's/^Template: //p'), a 32-bit package)"
source "$build/wine-env.sh"
echo "platform: $(PATH="$ca_wine_path:$PATH" wine --version 2>/dev/null), 64-bit with its 32-bit side:"
echo "          the i386 loader under $("$ca_wine_path/../qemu-i386" --version | head -1);"
echo "          msiexec (64-bit) runs the DLL's actions in its 32-bit custom action server, whose"
echo "          HKLM\\Software is the 32-bit view (Wow6432Node), as on 64-bit Windows"
echo
echo "== demonstration (the i686 DLL on the 32-bit Wine platform)"
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  source scripts/wine-prefix.sh build/win32-tests
  tests/e2e/run-demo.sh build/win32-tests
  status=$?
  wineserver -k 2>/dev/null
  exit $status'
