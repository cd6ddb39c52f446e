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

"$run" msiexec /x "$msi" /qn >/dev/null 2>&1
"$run" reg delete "$settings" /f >/dev/null 2>&1
if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "end-to-end import checks passed"
