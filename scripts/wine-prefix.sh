#!/bin/bash
# Prepares the Wine side of a run: the build's prefix (created once) and a
# persistent wine server, warmed up outside of any test so that Wine's own
# service processes never inherit a test runner's pipes.
# Usage: source scripts/wine-prefix.sh BUILD_DIR   (run inside xvfb-run)
ca_build_dir=$(cd "$1" && pwd)
export WINEPREFIX="$ca_build_dir/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating Wine prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1 </dev/null
  wineserver -w
fi
wineserver -p >/dev/null 2>&1 </dev/null || true
wine cmd /c exit >/dev/null 2>&1 </dev/null || true
