#!/bin/bash
# End to end through the authoring fragment: a package made of
# wix/CustAction.wxs alone, installed with msiexec and a verbose installer log
# (/l*v). The detection actions run from the fragment's sequence; their result
# properties come back through the log's property dump, and every kwinst.log
# record of a failure must be in the installer log too, prefixed
# "CustAction: " and the action's name.
# Usage: fragment-test.sh BUILD_DIR   (prefix prepared by scripts/wine-prefix.sh)
set -u
build=$(cd "$1" && pwd)
source "$(dirname "$0")/../../scripts/windows-path.sh"
run="$build/wine-run.sh"
# A Wine program that hangs is ended and started once more (wine-run.sh);
# what hung is shown when the script ends.
export CA_WINE_RUN_LIMIT=120 CA_WINE_RUN_HANGS="$build/e2e-fragment.hangs"
rm -f "$CA_WINE_RUN_HANGS"
trap '[ ! -s "$CA_WINE_RUN_HANGS" ] || cat "$CA_WINE_RUN_HANGS"' EXIT
export WINEPREFIX=$(sed -n 's/^export WINEPREFIX="${CA_WINEPREFIX:-\(.*\)}"$/\1/p' "$run")
msi=$(windows_path "$build/tests/fragment.msi")
temp_dir=$(dirname "$(find "$WINEPREFIX/drive_c/users" -maxdepth 2 -iname temp -type d | head -1)/x")
kwinst="$temp_dir/kwinst.log"
installer_log="$WINEPREFIX/drive_c/fragment-install.log"
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# install PROPERTY=value...: a fresh installation with a verbose log.
install() {
  "$run" msiexec /x "$msi" /qn >/dev/null 2>&1
  rm -f "$kwinst" "$installer_log"
  "$run" msiexec /i "$msi" /qn /l*v 'C:\fragment-install.log' "$@" >/dev/null 2>&1
  local status=$?
  [ $status -eq 0 ] || fail "msiexec /i returned $status"
  [ -f "$installer_log" ] || fail "no installer log"
}

# The installer log as UTF-8 text without CRs (Windows writes it in UTF-16).
log_text() {
  if [ "$(head -c 2 "$installer_log" | od -An -tx1 | tr -d ' ')" = "fffe" ]; then
    iconv -f UTF-16 -t UTF-8 "$installer_log" | tr -d '\r'
  else
    tr -d '\r' <"$installer_log"
  fi
}

# expect_properties NAME=VALUE...: the property dump at the end of the log.
expect_properties() {
  local dump
  dump=$(log_text | sed -n 's/^Property(S): \([A-Z_]*\) = \(.*\)$/\1=\2/p')
  for pair in "$@"; do
    local name=${pair%%=*}
    local value
    value=$(grep "^$name=" <<<"$dump" | tail -1 | cut -d= -f2-)
    [ "$name=$value" = "$pair" ] || fail "expected $pair, the log has '$name=$value'"
  done
}

# expect_started ACTION...: the actions ran, each announced with its progress
# text ("Action hh:mm:ss: Name. Description").
expect_started() {
  for action in "$@"; do
    log_text | grep -q "^Action start [0-9:]*: $action\.$" || fail "$action did not run"
    log_text | grep -qE "^Action [0-9:]+: $action\. [A-Z]" || fail "$action ran without its progress text"
  done
}

# The texts of the kwinst.log records, stamps removed (one record a line).
kwinst_records() {
  [ -f "$kwinst" ] && tr -d '\r' <"$kwinst" | sed 's/^[0-9]\{4\}\.[0-9][0-9]\.[0-9][0-9] [0-9:]\{8\}  //'
}

# The installer log's lines of the module.
installer_records() {
  log_text | grep '^CustAction: '
}

echo "== an earlier version, the same folder, Word 11 registered, nothing running"
"$run" reg add 'HKCR\Word.Application\CurVer' /ve /d Word.Application.11 /f >/dev/null 2>&1
install OLD_COMMONREG_READ=1 OLD_COMMONSET_READ=0 OLD_SETACCESS_READ=1 OLD_MAJORVER_READ=4 \
  OLD_MINORVER_READ=12 OLD_NUMBBUILD_READ=377 'INSTALLDIR=C:\Apps\Demo\' \
  'COPY_INSTALLDIR=c:\apps\demo' MUTEXGLOBAL_CNT=1 'MUTEXGLOBAL0=Local\CustActionNotRunning' \
  CA_WORD_TEMPLATE=App.dot
expect_started ReadProductVerPrm CompareInstDir FindActiveApp CheckISRunning CheckMSWordRunning ReadMSWordVer
expect_properties OLD_FULLVER=412 OLD_NUMBBUILD=377 REG_SETACCESS=1 EQUAL_OLDNEW_INSTALLDIR=1 \
  IS_ACTIVE_APP=0 IS_IS_RUNNING=0 IS_MSWORD_RUNNING=0 MSWORD_VER=11 IS_CA_ERROR=
[ -z "$(installer_records)" ] || fail "records in the installer log without a failure: $(installer_records)"

echo "== a broken mutex list and a broken Word registration"
"$run" reg add 'HKCR\Word.Application\CurVer' /ve /d Word /f >/dev/null 2>&1
install MUTEXGLOBAL_CNT=2 'MUTEXGLOBAL0=Local\CustActionNotRunning' CA_WORD_TEMPLATE=App.dot
expect_properties IS_ACTIVE_APP=0 IS_CA_ERROR=1 \
  "CA_ERROR_CODE=Code: 13 Point: AJSDG5UZYCXI5TT:W36MAN6789A8WMG (Word)"
expected="CustAction: FindActiveApp: Code: 0 Point: 2JR82EFERFR9YTP (0)(MUTEXGLOBAL1)()
CustAction: ReadMSWordVer: Code: 13 Point: W36MAN6789A8WMG (Word)
CustAction: ReadMSWordVer: AJSDG5UZYCXI5TT:W36MAN6789A8WMG"
[ "$(installer_records)" = "$expected" ] ||
  fail "installer log records: '$(installer_records)', expected '$expected'"
# Each record of kwinst.log, in order, is one record of the installer log.
[ "$(kwinst_records)" = "$(installer_records | sed 's/^CustAction: [A-Za-z_]*: //')" ] ||
  fail "kwinst.log '$(kwinst_records)' differs from the installer log"

"$run" reg delete 'HKCR\Word.Application' /f >/dev/null 2>&1
"$run" msiexec /x "$msi" /qn >/dev/null 2>&1
if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "fragment checks passed"
