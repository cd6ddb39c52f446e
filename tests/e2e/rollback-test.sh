#!/bin/bash
# End to end: a failed installation changes nothing. The package
# (tests/packages/rollback.wxs) holds the authoring fragment and deferred
# actions that fail on request; it is installed with msiexec under Wine:
#   - failing after every action of the fragment: the machine's snapshot
#     (the keys of each action below, the product's own keys, with values)
#     equals the one taken before, and no journal is left;
#   - failing before the fragment's deferred actions: the same;
#   - succeeding: each action's new state is in place, nothing beside it;
#   - failing with rollback disabled: the deferred actions keep nothing.
# Each action the harness covers is a name in `actions` with three functions:
# <name>_prepare (the machine before: the previous state), <name>_keys (the
# keys its snapshot holds) and <name>_installed (checks after a successful
# installation), and may add properties to `install_properties`.
# Usage: rollback-test.sh BUILD_DIR   (inside xvfb-run, prefix prepared by scripts/wine-prefix.sh)
set -u
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/installer-log.sh"
source "$here/../../scripts/windows-path.sh"
run="$build/wine-run.sh"
export WINEPREFIX=$(sed -n 's/^export WINEPREFIX="${CA_WINEPREFIX:-\(.*\)}"$/\1/p' "$run")
# The package's view of HKLM\Software: a 32-bit package's is Wow6432Node.
source "$build/wine-env.sh"
view=/reg:$ca_wine_bits
work="$build/tests/rollback"
rm -rf "$work"
mkdir -p "$work"
temp_dir=$(find "$WINEPREFIX/drive_c/users" -maxdepth 2 -iname temp -type d | head -1)
kwinst="$temp_dir/kwinst.log"
marker="$WINEPREFIX/drive_c/ca-rollback-marker.txt"
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

query() {  # query KEY VALUE: prints the data of one value
  "$run" reg query "$1" /v "$2" $view 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}

subkeys() {  # subkeys KEY: the names of the keys right below KEY, sorted
  "$run" reg query "$1" $view 2>/dev/null | tr -d '\r' | grep -i "^HKEY.*\\\\" | sed 's/.*\\//' | sort
}

# ------------------------------------------------------------------ package
# wixl compiles rollback and commit actions as immediate ones and drops
# TerminalServerAware. The package rule (cmake/action-types.cmake) sets the
# fragment's types; the harness sets its own rollback action's here, and
# checks that both took.
msi_built="$build/tests/rollback.msi"
msi_file="$work/rollback.msi"
cp "$msi_built" "$msi_file" || { echo "FAIL: no package $msi_built"; exit 1; }
# MarkRollback: an executable named by a property (50), its return ignored
# (0x40), in-script (0x400), rollback (0x100).
msibuild "$msi_file" -q "UPDATE \`CustomAction\` SET \`Type\` = 1394 WHERE \`Action\` = 'MarkRollback'" ||
  fail "msibuild could not set the type of MarkRollback"
types=$(msiinfo export "$msi_file" CustomAction | tr -d '\r' | awk -F'\t' 'NR > 3 { print $1 "=" $2 }')
for expected in ImportOpt_rollback=17665 ImportOpt_commit=17921 ImportOpt_run=17409 MarkRollback=1394 \
                FailOnRequest=1074 FailEarlyOnRequest=1074; do
  grep -qxF "$expected" <<<"$types" || fail "CustomAction type: expected $expected, the package has $(
    grep "^${expected%%=*}=" <<<"$types")"
done
product_code=$(msiinfo export "$msi_file" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductCode" { print $2 }')
[ -n "$product_code" ] || fail "the package has no ProductCode"
msi=$(windows_path "$msi_file")

# ---------------------------------------------------------------- the actions
actions=(import)
install_properties=()

# The import: previous settings and record (and a user's own backup key of a
# name like the journal's) replaced by those of an options file.
import_root='HKCU\Software\CustActionRollbackE2E'
import_file=$(windows_path "$here/../../options/fuzz/options-corpus/profiles.opts")
install_properties+=("IMPORTOPTPRM=e2e;0;5;9;1;CA;01;Software\\CustActionRollbackE2E;C:\\nowhere\\;$import_file;")
import_prepare() {
  "$run" reg delete "$import_root" /f >/dev/null 2>&1
  "$run" reg add "$import_root\\Profiles\\Earlier" /v Name /t REG_SZ /d before /f >/dev/null
  "$run" reg add "$import_root\\Profiles" /v Current /t REG_DWORD /d 7 /f >/dev/null
  "$run" reg add "$import_root\\Profiles.old" /v Mine /t REG_SZ /d "a user's own backup" /f >/dev/null
  for value in MajorVer:4 MinorVer:2 NumbBuild:77; do
    "$run" reg add "$import_root\\OptionVersion" /v "${value%%:*}" /t REG_DWORD /d "${value#*:}" /f >/dev/null
  done
}
import_keys() {
  echo "$import_root"
}
import_installed() {
  [ "$(query "$import_root\\Profiles\\Profile 1" Name)" = "Standard" ] || fail "import: Profile 1 was not imported"
  [ "$(query "$import_root\\Profiles" Current)" = "0x2" ] || fail "import: Current was not imported"
  subkeys "$import_root\\Profiles" | grep -qx Earlier && fail "import: the previous settings are still there"
  [ "$(query "$import_root\\OptionVersion" MajorVer)" = "0x5" ] || fail "import: no new version record"
  [ "$(query "$import_root\\OptionVersion" MinorVer)" = "0x9" ] || fail "import: no new minor version"
  [ "$(query "$import_root\\OptionVersion" NumbBuild)" = "0x4d2" ] || fail "import: no new build number"
  [ "$(query "$import_root\\Profiles.old" Mine)" = "a user's own backup" ] || fail "import: the user's own key is gone"
  local beside
  beside=$(subkeys "$import_root" | tr '\n' ' ')
  [ "$beside" = "OptionVersion Profiles Profiles.old " ] || fail "import: beside the settings: $beside"
}

# ------------------------------------------------------------------ snapshots
# One line per key and per value of every key the actions name, and of the
# product's own keys; "absent" for a key that is not there.
product_keys() {
  echo 'HKLM\Software\CustActionRollbackE2E'
  echo "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$product_code"
}
snapshot() {  # snapshot OUT
  local key out=$1
  : >"$out"
  for key in $(for action in "${actions[@]}"; do "${action}_keys"; done; product_keys); do
    rm -f "$work/export.reg"
    if "$run" reg export "$key" "$(windows_path "$work/export.reg")" /y $view >/dev/null 2>&1; then
      iconv -f UTF-16LE -t UTF-8 "$work/export.reg" | tr -d '\r' | sed '1s/^\xEF\xBB\xBF//' |
        awk '/^\[/ { key = $0; print key; next } NF && !/^Windows Registry/ { print key "|" $0 }' | sort >>"$out"
    else
      echo "absent $key" >>"$out"
    fi
  done
}
journal_left() {  # the journal keys below every action's keys
  for action in "${actions[@]}"; do
    "${action}_keys"
  done | while read -r key; do subkeys "$key"; done | grep -F '~CA2Q7.'
}

install() {  # install NAME PROPERTY=value...: one installation with a verbose log; prints msiexec's status
  local name=$1; shift
  rm -f "$kwinst" "$marker"
  "$run" msiexec /i "$msi" /qn /l*v "$(windows_path "$work/$name.log")" "${install_properties[@]}" \
    "CA_TEST_MARKER=$(windows_path "$marker")" "$@" >/dev/null 2>&1
  echo $?
  [ -f "$kwinst" ] && cp "$kwinst" "$work/$name.kwinst.log"
}
remove() {
  "$run" msiexec /x "$msi" /qn >/dev/null 2>&1
}
prepare() {
  remove
  for action in "${actions[@]}"; do "${action}_prepare"; done
}
log_has() {  # log_has NAME TEXT: the installer log of the run NAME has a line with TEXT
  installer_log_text "$work/$1.log" | grep -qF -- "$2"
}

# Installs with the given log name and properties, which must fail, and
# checks that the machine's snapshot is as it was before.
fails_unchanged() {
  snapshot "$work/before.txt"
  local status
  status=$(install "$@")
  [ "$status" != 0 ] || fail "msiexec /i succeeded"
  snapshot "$work/after.txt"
  cmp -s "$work/before.txt" "$work/after.txt" || fail "the failed installation changed the machine: $(
    diff "$work/before.txt" "$work/after.txt" | head -8)"
}

echo "== failing after every action of the fragment"
prepare
fails_unchanged failing-late CA_TEST_FAIL=late
left=$(journal_left)
[ -z "$left" ] || fail "a journal is left: $left"
log_has failing-late "CustAction: ImportOpt_rollback: The import into $import_root\\Profiles was rolled back" ||
  fail "the import's rollback did not undo the import"
# Wine runs the rollback actions in reverse order and stops at the first that
# fails: the harness's own, sequenced before the fragment's, ran after them.
[ -f "$marker" ] || fail "the rollback actions after the fragment's did not run"

echo "== failing before the fragment's deferred actions"
prepare
fails_unchanged failing-early CA_TEST_FAIL=early
[ -z "$(journal_left)" ] || fail "a journal is left"
[ -f "$marker" ] || fail "the rollback actions after the fragment's did not run"

echo "== succeeding"
prepare
status=$(install succeeding)
[ "$status" = 0 ] || fail "msiexec /i returned $status"
for action in "${actions[@]}"; do "${action}_installed"; done
[ -z "$(journal_left)" ] || fail "a journal is left"
[ -f "$work/succeeding.kwinst.log" ] && fail "kwinst.log has records: $(tr -d '\r' <"$work/succeeding.kwinst.log")"
[ "$(query 'HKLM\Software\CustActionRollbackE2E' Installed)" = "0x1" ] || fail "the product's own key is missing"

echo "== failing with rollback disabled: nothing is kept for a rollback that never comes"
prepare
status=$(install no-rollback CA_TEST_FAIL=late CA_TEST_NO_ROLLBACK=1)
[ "$status" != 0 ] || fail "msiexec /i succeeded"
[ -z "$(journal_left)" ] || fail "a journal is left"
log_has no-rollback "ImportOpt_rollback =" && fail "the import's rollback was scheduled with rollback disabled"
log_has no-rollback "ImportOpt_commit =" && fail "the import's commit was scheduled with rollback disabled"
installer_log_text "$work/no-rollback.log" | grep -qxF "Property(S): ImportOpt_run = ${install_properties[0]#IMPORTOPTPRM=}" ||
  fail "the import's data is not the parameters alone"
[ "$(query "$import_root\\OptionVersion" MajorVer)" = "0x5" ] ||
  fail "import: without rollback, the import itself was undone"

remove
"$run" reg delete "$import_root" /f >/dev/null 2>&1
"$run" reg delete 'HKLM\Software\CustActionRollbackE2E' /f $view >/dev/null 2>&1
rm -f "$marker"
if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed; the logs are in $work"
  exit 1
fi
echo "rollback checks passed"
