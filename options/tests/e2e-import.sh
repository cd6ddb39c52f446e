#!/bin/bash
# End to end: the import package installed with msiexec under Wine. The check
# runs in the installer's immediate sequence, the import as a deferred action,
# both from the authoring fragment; afterwards the settings, the version
# record and what the check published are read back from the registry.
# Usage: e2e-import.sh BUILD_DIR
set -u
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/windows-path.sh"
run="$build/wine-run.sh"
# A Wine program that hangs is ended and started once more (wine-run.sh);
# what hung is shown when the script ends.
export CA_WINE_RUN_LIMIT=120 CA_WINE_RUN_HANGS="$build/e2e-import.hangs"
rm -f "$CA_WINE_RUN_HANGS"
trap '[ ! -s "$CA_WINE_RUN_HANGS" ] || cat "$CA_WINE_RUN_HANGS"' EXIT
export WINEPREFIX=$(sed -n 's/^export WINEPREFIX="${CA_WINEPREFIX:-\(.*\)}"$/\1/p' "$run")
# The package's view of HKLM\Software: a 32-bit package's is Wow6432Node.
source "$build/wine-env.sh"
view=/reg:$ca_wine_bits
msi=$(windows_path "$build/options/tests/import.msi")
settings='HKCU\Software\CustActionImportE2E'
results='HKLM\Software\CustActionImport\Results'
temp_dir=$(dirname "$(find "$WINEPREFIX/drive_c/users" -maxdepth 2 -iname temp -type d | head -1)/x")
log="$temp_dir/kwinst.log"
file=$(windows_path "$here/../fuzz/options-corpus/profiles.opts")
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

query() {  # query KEY VALUE: prints the data of one value
  "$run" reg query "$1" /v "$2" $view 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}

install() {  # install PROPERTY=value...
  "$run" msiexec /x "$msi" /qn >/dev/null 2>&1
  "$run" reg delete "$settings" /f >/dev/null 2>&1
  "$run" reg delete "$results" /f $view >/dev/null 2>&1
  rm -f "$log"
  "$run" msiexec /i "$msi" /qn "$@" >"$build/options/tests/import-msiexec.out" 2>&1
  echo "msiexec /i returned $?"
}

parameters() {  # parameters FILE: the ten fields for the product 5.9 "CA01"
  echo "e2e;0;5;9;1;CA;01;Software\\CustActionImportE2E;C:\\nowhere\\;$1;"
}

echo "== a sound options file, given by the package's properties: checked, then imported"
out=$(install CA_OPTIONS_SCOPE=0 CA_PRODUCT_MAJOR=5 CA_PRODUCT_MINOR=9 CA_PRODUCT_BUILD=1 \
  CA_OPTIONS_PRODUCT=CA01 'CA_OPTIONS_KEY=Software\CustActionImportE2E' 'CA_OPTIONS_FOLDER=C:\nowhere\' \
  "CA_OPTIONS_FILE=$file")
echo "$out"
[ "$out" = "msiexec /i returned 0" ] || fail "msiexec"
[ "$(query "$results" IS_CA_ERROR)" = "v:" ] || fail "the check reported an error"
[ "$(query "$settings\\Profiles\\Profile 1" Name)" = "Standard" ] || fail "Profile 1 was not imported"
[ "$(query "$settings\\Profiles\\Profile 3\\Window" Hotkey)" = "0x41" ] || fail "Profile 3 was not imported"
[ "$(query "$settings\\Profiles" Current)" = "0x2" ] || fail "Current was not imported"
[ "$(query "$settings\\OptionVersion" MajorVer)" = "0x5" ] || fail "no version record"
[ "$(query "$settings\\OptionVersion" NumbBuild)" = "0x4d2" ] || fail "no build number"
[ -f "$log" ] && fail "the installer log has records: $(tr -d '\r' <"$log")"

echo "== an options file of another program, given as IMPORTOPTPRM: check and import refuse it"
other="$temp_dir/other.opts"
sed 's/QVRXOPTSCA01/QVRXOPTSXY01/' "$here/../fuzz/options-corpus/profiles.opts" >"$other"
other_win=$(windows_path "$other")
out=$(install "IMPORTOPTPRM=$(parameters "$other_win")")
echo "$out"
[ "$(query "$results" IS_CA_ERROR)" = "v:1" ] || fail "the check published no error"
[ "$(query "$results" CA_ERROR_CODE)" = "v:Code: 0 Point: FHYN8NRWDKZAI0R:BJMA7JIZXFKUGV8" ] ||
  fail "CA_ERROR_CODE is '$(query "$results" CA_ERROR_CODE)'"
query "$results" CA_ERROR_TEXT | grep -qF "v:An error occurred when importing.  ($other_win) (C:\\nowhere\\)" ||
  fail "CA_ERROR_TEXT is '$(query "$results" CA_ERROR_TEXT)'"
"$run" reg query "$settings" >/dev/null 2>&1 && fail "settings were written"
grep -q "FHYN8NRWDKZAI0R:BJMA7JIZXFKUGV8" "$log" 2>/dev/null || fail "the log lacks the check's failure"
grep -q "MNORUE2LJU643YD:BJMA7JIZXFKUGV8" "$log" 2>/dev/null || fail "the log lacks the import's failure"
rm -f "$other"

echo "== the installer's action server killed (SIGKILL) while it imports 20,000 values over earlier ones"
work=$(mktemp -d)
settings_file() {  # settings_file VARIANT OUT: 200 profiles of 10 groups of 10 values
  python3 - "$1" >"$work/settings.json" <<'PY'
import json, sys
v = int(sys.argv[1])
profiles = [{"name": f"Profile {p}", "type": "pack", "value": {"mode": 0, "items": [
    {"name": f"Group {g}", "type": "pack", "value": {"mode": 0, "items": [
        {"name": f"Value {i}", "type": "int", "value": v * 1000000 + p * 100 + g * 10 + i} for i in range(10)]}}
    for g in range(10)]}} for p in range(200)]
print(json.dumps({"signature": "QVRXOPTSCA01", "majorVersion": 5, "minorVersion": 9, "buildNumber": v,
                  "settings": {"mode": 0, "items": profiles}}))
PY
  "$run" "$build/options/custopts/custopts.exe" from-json "$(windows_path "$work/settings.json")" \
    --out "$(windows_path "$2")" >/dev/null 2>&1 || fail "custopts could not write $2"
}
settings_file 1 "$work/old.opts"
settings_file 2 "$work/new.opts"
sed 's/QVRXOPTSCA01/QVRXOPTSXY01/' "$work/new.opts" >"$work/refused.opts"
export_profiles() {  # export_profiles OUT: the settings, one line per key and per value; no file when absent
  rm -f "$1" "$1.utf16"
  "$run" reg export "$settings\\Profiles" "$(windows_path "$1.utf16")" /y >/dev/null 2>&1 || return 0
  iconv -f UTF-16LE -t UTF-8 "$1.utf16" | tr -d '\r' | awk '/^\[/ { key = $0; print key; next } NF { print key "|" $0 }' |
    sort >"$1"
  rm -f "$1.utf16"
}
import_file() {  # import_file FILE: one installation that imports it, then its removal
  "$run" msiexec /x "$msi" /qn >/dev/null 2>&1
  # An installer still finishing the previous step (1618: another
  # installation is in progress) is waited for.
  local attempt status
  for attempt in 1 2 3; do
    "$run" msiexec /i "$msi" /qn "IMPORTOPTPRM=$(parameters "$(windows_path "$1")")" >/dev/null 2>&1
    status=$?
    [ $status = 1618 ] || break
    sleep 2
  done
  "$run" msiexec /x "$msi" /qn >/dev/null 2>&1
}
embedding_servers() {  # the installer's action servers of this prefix
  for pid in $(pgrep -f 'msiexec.exe -Embedding'); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && echo "$pid"
  done
}
"$run" reg delete "$settings" /f >/dev/null 2>&1
import_file "$work/old.opts"; export_profiles "$work/old.reg"
import_file "$work/new.opts"; export_profiles "$work/new.reg"
cmp -s "$work/old.reg" "$work/new.reg" && fail "the two settings export alike"
[ "$(grep -c '|"Value 9"=dword:001e' "$work/new.reg")" = 2000 ] || fail "the new settings were not imported"
kills=0
for delay in 0 0.4 0.8 1.5; do
  "$run" reg delete "$settings" /f >/dev/null 2>&1
  import_file "$work/old.opts"
  "$run" msiexec /i "$msi" /qn "IMPORTOPTPRM=$(parameters "$(windows_path "$work/new.opts")")" >/dev/null 2>&1 &
  installer=$!
  # Once the new settings are being written (or at the latest after 60 s),
  # wait the delay and kill the action servers.
  for _ in $(seq 200); do
    "$run" reg query "$settings\\Profiles~CA2Q7.5writing" >/dev/null 2>&1 && break
    kill -0 $installer 2>/dev/null || break
  done
  sleep "$delay"
  servers=$(embedding_servers)
  [ -n "$servers" ] && kill -9 $servers && kills=$((kills + 1))
  wait $installer
  # Wine's installer takes the lost action for a success: the product is
  # removed again before the next installation.
  "$run" msiexec /x "$msi" /qn >/dev/null 2>&1
  export_profiles "$work/now.reg"
  if cmp -s "$work/now.reg" "$work/old.reg"; then state=previous
  elif cmp -s "$work/now.reg" "$work/new.reg"; then state=new
  elif [ ! -f "$work/now.reg" ]; then state=none
  else
    state="a part"
    fail "killed after ${delay} s: Profiles holds a part of the settings: $(diff "$work/old.reg" "$work/now.reg" | head -4)"
  fi
  # Every second time the next import is of a file the check refuses.
  next=new; case $delay in 0.4|1.5) next=refused ;; esac
  import_file "$work/$next.opts"
  export_profiles "$work/after.reg"
  if [ $next = new ]; then
    cmp -s "$work/after.reg" "$work/new.reg" || fail "killed after ${delay} s: the next import did not hold the new settings"
  else
    cmp -s "$work/after.reg" "$work/new.reg" || cmp -s "$work/after.reg" "$work/old.reg" ||
      fail "killed after ${delay} s: after a refused import, neither the previous nor the new settings"
  fi
  beside=$("$run" reg query "$settings" 2>/dev/null | tr -d '\r' | grep -i '^HKEY.*\\' |
           grep -viE '\\(Profiles|OptionVersion)$' | grep -vixF 'HKEY_CURRENT_USER\Software\CustActionImportE2E')
  [ -n "$beside" ] && fail "killed after ${delay} s: left beside the settings: $beside"
  echo "killed after ${delay} s: Profiles held the $state settings; after the next import ($next file): $(
    cmp -s "$work/after.reg" "$work/new.reg" && echo new || echo previous)"
done
[ $kills -gt 0 ] || fail "no action server was ever killed"
rm -rf "$work"

"$run" msiexec /x "$msi" /qn >/dev/null 2>&1
"$run" reg delete "$settings" /f >/dev/null 2>&1
if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "end-to-end import checks passed"
