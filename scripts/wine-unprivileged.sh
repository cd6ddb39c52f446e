#!/bin/bash
# Runs a Windows test program under Wine as an ordinary user (uid 65534), the
# way people install Windows programs on Linux: Wine then keeps a read-only
# mark as the file's mode and refuses what Windows allows an administrator.
# The user's own prefix is made beside the build's on first use; the user's
# wine server is started outside the test's pipes and ended afterwards.
# Usage: scripts/wine-unprivileged.sh BUILD_DIR PROGRAM.exe [arguments...]
set -e
build=$(cd "$1" && pwd); shift
program=$1; shift
uid=65534
as_user() {
  setpriv --reuid=$uid --regid=$uid --clear-groups env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="$build/wine-home-$uid" \
    WINEPREFIX="$build/wineprefix-$uid" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" "$@"
}
if [ ! -f "$build/wineprefix-$uid/system.reg" ]; then
  rm -rf "$build/wineprefix-$uid" "$build/wine-home-$uid"
  mkdir -p "$build/wineprefix-$uid" "$build/wine-home-$uid"
  chown $uid:$uid "$build/wineprefix-$uid" "$build/wine-home-$uid"
  as_user wineboot -i >/dev/null 2>&1 </dev/null
  as_user wineserver -w
fi
as_user wineserver -p >/dev/null 2>&1 </dev/null || true
as_user wine cmd /c exit >/dev/null 2>&1 </dev/null || true
set +e
as_user wine "$program" "$@"
rc=$?
as_user wineserver -k >/dev/null 2>&1 </dev/null
exit $rc
