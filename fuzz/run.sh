#!/bin/sh
# Runs every fuzz target for a bounded time over its seed corpus, one after
# the other: run.sh BUILD_DIR SECONDS. What the fuzzer finds new goes to
# BUILD_DIR/fuzz/corpus/<target>, so the seeds in the source tree stay as
# committed; an input that breaks a target is saved as
# BUILD_DIR/fuzz/crashes/<target>-*. Fails if any target fails.
set -u
build=${1:?build directory}
seconds=${2:?seconds per target}
here=$(cd "$(dirname "$0")" && pwd)
out="$build/fuzz"
mkdir -p "$out/crashes" "$out/logs"

failed=""
for seeds in "$here"/corpus/*/; do
    target=$(basename "$seeds")
    program="$out/fuzz_$target"
    log="$out/logs/$target.log"
    mkdir -p "$out/corpus/$target"
    if [ ! -x "$program" ]; then
        echo "fuzz $target: no program $program"
        failed="$failed $target"
        continue
    fi
    if "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$out/crashes/$target-" \
        "$out/corpus/$target" "$seeds" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        echo "fuzz $target: ${runs:-?} runs in ${seconds}s, nothing found"
    else
        echo "fuzz $target: FAILED, see $log; the last lines:"
        tail -n 40 "$log"
        failed="$failed $target"
    fi
done

if [ -n "$failed" ]; then
    echo "fuzz targets that failed:$failed"
    exit 1
fi
