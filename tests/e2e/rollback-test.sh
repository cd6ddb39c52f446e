#!/bin/bash
# End to end: a failed installation or removal changes nothing. The package
# (tests/packages/rollback.wxs) holds the authoring fragment and deferred
# actions that fail on request; it is installed and removed with msiexec
# under Wine:
#   - failing after every action of the fragment: the machine's snapshot
#     (the keys of each action below with values and the key's access list,
#     the installing user's files with contents and read-only marks, the
#     templates in the user's Word startup folder, the product's own keys)
#     equals the one taken before, and no journal or store is left;
#   - failing before the fragment's deferred actions: the same;
#   - succeeding: each action's new state is in place, nothing beside it,
#     and no store is left;
#   - a removal failing after every action of the fragment: the same
#     snapshot, and no store; a succeeding removal leaves no store;
#   - failing with rollback disabled: the deferred actions keep nothing.
# What it cannot see under Wine: folder access lists (Wine keeps none, so
# SetFoldRights and its rollback leave the same list), and the hives of users
# who are not logged on (Wine writes none back to its file); the actions'
# own tests prove those restores through the seam.
# Each action the harness covers is a name in `actions` with three functions:
# <name>_prepare (the machine before: the previous state), <name>_keys (the
# keys its snapshot holds) and <name>_installed (checks after a successful
# installation), and may add properties to `install_properties`, folders to
# `snapshot_folders` and lines to the snapshot with <name>_state.
# Usage: rollback-test.sh BUILD_DIR   (inside xvfb-run, prefix prepared by scripts/wine-prefix.sh)
set -u
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/installer-log.sh"
source "$here/../../scripts/windows-path.sh"
run="$build/wine-run.sh"
# A Wine program that hangs is ended and started once more (wine-run.sh);
# what hung is shown when the script ends.
export CA_WINE_RUN_LIMIT=120 CA_WINE_RUN_HANGS="$build/e2e-rollback.hangs"
rm -f "$CA_WINE_RUN_HANGS"
trap '[ ! -s "$CA_WINE_RUN_HANGS" ] || cat "$CA_WINE_RUN_HANGS"' EXIT
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
                FailOnRequest=1074 FailEarlyOnRequest=1074 DelMultiUserData=3073 DelMultiUserDataRollback=3329 \
                DelMultiUserDataCommit=3585 SetRegRightsRollback=3329 SetFoldRightsCommit=3585 \
                CopyMSWordDotRollback=3329 DelMSWordDotCommit=3585; do
  grep -qxF "$expected" <<<"$types" || fail "CustomAction type: expected $expected, the package has $(
    grep "^${expected%%=*}=" <<<"$types")"
done
product_code=$(msiinfo export "$msi_file" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductCode" { print $2 }')
[ -n "$product_code" ] || fail "the package has no ProductCode"
msi=$(windows_path "$msi_file")

# ---------------------------------------------------------------- the actions
actions=(import rights word userdata)
install_properties=()
snapshot_folders=()
helper="$build/tests/demo_prepare.exe"
user_data=$(find "$WINEPREFIX/drive_c/users" -mindepth 3 -maxdepth 3 -ipath '*/AppData/Roaming' -type d | grep -v -i public | head -1)
store_root="$WINEPREFIX/drive_c/windows/Installer/CustAction"
machine="$WINEPREFIX/drive_c/ca-rollback"

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

# SetRegRights and SetFoldRights: a key with a protected access list that lets
# the Users group only read, and a folder.
grant_key='Software\CustActionRollbackE2E\Shared'
install_properties+=("CA_GRANT_KEY=$grant_key" "CA_GRANT_KEY_ACCESS=1" 'CA_GRANT_FOLDER=C:\ca-rollback\shared')
rights_prepare() {
  "$run" "$helper" set-key-access "$grant_key" 'D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)' >/dev/null ||
    fail "rights: the key's access list could not be set"
  mkdir -p "$machine/shared"
}
rights_keys() { :; }
rights_state() {
  echo "access of $grant_key: $("$run" "$helper" key-access "$grant_key" | tr -d '\r')"
}
rights_installed() {
  "$run" "$helper" key-access "$grant_key" | grep -qF '(A;CI;CCDCLCSWRPSDRC;;;BU)' ||
    fail "rights: the Users entry was not set: $("$run" "$helper" key-access "$grant_key")"
}

# CopyMSWordDot on installation, DelMSWordDot on removal: Word 11 registered,
# an older read-only template in the installing user's startup folder.
startup="$user_data/Microsoft/Word/STARTUP"
snapshot_folders+=("$user_data/Microsoft" "$machine")
install_properties+=('CA_WORD_TEMPLATE_FOLDER=C:\ca-rollback\source' "CA_WORD_TEMPLATE=ca-rollback.dot")
word_prepare() {
  "$run" reg add 'HKCR\Word.Application\CurVer' /ve /d Word.Application.11 /f >/dev/null
  mkdir -p "$machine/source" "$startup"
  echo "the new template" >"$machine/source/ca-rollback.dot"
  rm -f "$startup/ca-rollback.dot"
  echo "an older template" >"$startup/ca-rollback.dot"
  "$run" cmd /c attrib +r "$(windows_path "$startup/ca-rollback.dot")" >/dev/null 2>&1
}
word_keys() { :; }
word_installed() {
  [ "$(cat "$startup/ca-rollback.dot" 2>/dev/null)" = "the new template" ] || fail "word: the template was not copied"
}

# DelMultiUserData on removal: the installing user's settings tree, a key
# left empty, files and the application's folder.
userdata_root='HKCU\Software\CustActionRollbackUser'
remove_properties=("CA_USERDATA_EMPTY_KEY=Software\CustActionRollbackUser" "CA_USERDATA_TREE_KEY=Software\CustActionRollbackUser\Data"
                   "CA_USERDATA_FILES=*.ini" "CA_USERDATA_FOLDER=CustActionRollbackE2E" "CA_WORD_TEMPLATE=ca-rollback.dot")
snapshot_folders+=("$user_data/CustActionRollbackE2E")
userdata_prepare() {
  "$run" reg delete "$userdata_root" /f >/dev/null 2>&1
  "$run" reg add "$userdata_root\Data\Window" /v Left /t REG_DWORD /d 40 /f >/dev/null
  "$run" reg add "$userdata_root\Data" /v Name /t REG_SZ /d "a user's name" /f >/dev/null
  rm -rf "$user_data/CustActionRollbackE2E"
  mkdir -p "$user_data/CustActionRollbackE2E"
  echo "settings" >"$user_data/CustActionRollbackE2E/app.ini"
  echo "read-only settings" >"$user_data/CustActionRollbackE2E/fixed.ini"
  "$run" cmd /c attrib +r "$(windows_path "$user_data/CustActionRollbackE2E/fixed.ini")" >/dev/null 2>&1
}
userdata_keys() { echo "$userdata_root"; }
userdata_installed() { :; }
userdata_removed() {  # the read-only file stays, and so does its folder
  [ -e "$user_data/CustActionRollbackE2E/app.ini" ] && fail "userdata: the user's file is still there"
  [ -e "$user_data/CustActionRollbackE2E/fixed.ini" ] || fail "userdata: the user's read-only file was removed"
  "$run" reg query "$userdata_root" >/dev/null 2>&1 && fail "userdata: the user's keys are still there"
}

# ------------------------------------------------------------------ snapshots
# One line per key and per value of every key the actions name, and of the
# product's own keys; "absent" for a key that is not there.
# The product's registration: Wine does not put it back when a removal
# fails (its own undo of the unregistration), so a removal's snapshot leaves
# it out.
with_registration=1
product_keys() {
  echo 'HKLM\Software\CustActionRollbackE2E'
  [ "$with_registration" = 1 ] && echo "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$product_code"
}
# Files with their mode (Wine keeps the read-only mark as the mode) and
# contents, folders by name: Wine maps an access list written to a folder onto
# its mode one way only, so a folder's mode tells nothing of its list.
files_state() {
  local folder
  for folder in "${snapshot_folders[@]}"; do
    [ -e "$folder" ] || { echo "absent $folder"; continue; }
    { find "$folder" -type f -printf '%P f %m\n'; find "$folder" -mindepth 1 -not -type f -printf '%P %y\n'; } |
      sort | sed "s|^|$folder/|"
    find "$folder" -type f -exec md5sum {} + | sort
  done
}
snapshot() {  # snapshot OUT
  local key out=$1
  : >"$out"
  files_state >>"$out"
  for action in "${actions[@]}"; do
    declare -F "${action}_state" >/dev/null && "${action}_state" >>"$out"
  done
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
journal_left() {  # the journal keys below every action's keys, and what the store holds
  for action in "${actions[@]}"; do
    "${action}_keys"
  done | while read -r key; do subkeys "$key"; done | grep -F '~CA2Q7.'
  [ -d "$store_root" ] && find "$store_root" -mindepth 1 | sed "s|^$store_root/|store: |"
}

install() {  # install NAME PROPERTY=value...: one installation with a verbose log; prints msiexec's status
  local name=$1; shift
  rm -f "$kwinst" "$marker"
  "$run" msiexec /i "$msi" /qn /l*v "$(windows_path "$work/$name.log")" "${install_properties[@]}" \
    "CA_TEST_MARKER=$(windows_path "$marker")" "$@" >/dev/null 2>&1
  echo $?
  [ -f "$kwinst" ] && cp "$kwinst" "$work/$name.kwinst.log"
}
remove() {  # remove [NAME PROPERTY=value...]: one removal; prints msiexec's status when named
  local name=${1:-}
  [ $# -gt 0 ] && shift
  rm -f "$kwinst" "$marker"
  "$run" msiexec /x "$msi" /qn ${name:+/l*v "$(windows_path "$work/$name.log")"} "${remove_properties[@]}" \
    "CA_TEST_MARKER=$(windows_path "$marker")" "$@" >/dev/null 2>&1
  local status=$?
  [ -n "$name" ] && echo $status
  [ -n "$name" ] && [ -f "$kwinst" ] && cp "$kwinst" "$work/$name.kwinst.log"
  return 0
}
prepare() {
  remove
  rm -rf "$store_root"
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

echo "== a removal failing after every action of the fragment"
prepare
status=$(install for-removal)
[ "$status" = 0 ] || fail "msiexec /i returned $status"
userdata_prepare
with_registration=0
snapshot "$work/before.txt"
status=$(remove failing-removal CA_TEST_FAIL=late)
[ "$status" != 0 ] || fail "msiexec /x succeeded"
snapshot "$work/after.txt"
cmp -s "$work/before.txt" "$work/after.txt" || fail "the failed removal changed the machine: $(
  diff "$work/before.txt" "$work/after.txt" | head -8)"
left=$(journal_left)
[ -z "$left" ] || fail "a journal is left after the failed removal: $left"
with_registration=1
for undo in DelMultiUserDataRollback DelMSWordDotRollback; do
  log_has failing-removal "Action start" && installer_log_text "$work/failing-removal.log" | grep -q "Action start .*: $undo\." ||
    fail "the removal's rollback did not run $undo"
done

echo "== a succeeding removal"
status=$(remove removing)
[ "$status" = 0 ] || fail "msiexec /x returned $status"
userdata_removed
[ -e "$startup/ca-rollback.dot" ] && fail "word: the template is still there after the removal"
left=$(journal_left)
[ -z "$left" ] || fail "a store is left after the removal: $left"

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

remove cleanup >/dev/null  # with a log of its own: a hang there is then seen
"$run" reg delete "$import_root" /f >/dev/null 2>&1
"$run" reg delete "$userdata_root" /f >/dev/null 2>&1
"$run" reg delete 'HKCR\Word.Application' /f >/dev/null 2>&1
rm -rf "$machine" "$user_data/CustActionRollbackE2E" "$store_root"
[ -f "$startup/ca-rollback.dot" ] && { "$run" cmd /c attrib -r "$(windows_path "$startup/ca-rollback.dot")" >/dev/null 2>&1; rm -f "$startup/ca-rollback.dot"; }
"$run" reg delete 'HKLM\Software\CustActionRollbackE2E' /f $view >/dev/null 2>&1
rm -f "$marker"
if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed; the logs are in $work"
  exit 1
fi
echo "rollback checks passed"
