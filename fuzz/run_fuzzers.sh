#!/bin/sh
# Runs every fuzzer of a fuzz build: first each input of its corpus once, as regression cases,
# then new inputs for the given number of seconds. Fails at the first fuzzer that fails.
#
#   fuzz/run_fuzzers.sh BUILD_DIR SECONDS [SEED]
#
# New inputs worth keeping go to BUILD_DIR/corpus/NAME, never into the checked-in corpus; a
# failing input is written to BUILD_DIR/artifacts/NAME/ and its path printed.
set -eu

build=$(cd "$1" && pwd)
seconds=$2
seed=${3:-0}
here=$(cd "$(dirname "$0")" && pwd)

for fuzzer in pool_file script_calls call_script settings redis_reply; do
    binary=$build/${fuzzer}_fuzzer
    seeds=$here/corpus/$fuzzer
    work=$build/corpus/$fuzzer
    artifacts=$build/artifacts/$fuzzer
    log=$build/$fuzzer.log
    mkdir -p "$work" "$artifacts"

    printf '%s: %s corpus inputs... ' "$fuzzer" "$(ls "$seeds" | wc -l)"
    if ! "$binary" -timeout=120 -artifact_prefix="$artifacts/" "$seeds"/* >"$log" 2>&1; then
        echo "FAILED"
        tail -n 60 "$log"
        exit 1
    fi
    printf 'pass; fuzzing for %s s... ' "$seconds"
    if ! "$binary" -seed="$seed" -max_total_time="$seconds" -timeout=120 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$work" "$seeds" >"$log" 2>&1; then
        echo "FAILED"
        tail -n 60 "$log"
        echo "the failing input is in $artifacts/"
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "pass (${runs:-?} runs)"
done
