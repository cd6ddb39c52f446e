#!/bin/bash
# The main job: builds CustAction.dll (i686, the product) and its x86_64 twin
# with the demonstration package, installs the package with msiexec under
# Wine, and prints what each action reported.
set -e
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh win32 win64
echo
echo "== product: build/win32/module/CustAction.dll"
i686-w64-mingw32-objdump -p build/win32/module/CustAction.dll |
  sed -n -e '/Ordinal\/Name Pointer/,/^$/p' -e 's/^\tDLL Name: /imports /p'
echo
echo "== demonstration installation (x86_64 twin under Wine)"
xvfb-run -a bash -c '
  source scripts/wine-prefix.sh build/win64
  word() { wine reg add "HKCR\\Word.Application\\CurVer" /ve /d "$1" /f >/dev/null 2>&1; }
  echo
  echo "-- run 1: an earlier version in the same folder, Word 11 registered"
  word Word.Application.11
  tests/e2e/install-demo.sh build/win64 \
    OLD_COMMONREG_READ=1 OLD_COMMONSET_READ=0 OLD_SETACCESS_READ=1 \
    OLD_MAJORVER_READ=4 OLD_MINORVER_READ=12 OLD_NUMBBUILD_READ=377 \
    "COPY_INSTALLDIR=C:\\Program Files\\CustActionDemo" \
    NAMECLASS_CNT=1 NAMECLASS0=NoSuchWindowClass \
    MUTEXGLOBAL_CNT=1 "MUTEXGLOBAL0=Global\\NoSuchMutex"
  rc1=$?
  echo
  echo "-- run 2: no earlier version, another folder, a broken Word registration"
  word Word
  tests/e2e/install-demo.sh build/win64 "COPY_INSTALLDIR=C:\\Elsewhere"
  rc2=$?
  wine reg delete "HKCR\\Word.Application" /f >/dev/null 2>&1
  wine msiexec /x "$(winepath -w build/win64/tests/demo.msi)" /qn >/dev/null 2>&1
  wineserver -k 2>/dev/null
  [ $rc1 -eq 0 ] && [ $rc2 -eq 0 ]'
