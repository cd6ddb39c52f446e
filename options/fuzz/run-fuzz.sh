#!/bin/sh
# Builds the fuzz preset and runs each pack harness on a copy of the seed
# corpus, sharing the given total time (seconds, default 60) between them.
# A crash input is left in build/fuzz/artifacts/; copy it into
# options/fuzz/crashes/ so that the unit tests replay it from then on.
set -eu
total=${1:-60}
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_pack_read fuzz_pack_roundtrip -- -j2

harnesses="fuzz_pack_read fuzz_pack_roundtrip"
count=$(echo $harnesses | wc -w)
each=$(( total / count ))
[ "$each" -ge 1 ] || each=1
artifacts="$root/build/fuzz/artifacts"
mkdir -p "$artifacts"
status=0
for harness in $harnesses; do
    work=$(mktemp -d)
    cp options/fuzz/corpus/* "$work"/
    echo "== $harness: ${each}s"
    if ! "build/fuzz/options/fuzz/$harness" "$work" options/fuzz/crashes \
            -max_total_time="$each" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
            -artifact_prefix="$artifacts/$harness-" -print_final_stats=1; then
        echo "$harness found a failing input; see $artifacts" >&2
        status=1
    fi
    rm -rf "$work"
done
exit $status
