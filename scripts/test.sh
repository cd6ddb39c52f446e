#!/bin/bash
# Builds everything and runs every test: the portable core natively (plain
# and with ASan + UBSan), then the Windows tests of the x86_64 twin under Wine
# with a private display, ending with the msiexec end-to-end installation,
# then the same Windows tests built for i686 (the product's own build) on the
# 32-bit Wine platform. Each stage says how long it took.
set -e
cd "$(dirname "$0")/.."
stage() {  # stage NAME COMMAND...: runs it, says how long it took; a failure is remembered
  local name=$1 started=$SECONDS
  shift
  echo "== $name"
  "$@" || status=1
  echo "== $name: $((SECONDS - started)) s"
}
status=0
stage "set-up" scripts/setup.sh
[ $status -eq 0 ] || exit 1
# win32-tests builds the product DLL exactly as the product preset win32 does
# (same sources, toolchain and flags: the same code) beside the tests that
# run it, so the product preset, the demonstration's, is only configured here.
stage "build" scripts/build.sh native native-asan win64 win32-tests
stage "configure: win32 (the product preset)" cmake --preset win32
[ $status -eq 0 ] || exit 1
for preset in native native-asan; do
  stage "tests: $preset" ctest --test-dir "build/$preset" --output-on-failure -j "$(nproc)"
done
# One at a time: the tests share the prefix's registry and the installer log.
stage "tests: win64 under Wine" xvfb-run -a -s "-screen 0 1024x768x24" scripts/ctest-wine.sh build/win64
# The i686 build runs each test executable as one process (a 32-bit process
# start under qemu costs seconds), in a prefix of its own.
stage "tests: win32 (i686) under 32-bit Wine" \
  xvfb-run -a -s "-screen 0 1024x768x24" scripts/ctest-wine.sh build/win32-tests
exit $status
