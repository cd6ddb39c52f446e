#!/bin/bash
# Prepares the Wine side of a run: the build's prefix (created once) and a
# persistent wine server, warmed up outside of any test so that Wine's own
# service processes never inherit a test runner's pipes.
# A 32-bit build (win32-tests) runs on the platform of scripts/setup-wine32.sh:
# its commands come first on PATH, so that every Wine process of the prefix
# starts through its two loaders, and its prefix has the crash debugger
# switched off (a fault under qemu would wait in winedbg for ever).
# Usage: source scripts/wine-prefix.sh BUILD_DIR   (run inside xvfb-run)
ca_build_dir=$(cd "$1" && pwd)
ca_wine_bits=64
ca_wine_path=
[ ! -f "$ca_build_dir/wine-env.sh" ] || source "$ca_build_dir/wine-env.sh"
if [ -n "$ca_wine_path" ]; then
  case ":$PATH:" in *":$ca_wine_path:"*) ;; *) export PATH="$ca_wine_path:$PATH" ;; esac
fi
export WINEPREFIX="$ca_build_dir/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# A 32-bit prefix is made under qemu in about 20 s; the mark says it was
# finished.
if [ ! -f "$WINEPREFIX/system.reg" ] || { [ "$ca_wine_bits" = 32 ] && [ ! -f "$WINEPREFIX/.ca-ready" ]; }; then
  echo "creating Wine prefix $WINEPREFIX ($ca_wine_bits-bit)"
  rm -rf "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 </dev/null
  if [ "$ca_wine_bits" = 32 ]; then
    for view in /reg:64 /reg:32; do
      wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /t REG_SZ /d 0 /f $view \
        >/dev/null 2>&1 </dev/null
      wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f $view \
        >/dev/null 2>&1 </dev/null
    done
  fi
  wineserver -w
  touch "$WINEPREFIX/.ca-ready"
fi
wineserver -p >/dev/null 2>&1 </dev/null || true
wine cmd /c exit >/dev/null 2>&1 </dev/null || true
