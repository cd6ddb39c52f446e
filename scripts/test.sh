#!/bin/bash
# Builds everything and runs every test: the portable core natively (plain
# and with ASan + UBSan), then the Windows tests of the x86_64 twin under Wine
# with a private display, ending with the msiexec end-to-end installation.
set -e
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh native native-asan win32 win64
status=0
for preset in native native-asan; do
  echo "== tests: $preset"
  ctest --test-dir "build/$preset" --output-on-failure -j "$(nproc)" || status=1
done
echo "== tests: win64 under Wine"
# One at a time: the tests share the prefix's registry and the installer log.
xvfb-run -a -s "-screen 0 1024x768x24" scripts/ctest-wine.sh build/win64 || status=1
exit $status
