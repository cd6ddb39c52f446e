#!/bin/bash
# Every benchmark of the project in one table: what we measure, the
# comparison measured in the same run, the ratio, the goal, and whether it is
# met. Builds what it needs (the native benchmark preset and the x86_64 twin's
# benchmark programs); the Windows ones run under Wine in the win64 build's
# prefix. --quick: the same table from shorter runs.
# Usage: scripts/bench.sh [--quick]
set -e
cd "$(dirname "$0")/.."
quick=0
[ "${1:-}" = "--quick" ] && quick=1
scripts/setup.sh
echo "== building" >&2
cmake --preset bench >/dev/null && cmake --build build/bench --target options_bench -- -j2 >/dev/null
cmake --preset win64 >/dev/null &&
  cmake --build build/win64 --target import_bench del_multi_user_data_bench action_call_bench \
        ca_action_cost_package -- -j2 >/dev/null

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

echo "== native: cipher, pack decode, options-file check" >&2
if [ $quick = 1 ]; then native=(--benchmark_min_time=0.2 --benchmark_repetitions=1)
else native=(--benchmark_min_time=0.5 --benchmark_repetitions=5 --benchmark_report_aggregates_only=true); fi
build/bench/options/bench/options_bench "${native[@]}" --benchmark_format=json >"$out/native.json" 2>/dev/null

echo "== Wine: options import, per-user removal, action call" >&2
if [ $quick = 1 ]; then import=(--quick); users=(--quick); rounds=30
else import=(--reps 5); users=(); rounds=200; fi
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  source scripts/wine-prefix.sh build/win64 >/dev/null
  options/bench/run-import-bench.sh "$@" 2>/dev/null
  wineserver -k 2>/dev/null' bash "${import[@]}" >"$out/wine.txt" || true
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  source scripts/wine-prefix.sh build/win64 >/dev/null
  actions/users/bench/run-bench.sh "$@" 2>/dev/null
  wineserver -k 2>/dev/null' bash "${users[@]}" >>"$out/wine.txt" || true
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  source scripts/wine-prefix.sh build/win64 >/dev/null
  source scripts/windows-path.sh
  msi=$(windows_path build/win64/module/bench/action-cost.msi)
  build/win64/wine-run.sh build/win64/module/bench/action_call_bench.exe "$msi" "$1" CA_ReadProductVerPrm 2>/dev/null
  # Each action against one of a DLL of the same build that makes only the
  # same installer and system calls: what the module itself adds.
  build/win64/wine-run.sh build/win64/module/bench/action_call_bench.exe "$msi" "$1" CA_CheckMSWordRunning \
      CA_LookUpWindowAndSetProperty 2>/dev/null
  build/win64/wine-run.sh build/win64/module/bench/action_call_bench.exe "$msi" "$1" CA_ReadProductVerPrm \
      CA_ReadAndSetVersionProperties 2>/dev/null
  wineserver -k 2>/dev/null' bash "$rounds" >>"$out/wine.txt" || true

python3 - "$out/native.json" "$out/wine.txt" <<'PY'
import json, sys
rows = []
runs = {b["run_name"]: b for b in json.load(open(sys.argv[1]))["benchmarks"]
        if b.get("aggregate_name", "median") == "median"}
def rate(name, key): return runs[name][key] if name in runs else float("nan")
def gbs(v): return f"{v / 1e9:.2f} GB/s"
def mbs(v): return f"{v / 1e6:.1f} MB/s"
def at_least(r, goal): return "met" if r >= goal else "missed"
def at_most(r, goal): return "met" if r <= goal else "missed"
for size, label in ((65536, "64 KiB"), (64, "64 B")):
    ours, theirs = rate(f"BM_Encipher/{size}", "bytes_per_second"), rate(f"BM_OpenSslDesEcb/{size}", "bytes_per_second")
    rows.append((f"DES encipher, {label}, vs libcrypto DES-ECB", mbs(ours), mbs(theirs), f"{ours / theirs:.2f}x",
                 ">= 1.00x", at_least(ours / theirs, 1.0)))
blob, copy = rate("BM_DecodeBlobHeavy", "bytes_per_second"), rate("BM_MemcpyBlobHeavy", "bytes_per_second")
rows.append(("pack decode, blob-heavy 64 MiB (vs memcpy)", gbs(blob), gbs(copy), f"{blob / copy:.2f}x",
             ">= 1 GB/s", at_least(blob, 1e9)))
random, colliding, cases = (rate(f"BM_DecodeNames/{k}", "cpu_time") for k in (0, 1, 2))
rows.append(("pack decode, 65,536 item names colliding under FNV-1a (vs random names)", f"{colliding:.1f} ms",
             f"{random:.1f} ms", f"{colliding / random:.2f}x", "<= 2.00x", at_most(colliding / random, 2.0)))
rows.append(("pack decode, 65,536 case variants of one name (vs random names)", f"{cases:.1f} ms",
             f"{random:.1f} ms", f"{cases / random:.2f}x", "<= 2.00x", at_most(cases / random, 2.0)))
items = rate("BM_DecodeItemHeavy", "items_per_second")
rows.append(("pack decode, item-heavy (102,001 items)", f"{items / 1e6:.1f} M items/s", "-", "-", ">= 5 M items/s",
             at_least(items, 5e6)))
for arg, label in (("0", "1 MiB options file, settings with blocks"), ("1", "1 MiB options file, small values only")):
    check, read = rate(f"BM_CheckOptionsFile/{arg}", "real_time"), rate(f"BM_ReadOptionsFileBytes/{arg}", "real_time")
    rows.append((f"{label}: check vs reading its bytes", f"{check:.0f} us", f"{read:.0f} us", f"{check / read:.2f}x",
                 "<= 2.00x" if arg == "0" else "(information)", at_most(check / read, 2.0) if arg == "0" else "-"))
    tree = rate(f"BM_ReadOptionsFileSettings/{arg}", "real_time")
    rows.append((f"{label}: read with its settings tree (as the run) vs reading its bytes", f"{tree:.0f} us",
                 f"{read:.0f} us", f"{tree / read:.2f}x", "(information)", "-"))
for line in open(sys.argv[2]):
    if line.startswith("BENCH\t"):
        rows.append(tuple(line.rstrip("\n").split("\t")[1:7]))
head = ("benchmark", "ours", "comparison", "ratio", "goal", "")
widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(6)]
for r in [head] + rows:
    print("  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip())
PY
