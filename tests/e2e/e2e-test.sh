#!/bin/bash
# End to end: the demonstration package, built on the authoring fragment,
# installed and removed with msiexec under Wine. Every one of the thirteen
# actions runs out of process from the fragment's sequence, the deferred ones
# with the CustomActionData of the fragment's setters. First an installation
# with a failure, then the whole demonstration (run-demo.sh), whose report is
# checked line by line.
# Usage: e2e-test.sh BUILD_DIR   (inside xvfb-run, prefix prepared by scripts/wine-prefix.sh)
set -u
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/installer-log.sh"
source "$here/../../scripts/windows-path.sh"
run="$build/wine-run.sh"
# A Wine program that hangs is ended and started once more (wine-run.sh);
# what hung is shown when the script ends.
export CA_WINE_RUN_LIMIT=120 CA_WINE_RUN_HANGS="$build/e2e-msiexec.hangs"
rm -f "$CA_WINE_RUN_HANGS"
trap '[ ! -s "$CA_WINE_RUN_HANGS" ] || cat "$CA_WINE_RUN_HANGS"' EXIT
export WINEPREFIX=$(sed -n 's/^export WINEPREFIX="${CA_WINEPREFIX:-\(.*\)}"$/\1/p' "$run")
# The package's view of HKLM\Software: a 32-bit package's is Wow6432Node.
source "$build/wine-env.sh"
view=/reg:$ca_wine_bits
msi=$(windows_path "$build/tests/demo.msi")
# The deferred actions' data ends in the transaction switch: "|run ", the date
# and time of the installation's script, "|" and the ProductCode.
product_code=$(msiinfo export "$build/tests/demo.msi" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductCode" { print $2 }')
switch_of() {  # switch_of TEXT PREFIX: what follows PREFIX in the line "    PREFIX..."
  local found
  found=$(grep -F -- "    $2" <<<"$1" | head -1)
  echo "${found#"    $2"}"
}
is_switch() {  # is_switch TEXT: "|run <date and time>|<the package's ProductCode>"
  [[ "$1" =~ ^\|run\ [^|]*[0-9][^|]*\| ]] && [[ "$1" == *"|$product_code" ]]
}
temp_dir=$(find "$WINEPREFIX/drive_c/users" -maxdepth 2 -iname temp -type d | head -1)
kwinst="$temp_dir/kwinst.log"
log="$build/tests/e2e-install.log"
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

expect() {  # expect TEXT LINE...: each line is a whole line of the text
  local text=$1; shift
  for line in "$@"; do
    grep -qxF -- "$line" <<<"$text" || fail "expected the line '$line'"
  done
}

reject() {  # reject TEXT LINE...: no line of the text is one of these
  local text=$1; shift
  for line in "$@"; do
    grep -qxF -- "$line" <<<"$text" && fail "unexpected line '$line'"
  done
}

echo "== no earlier version, nothing running, a broken Word registration"
# The demonstration's machine without the earlier version's record and with
# Word registered wrongly: Word's is the only failure of the installation.
helper="$build/tests/demo_prepare.exe"
"$run" "$helper" prepare "$(windows_path "$here/../../options/fuzz/options-corpus/profiles.opts")"
"$run" reg delete 'HKLM\Software\CustActionDemo' /va /f $view >/dev/null 2>&1
"$run" reg add 'HKCR\Word.Application\CurVer' /ve /d Word /f >/dev/null 2>&1
# The helper is a program of the build's bitness, so the record is where the
# package looks: for a 32-bit build, as for a 32-bit installation on 64-bit
# Windows, below Wow6432Node, and the 64-bit view has none.
if [ "$ca_wine_bits" = 32 ]; then other_view=/reg:64; else other_view=/reg:32; fi
"$run" reg query 'HKLM\Software\CustActionDemo' $view >/dev/null 2>&1 ||
  fail "the record is not in the package's view ($view)"
"$run" reg query 'HKLM\Software\CustActionDemo' $other_view >/dev/null 2>&1 &&
  fail "the record is in the other view ($other_view) too"
"$run" msiexec /x "$msi" /qn >/dev/null 2>&1
rm -f "$kwinst" "$log"
"$run" msiexec /i "$msi" /qn /l*v "$(windows_path "$log")" >/dev/null 2>&1
status=$?
[ $status -eq 0 ] || fail "msiexec /i returned $status"
out=$(installer_log_properties "$log" IS_CA_ERROR CA_ERROR_CODE OLD_FULLVER REG_COMMONREG \
  EQUAL_OLDNEW_INSTALLDIR IS_ACTIVE_APP ACTIVE_APP_IND IS_IS_RUNNING IS_MSWORD_RUNNING MSWORD_VER)
echo "$out"
expect "$out" "IS_CA_ERROR = 1" "CA_ERROR_CODE = Code: 13 Point: AJSDG5UZYCXI5TT:W36MAN6789A8WMG (Word)" \
  "OLD_FULLVER = " "REG_COMMONREG = " "EQUAL_OLDNEW_INSTALLDIR = 0" "IS_ACTIVE_APP = 0" "ACTIVE_APP_IND = " \
  "IS_IS_RUNNING = 0" "IS_MSWORD_RUNNING = 0" "MSWORD_VER = "
records=$([ -f "$kwinst" ] && tr -d '\r' <"$kwinst")
echo "$records"
if ! grep -qE '^[0-9]{4}\.[0-9]{2}\.[0-9]{2} [0-9:]{8}  Code: 13 Point: W36MAN6789A8WMG \(Word\)$' <<<"$records" ||
   ! grep -qE '^[0-9]{4}\.[0-9]{2}\.[0-9]{2} [0-9:]{8}  AJSDG5UZYCXI5TT:W36MAN6789A8WMG$' <<<"$records" ||
   [ "$(wc -l <<<"$records")" -ne 2 ]; then
  fail "kwinst.log does not hold exactly the failure's two records"
fi
expect "$(installer_log_records "$log")" "CustAction: ReadMSWordVer: Code: 13 Point: W36MAN6789A8WMG (Word)" \
  "CustAction: ReadMSWordVer: AJSDG5UZYCXI5TT:W36MAN6789A8WMG"
"$run" msiexec /x "$msi" /qn >/dev/null 2>&1
"$run" "$helper" cleanup

echo "== the demonstration"
report=$("$here/run-demo.sh" "$build")
status=$?
echo "$report"
[ $status -eq 0 ] || fail "run-demo.sh returned $status"
install=$(sed -n '/^== Installation/,/^== Removal/p' <<<"$report")
remove=$(sed -n '/^== Removal/,$p' <<<"$report")
kept=$(switch_of "$install" "SetFoldRights = C:\\CustActionDemo\\Data")
kept_removal=$(switch_of "$remove" "DelMSWordDot = CustActionDemo.dot")
is_switch "$kept" || fail "no transaction switch in the installation's data: '$kept'"
is_switch "$kept_removal" || fail "no transaction switch in the removal's data: '$kept_removal'"

# The actions ran in the installer's action server of the DLL's bitness: for
# the i686 DLL the 32-bit msiexec of syswow64, whose code qemu runs here (it
# lives for seconds, so the demonstration's look at the process list every
# 0.2 s sees it; a native 64-bit server may come and go between two looks,
# so for the twin only the wrong one is ruled out).
server32='    C:\windows\syswow64\msiexec.exe -Embedding (i386 code, run by qemu-i386)'
server64='    C:\windows\system32\msiexec.exe -Embedding (native)'
if [ "$ca_wine_bits" = 32 ]; then
  expect "$install" "$server32"
  expect "$remove" "$server32"
  reject "$install" "$server64"
  reject "$remove" "$server64"
else
  reject "$install" "$server32"
  reject "$remove" "$server32"
fi
# The installation: every action but the two of the removal ran ...
expect "$install" "msiexec /i returned 0" \
  "    ReadProductVerPrm: Reading the settings of the earlier version" \
  "    CompareInstDir: Comparing the installation folder with the earlier one" \
  "    FindActiveApp: Looking for running programs" \
  "    CheckISRunning: Checking the Indexing Service" \
  "    CheckMSWordRunning: Checking whether Word is running" \
  "    ReadMSWordVer: Reading the version of Word" \
  "    ImportOpt_check: Checking the options file" \
  "    SetFoldRights: Granting users access to a folder" \
  "    CopyMSWordDot: Installing the Word template" \
  "    SetRegRights: Granting users access to a registry key" \
  "    ImportOpt_run: Importing the options file" \
  "    SetFoldRightsCommit: Removing the kept access list of a folder" \
  "    CopyMSWordDotCommit: Removing the replaced Word templates" \
  "    SetRegRightsCommit: Removing the kept access list of a registry key"
# ... with the results of the prepared machine ...
expect "$install" "    REG_COMMONREG = 1" "    REG_COMMONSET = 0" "    REG_SETACCESS = 1" "    OLD_COMMONREG = 1" \
  "    OLD_COMMONSET = 0" "    OLD_SETACCESS = 1" "    OLD_MAJORVER = 4" "    OLD_MINORVER = 12" \
  "    OLD_NUMBBUILD = 377" "    OLD_FULLVER = 412" "    EQUAL_OLDNEW_INSTALLDIR = 1" "    IS_ACTIVE_APP = 1" \
  "    ACTIVE_APP_IND = 1" "    IS_IS_RUNNING = 0" "    IS_MSWORD_RUNNING = 0" "    MSWORD_VER = 11" \
  "    IS_CA_ERROR = " \
  "    IMPORTOPTPRM = CustAction;0;5;10;1;CA01;;Software\\CustActionDemo\\App;C:\\CustActionDemo\\Setup\\;C:\\CustActionDemo\\Setup\\CustActionDemo.opts;" \
  "    SetFoldRights = C:\\CustActionDemo\\Data$kept" \
  "    CopyMSWordDot = C:\\Program Files\\CustActionDemo\\;CustActionDemo.dot$kept" \
  "    SetRegRights = Software\\CustActionDemo\\Shared;1;$kept"
# ... and their effects.
expect "$install" \
  "  - access HKLM\\Software\\CustActionDemo\\Shared : Users entry (A;CI;0x20019;;;BU) (read)" \
  "  + access HKLM\\Software\\CustActionDemo\\Shared : Users entry (A;CI;0x3001F;;;BU) (read and write)" \
  "  + value HKCU\\Software\\CustActionDemo\\App\\Profiles\\Profile 1 : Name = \"Standard\"" \
  "  + value HKCU\\Software\\CustActionDemo\\App\\Profiles\\Profile 3\\Window : Hotkey = 65 (dword)" \
  "  + value HKCU\\Software\\CustActionDemo\\App\\Profiles : Current = 2 (dword)" \
  "  + value HKCU\\Software\\CustActionDemo\\App\\OptionVersion : NumbBuild = 1234 (dword)" \
  "  + file  C:\\users\\root\\CustActionDemo Word Startup\\CustActionDemo.dot (read-only)" \
  "  + file  C:\\users\\root\\AppData\\Roaming\\Microsoft\\Word\\STARTUP\\CustActionDemo.dot (read-only)" \
  "  + file  C:\\users\\demo-user\\AppData\\Roaming\\Microsoft\\Word\\STARTUP\\CustActionDemo.dot (read-only)" \
  "    CopyMSWordDot: User profile: S-1-5-21-4242-4242-4242-1001"
# The profile of the deleted account is the one failure, reported and skipped.
expect "$install" \
  "    CustAction: CopyMSWordDot: Code: 3 Point: 6S6WD9D7TCZRNVU (S-1-5-21-4242-4242-4242-1002)(C:\\users\\gone-user\\ntuser.dat)"
[ "$(grep -c '^    CustAction: ' <<<"$install")" -eq 1 ] || fail "the installation logged more than one record"
# The walk unloads the second user's hive again.
reject "$install" "  + hive  HKU\\S-1-5-21-4242-4242-4242-1001 : loaded"

# The removal: the window has gone, the mutex is still held.
expect "$remove" "msiexec /x returned 0" \
  "    DelMultiUserData: Removing the data of every user" "    DelMSWordDot: Removing the Word template" \
  "    DelMultiUserDataCommit: Removing the kept data of every user" "    DelMSWordDotCommit: Removing the kept Word templates" \
  "    IS_ACTIVE_APP = 1" "    ACTIVE_APP_IND = 1000" "    MSWORD_VER = 11" \
  "    DelMultiUserData = Software\\CustActionDemo;Software\\CustActionDemo\\App;*.log;CustActionDemo\\App;$kept_removal" \
  "    DelMultiUserData: User profile: S-1-5-21-0-0-0-1000" \
  "    DelMultiUserData: User profile: S-1-5-21-4242-4242-4242-1001" \
  "    DelMSWordDot: User profile: S-1-5-21-4242-4242-4242-1001" \
  "  - key   HKCU\\Software\\CustActionDemo" \
  "  - key   HKCU\\Software\\CustActionDemo\\App\\Profiles" \
  "  - file  C:\\users\\root\\AppData\\Roaming\\CustActionDemo\\App\\session.log" \
  "  - file  C:\\users\\demo-user\\AppData\\Roaming\\CustActionDemo\\App\\session.log" \
  "  - file  C:\\users\\demo-user\\AppData\\Roaming\\CustActionDemo\\App\\recorder.log" \
  "  - file  C:\\users\\root\\CustActionDemo Word Startup\\CustActionDemo.dot (read-only)" \
  "  - file  C:\\users\\root\\AppData\\Roaming\\Microsoft\\Word\\STARTUP\\CustActionDemo.dot (read-only)" \
  "  - file  C:\\users\\demo-user\\AppData\\Roaming\\Microsoft\\Word\\STARTUP\\CustActionDemo.dot (read-only)" \
  "    CustAction: DelMultiUserData: Code: 3 Point: JNNNQTTL8FXBWW3 (S-1-5-21-4242-4242-4242-1002)(C:\\users\\gone-user\\ntuser.dat)" \
  "    CustAction: DelMSWordDot: Code: 3 Point: 6S6WD9D7TCZRNVU (S-1-5-21-4242-4242-4242-1002)(C:\\users\\gone-user\\ntuser.dat)"
# The file the pattern does not match stays, and nothing appears.
reject "$remove" "  - file  C:\\users\\demo-user\\AppData\\Roaming\\CustActionDemo\\App\\notes.txt"
grep -q '^  + ' <<<"$remove" && fail "the removal added something"
# Every kwinst.log record of a step is one of its installer-log lines.
for step in "$install" "$remove"; do
  records=$(sed -n '/^-- kwinst.log/,/^-- /p' <<<"$step" | sed -n 's/^        [0-9.]* [0-9:]*  //p')
  lines=$(sed -n '/^-- the installer log/,/^-- /p' <<<"$step" | sed -n 's/^    CustAction: [A-Za-z_]*: //p')
  [ -n "$records" ] && [ "$records" = "$lines" ] || fail "kwinst.log '$records' differs from the installer log '$lines'"
done

# The demonstration leaves the prefix as it found it, for the tests after it.
left=$("$run" "$helper" state | tr -d '\r' | grep -v '^user ')
[ -z "$left" ] || fail "the demonstration left behind: $left"
"$run" reg query 'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList' 2>/dev/null | grep -q 4242 &&
  fail "the demonstration's profiles are still listed"

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "end-to-end checks passed"
