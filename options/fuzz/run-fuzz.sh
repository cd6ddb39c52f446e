#!/bin/sh
# Builds the fuzz preset and runs each harness on a copy of its seed corpus,
# sharing the given total time (seconds, default 60) between them: the pack
# harnesses start from options/fuzz/corpus, the options-file harness from
# options/fuzz/options-corpus, the JSON harness from options/fuzz/json-corpus
# (the options-file seeds as `custopts to-json` writes them), the harness of
# the per-user input checks from actions/users/text/fuzz/corpus. A crash input
# is left in build/fuzz/artifacts/; copy it into options/fuzz/crashes/ (or,
# for the per-user checks, into actions/users/text/fuzz/crashes/) so that the
# unit tests replay it from then on.
set -eu
total=${1:-60}
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
harnesses="fuzz_pack_read fuzz_pack_roundtrip fuzz_options_file fuzz_options_json fuzz_removal_items"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target $harnesses -- -j2

count=$(echo $harnesses | wc -w)
each=$(( total / count ))
[ "$each" -ge 1 ] || each=1
artifacts="$root/build/fuzz/artifacts"
mkdir -p "$artifacts"
status=0
for harness in $harnesses; do
    case $harness in
        fuzz_options_file) seeds=options/fuzz/options-corpus ;;
        fuzz_options_json) seeds=options/fuzz/json-corpus ;;
        fuzz_removal_items) seeds=actions/users/text/fuzz/corpus ;;
        *) seeds=options/fuzz/corpus ;;
    esac
    case $harness in
        fuzz_removal_items) binary=build/fuzz/actions/users/text/fuzz/$harness; crashes= ;;
        *) binary=build/fuzz/options/fuzz/$harness; crashes=options/fuzz/crashes ;;
    esac
    work=$(mktemp -d)
    cp "$seeds"/* "$work"/
    echo "== $harness: ${each}s"
    if ! "$binary" "$work" $crashes \
            -max_total_time="$each" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
            -artifact_prefix="$artifacts/$harness-" -print_final_stats=1; then
        echo "$harness found a failing input; see $artifacts" >&2
        status=1
    fi
    rm -rf "$work"
done
exit $status
