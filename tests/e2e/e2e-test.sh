#!/bin/bash
# End to end: the demonstration package installed with msiexec under Wine runs
# the module's actions out of process; their result properties come back
# through the registry values the package writes.
set -u
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
run="$build/wine-run.sh"
export WINEPREFIX=$(sed -n 's/^export WINEPREFIX="${CA_WINEPREFIX:-\(.*\)}"$/\1/p' "$run")
failures=0

expect() {  # expect OUTPUT NAME=VALUE...
  local out=$1; shift
  for pair in "$@"; do
    if ! grep -qxF -- "$pair" <<<"$out"; then
      echo "FAIL: expected line '$pair'"
      failures=$((failures + 1))
    fi
  done
}

word_registration() {
  "$run" reg add 'HKCR\Word.Application\CurVer' /ve /d "$1" /f >/dev/null 2>&1
}

echo "== a previous version, the same folder, Word 11 registered"
word_registration Word.Application.11
out=$("$here/install-demo.sh" "$build" OLD_COMMONREG_READ=1 OLD_COMMONSET_READ=0 \
  OLD_SETACCESS_READ=1 OLD_MAJORVER_READ=4 OLD_MINORVER_READ=12 OLD_NUMBBUILD_READ=377 \
  'COPY_INSTALLDIR=c:\program files\custactiondemo' \
  MUTEXGLOBAL_CNT=1 'MUTEXGLOBAL0=Local\CustActionDemoNotRunning')
echo "$out"
expect "$out" "msiexec /i returned 0" \
  IS_CA_ERROR= REG_COMMONREG=1 REG_COMMONSET=0 REG_SETACCESS=1 OLD_COMMONREG=1 \
  OLD_COMMONSET=0 OLD_SETACCESS=1 OLD_MAJORVER=4 OLD_MINORVER=12 OLD_NUMBBUILD=377 \
  OLD_FULLVER=412 EQUAL_OLDNEW_INSTALLDIR=1 IS_ACTIVE_APP=0 ACTIVE_APP_IND= \
  IS_IS_RUNNING=0 IS_MSWORD_RUNNING=0 MSWORD_VER=11

echo "== no previous version, another folder, a broken Word registration"
word_registration Word
out=$("$here/install-demo.sh" "$build" 'COPY_INSTALLDIR=C:\Elsewhere')
echo "$out"
expect "$out" "msiexec /i returned 0" \
  IS_CA_ERROR=1 "CA_ERROR_CODE=Code: 13 Point: AJSDG5UZYCXI5TT:W36MAN6789A8WMG (Word)" \
  OLD_FULLVER= REG_COMMONREG= EQUAL_OLDNEW_INSTALLDIR=0 MSWORD_VER=
if ! grep -qE '^[0-9]{4}\.[0-9]{2}\.[0-9]{2} [0-9:]{8}  Code: 13 Point: W36MAN6789A8WMG \(Word\)$' <<<"$out" ||
   ! grep -qE '^[0-9]{4}\.[0-9]{2}\.[0-9]{2} [0-9:]{8}  AJSDG5UZYCXI5TT:W36MAN6789A8WMG$' <<<"$out"; then
  echo "FAIL: the log lacks the failure's two records"
  failures=$((failures + 1))
fi

"$run" reg delete 'HKCR\Word.Application' /f >/dev/null 2>&1
"$run" msiexec /x "$(winepath -w "$build/tests/demo.msi")" /qn >/dev/null 2>&1
if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "end-to-end checks passed"
