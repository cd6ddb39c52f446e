#!/bin/bash
# The demonstration: the package of tests/e2e/demo.wxs, built on the authoring
# fragment, installed and then removed with msiexec on a prefix that holds an
# earlier version of the application, its running program, a second user who
# is not logged on, Word, a key and a folder to grant and an options file.
# Prints, for each of the two steps: the actions that ran, their result
# properties and the data of the deferred ones, what changed on the machine,
# kwinst.log and the module's lines of the installer log.
# The installer logs and the machine's states stay in BUILD_DIR/tests/demo.
# Usage: run-demo.sh BUILD_DIR   (inside xvfb-run, prefix prepared by scripts/wine-prefix.sh)
set -u
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/installer-log.sh"
source "$here/../../scripts/windows-path.sh"
run="$build/wine-run.sh"
export WINEPREFIX=$(sed -n 's/^export WINEPREFIX="${CA_WINEPREFIX:-\(.*\)}"$/\1/p' "$run")
helper="$build/tests/demo_prepare.exe"
msi=$(windows_path "$build/tests/demo.msi")
out="$build/tests/demo"
mkdir -p "$out"
rm -f "$out"/*
user_temp=$(find "$WINEPREFIX/drive_c/users" -maxdepth 2 -iname temp -type d | head -1)
system_temp=$(find "$WINEPREFIX/drive_c" -maxdepth 2 -ipath '*/windows/temp' -type d | head -1)
status=0

actions="ReadProductVerPrm CompareInstDir FindActiveApp CheckISRunning CheckMSWordRunning ReadMSWordVer
ImportOpt_check DelMultiUserData DelMSWordDot SetFoldRights CopyMSWordDot SetRegRights ImportOpt_run
DelMultiUserDataCommit DelMSWordDotCommit SetFoldRightsCommit CopyMSWordDotCommit SetRegRightsCommit ImportOpt_commit"

indent() { sed 's/^/    /'; }

# --- holding what FindActiveApp looks for ------------------------------------
holders=()
hold() {  # hold NAME ITEM...: a process that holds the items until released
  local name=$1; shift
  # It holds as long as the steps need it: never ended for taking long.
  CA_WINE_RUN_LIMIT= "$run" "$helper" hold "CustActionDemo.$name" "$@" >"$out/hold-$name.out" 2>&1 &
  holders+=("$name:$!")
  for _ in $(seq 300); do
    grep -q ready "$out/hold-$name.out" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "the $name holder did not start: $(cat "$out/hold-$name.out")"
  return 1
}
release() {  # release NAME
  local kept=() entry
  for entry in "${holders[@]}"; do
    if [ "${entry%%:*}" = "$1" ]; then
      "$run" "$helper" release "CustActionDemo.$1" >/dev/null 2>&1
      wait "${entry#*:}" 2>/dev/null
    else
      kept+=("$entry")
    fi
  done
  holders=("${kept[@]}")
}

finish() {
  for entry in "${holders[@]}"; do release "${entry%%:*}"; done
  "$run" msiexec /x "$msi" /qn >/dev/null 2>&1
  "$run" "$helper" cleanup >/dev/null 2>&1
}
trap finish EXIT

# --- what the steps leave ----------------------------------------------------
state() {  # state NAME: the machine's state into $out/state-NAME.txt
  "$run" "$helper" state 2>&1 | tr -d '\r' >"$out/state-$1.txt"
}

changes() {  # changes BEFORE AFTER: the lines that went (-) and came (+)
  diff --unchanged-line-format= --old-line-format='  - %L' --new-line-format='  + %L' \
    "$out/state-$1.txt" "$out/state-$2.txt"
}

log_text() { installer_log_text "$out/$1.log"; }  # log_text LOG

properties() {  # properties LOG NAME...: the values at the end of the step
  local log=$1; shift
  installer_log_properties "$out/$log.log" "$@"
}

# The module's actions in the order the step ran them, with their progress
# texts (the deferred ones as the installer schedules them).
actions_run() {
  log_text "$1" | sed -n 's/^Action [0-9:]*: \([A-Za-z_]*\)\. \(..*\)$/\1: \2/p' |
    while IFS=: read -r action text; do
      for a in $actions; do
        [ "$a" = "$action" ] && echo "$action:$text"
      done
    done
}

kwinst() {  # the records of kwinst.log, in every temporary folder
  local found=0
  for dir in "$user_temp" "$system_temp"; do
    [ -n "$dir" ] && [ -f "$dir/kwinst.log" ] || continue
    echo "$(windows_path "$dir/kwinst.log"):"
    tr -d '\r' <"$dir/kwinst.log" | indent
    found=1
  done
  [ $found -eq 1 ] || echo "(no record: no action failed)"
}

installer_lines() {  # the module's lines of the installer log
  local lines
  lines=$(installer_log_records "$out/$1.log")
  if [ -n "$lines" ]; then echo "$lines"; else echo "(none)"; fi
}

progress() {  # the profiles the per-user actions named in the progress dialog
  log_text "$1" | awk -v actions=" $(tr '\n' ' ' <<<"$actions") " '
    /^Action start [0-9:]*: / { name = $4; sub(/\.$/, "", name); current = index(actions, " " name " ") ? name : ""; next }
    /^Action ended / { current = ""; next }
    current != "" && /^1: / { text = substr($0, 4); sub(/ $/, "", text); print current ": User profile: " text }'
}

# The installer's custom action servers ("msiexec.exe -Embedding") of this
# prefix, seen in the process list while a step runs: which msiexec
# (system32 is the 64-bit one, syswow64 the 32-bit one) and whether
# qemu-i386 ran it.
watch_servers() {  # watch_servers FILE: until killed
  local pid args exe
  while :; do
    while read -r pid args; do
      tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
      exe=$(sed -E 's/.*(C:.windows.[a-z0-9]+.msiexec\.exe) -Embedding.*/\1/I' <<<"$args")
      case "$args" in
        *qemu-i386*) echo "$exe -Embedding (i386 code, run by qemu-i386)" ;;
        *) echo "$exe -Embedding (native)" ;;
      esac
    done < <(ps -eo pid=,args= | grep -i 'msiexec\.exe -Embedding' | grep -v grep) >>"$1"
    sleep 0.2
  done
}

msiexec_step() {  # msiexec_step LOG ARGS...: one installer run with a verbose log
  local log=$1; shift
  for dir in "$user_temp" "$system_temp"; do rm -f "$dir/kwinst.log"; done
  : >"$out/servers-$log.txt"
  watch_servers "$out/servers-$log.txt" &
  local watcher=$!
  "$run" msiexec "$@" /qn /l*v "$(windows_path "$out/$log.log")" >/dev/null 2>&1
  local code=$?
  kill $watcher 2>/dev/null
  wait $watcher 2>/dev/null
  echo "msiexec $1 returned $code"
  [ $code -eq 0 ] || status=1
  echo "-- the custom action servers that ran the module's actions"
  if [ -s "$out/servers-$log.txt" ]; then sort -u "$out/servers-$log.txt" | indent; else echo "    (none seen)"; fi
}

traces() {  # traces LOG: the module's failure records of the step
  echo "-- kwinst.log (every failure record, time-stamped)"
  kwinst | indent
  echo "-- the installer log's lines of the module (msiexec /l*v)"
  installer_lines "$1" | indent
}

# --- the demonstration -------------------------------------------------------
"$run" msiexec /x "$msi" /qn >/dev/null 2>&1  # an earlier run's installation
"$run" "$helper" prepare "$(windows_path "$here/../../options/fuzz/options-corpus/profiles.opts")" ||
  { echo "the prefix could not be prepared"; exit 1; }
hold window window:CustActionDemoToolWindow || exit 1
hold mutex 'mutex:Global\CustActionDemoRunning' || exit 1
state prepared

echo "== The machine before the installation"
echo "An earlier version 4.12 (its record below HKLM\\Software\\CustActionDemo), its program"
echo "running (a window of class CustActionDemoToolWindow, the mutex Global\\CustActionDemoRunning),"
echo "the installing user and demo-user (not logged on: a hive file only) with the program's"
echo "data, the profile of a deleted account, Word 11 with a startup folder of the installing"
echo "user's own, the key and the folder to grant, and an options file:"
source "$build/wine-env.sh"
[ "$ca_wine_bits" != 32 ] ||
  echo "(as a 32-bit installation sees them: HKLM\\Software is HKLM\\Software\\Wow6432Node of 64-bit Windows)"
indent <"$out/state-prepared.txt"

echo
echo "== Installation: msiexec /i demo.msi /l*v install.log"
msiexec_step install /i "$msi"
state installed
echo "-- the module's actions that ran, with their progress texts"
actions_run install | indent
echo "-- result properties of the immediate actions"
echo "  ReadProductVerPrm (the earlier version's record, read by the package's registry searches):"
properties install REG_COMMONREG REG_COMMONSET REG_SETACCESS OLD_COMMONREG OLD_COMMONSET OLD_SETACCESS \
  OLD_MAJORVER OLD_MINORVER OLD_NUMBBUILD OLD_FULLVER | indent
echo "  CompareInstDir (COPY_INSTALLDIR, from the record, against INSTALLDIR):"
properties install COPY_INSTALLDIR INSTALLDIR EQUAL_OLDNEW_INSTALLDIR | indent
echo "  FindActiveApp (window class 1 is open):"
properties install IS_ACTIVE_APP ACTIVE_APP_IND | indent
echo "  CheckISRunning:"
properties install IS_IS_RUNNING | indent
echo "  CheckMSWordRunning, ReadMSWordVer:"
properties install IS_MSWORD_RUNNING MSWORD_VER | indent
echo "  ImportOpt_check (IMPORTOPTPRM, built by the fragment from the CA_OPTIONS_* and CA_PRODUCT_* properties):"
properties install IMPORTOPTPRM | indent
echo "  the error properties every immediate action shares:"
properties install IS_CA_ERROR CA_ERROR_CODE CA_ERROR_TEXT | indent
echo "-- CustomActionData the fragment's setters gave the deferred actions"
properties install SetFoldRights CopyMSWordDot SetRegRights ImportOpt_run | indent
echo "-- the profiles the per-user actions showed in the progress dialog"
progress install | indent
echo "-- what the installation changed (- before, + after)"
changes prepared installed
echo "  (ImportOpt_run wrote the options file's settings below HKCU\\Software\\CustActionDemo\\App\\Profiles"
echo "  and its version record; SetRegRights replaced the Users entry of the shared key; CopyMSWordDot"
echo "  put the read-only template into the startup folders of both users. Wine stores no access"
echo "  lists of folders, so SetFoldRights' change of C:\\CustActionDemo\\Data does not show.)"
traces install

echo
echo "== Removal: the program's window closed, its mutex still held; msiexec /x demo.msi /l*v remove.log"
release window
msiexec_step remove /x "$msi"
state removed
echo "-- the module's actions that ran, with their progress texts"
actions_run remove | indent
echo "-- result properties of the immediate actions"
echo "  FindActiveApp (the mutex is found: 1000 + its index):"
properties remove IS_ACTIVE_APP ACTIVE_APP_IND | indent
echo "  CheckMSWordRunning, ReadMSWordVer:"
properties remove IS_MSWORD_RUNNING MSWORD_VER | indent
echo "-- CustomActionData the fragment's setters gave the deferred actions"
properties remove DelMultiUserData DelMSWordDot | indent
echo "-- the profiles the per-user actions showed in the progress dialog"
progress remove | indent
echo "-- what the removal deleted (- before, + after)"
changes installed removed
echo "  (DelMultiUserData removed both users' settings trees, the emptied key above them and"
echo "  their logs; demo-user's folder keeps notes.txt, which the pattern *.log does not match."
echo "  DelMSWordDot took the templates away. Wine does not write a hive that another process"
echo "  loaded back to its file when it is unloaded: demo-user's keys still read as before"
echo "  here, while on Windows they are gone. The files deleted from demo-user's AppData"
echo "  folder, found through that hive, show that the walk loaded and read it.)"
traces remove
release mutex
exit $status
