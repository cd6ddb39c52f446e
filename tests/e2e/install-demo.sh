#!/bin/bash
# Installs the demonstration package under Wine and prints what the actions
# reported: every result property (NAME=value, empty when not set) and the
# installer log "kwinst.log" they left.
# Usage: install-demo.sh BUILD_DIR [PROPERTY=value ...]
# Expects the build's prefix to be prepared (scripts/wine-prefix.sh).
set -u
build=$(cd "$1" && pwd); shift
run="$build/wine-run.sh"
msi=$(winepath -w "$build/tests/demo.msi" 2>/dev/null)
results='HKLM\Software\CustActionDemo\Results'
temp_dir=$(dirname "$(find "$WINEPREFIX/drive_c/users" -maxdepth 2 -iname temp -type d | head -1)/x")
log="$temp_dir/kwinst.log"

# A fresh start: no earlier installation, no results, no log.
"$run" msiexec /x "$msi" /qn >/dev/null 2>&1
"$run" reg delete "$results" /f >/dev/null 2>&1
rm -f "$log"

"$run" msiexec /i "$msi" /qn "$@" >"$build/tests/demo-msiexec.out" 2>&1
status=$?
echo "msiexec /i returned $status"

out=$(mktemp)
"$run" reg query "$results" >"$out" 2>&1
echo "-- result properties"
sed -n 's/^ *\([A-Z_]*\) *REG_SZ *v:\(.*\)$/\1=\2/p' "$out" | tr -d '\r' | sort
rm -f "$out"
echo "-- kwinst.log"
[ -f "$log" ] && tr -d '\r' <"$log"
echo "-- end"
exit $status
