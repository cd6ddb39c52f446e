#!/bin/bash
# Line and branch coverage of the product code from the whole test run: the
# portable core natively, everything else from the x86_64 twin under Wine
# (gcov data of the mingw build). Prints one summary table per file and the
# total; the HTML details go to build/coverage-report/.
# Usage: scripts/coverage.sh [--no-run]   (--no-run: report on the data there is)
set -e
cd "$(dirname "$0")/.."
scripts/setup.sh
command -v gcovr >/dev/null || { export DEBIAN_FRONTEND=noninteractive; apt-get install -y -qq gcovr >/dev/null; }
if [ "${1:-}" != "--no-run" ]; then
  scripts/build.sh native-coverage coverage
  find build/native-coverage build/coverage -name '*.gcda' -delete
  ctest --test-dir build/native-coverage -j "$(nproc)" >/dev/null || echo "(native tests failed; coverage of what ran)"
  xvfb-run -a -s "-screen 0 1024x768x24" scripts/ctest-wine.sh build/coverage >/dev/null ||
    echo "(Wine tests failed; coverage of what ran)"
fi
# Product code only: not the tests, harnesses, benchmarks or GoogleTest.
filters=(--root . --filter 'runtime/' --filter 'actions/' --filter 'diag/' --filter 'options/' --filter 'module/'
         --exclude '.*/tests/' --exclude '.*/fuzz/' --exclude '.*/bench/' --exclude 'build/')
mkdir -p build/coverage-report
gcovr "${filters[@]}" --gcov-executable gcov --object-directory build/native-coverage \
      --json build/coverage-report/native.json build/native-coverage
# The coverage presets update counters atomically: tests run threads and
# processes at once, and a lost update makes gcov derive negative counts,
# which gcovr cannot read. Should such a line still come, it is skipped with
# a warning rather than losing the whole report.
# custopts keeps a Windows and a POSIX half of its file layer in one source, on
# different lines: its figures come from the native run alone.
gcovr "${filters[@]}" --exclude 'options/custopts/' --gcov-ignore-parse-errors \
      --gcov-executable x86_64-w64-mingw32-gcov-posix --object-directory build/coverage \
      --json build/coverage-report/wine.json build/coverage
# Branches of the exception machinery the compiler adds are left out.
gcovr --root . -a build/coverage-report/native.json -a build/coverage-report/wine.json \
      --exclude-throw-branches --exclude-unreachable-branches \
      --html-details build/coverage-report/index.html \
      --json-summary build/coverage-report/summary.json >/dev/null
python3 - build/coverage-report/summary.json <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
rows = sorted(d["files"], key=lambda f: f["filename"])
w = max(len(f["filename"]) for f in rows + [{"filename": "TOTAL"}])
def pct(c, t): return f"{100.0 * c / t:5.1f}%" if t else "    - "
print(f"{'file':<{w}}  {'lines':>15}  {'branches':>15}")
for f in rows:
    print(f"{f['filename']:<{w}}  {f['line_covered']:>6}/{f['line_total']:<5}{pct(f['line_covered'], f['line_total'])}"
          f"  {f['branch_covered']:>6}/{f['branch_total']:<5}{pct(f['branch_covered'], f['branch_total'])}")
print(f"{'TOTAL':<{w}}  {d['line_covered']:>6}/{d['line_total']:<5}{pct(d['line_covered'], d['line_total'])}"
      f"  {d['branch_covered']:>6}/{d['branch_total']:<5}{pct(d['branch_covered'], d['branch_total'])}")
PY
echo "(details: build/coverage-report/index.html)"
