#!/usr/bin/env bash
# Runs each libFuzzer target for a short while and fails on the first crash, leak or hang.
# Usage: fuzz-smoke.sh BUILD_DIR SECONDS TARGET...
# Corpora grow under BUILD_DIR/corpus/<target>; tests/fuzz/seeds/<target>, when present,
# seeds them.
set -euo pipefail
build=$1 seconds=$2
shift 2
for f in "$@"; do
    corpus="$build/corpus/$f"
    mkdir -p "$corpus"
    seeds=()
    [[ -d "tests/fuzz/seeds/$f" ]] && seeds=("tests/fuzz/seeds/$f")
    log="$build/corpus/$f.log"
    if ! "$build/tests/fuzz/$f" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix="$build/corpus/$f-" "$corpus" "${seeds[@]}" \
            >"$log" 2>&1; then
        echo "== $f: FAILED"
        grep -E 'ERROR|SUMMARY|Test unit written' "$log" || tail -20 "$log"
        exit 1
    fi
    runs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}')
    echo "== $f: ${runs:-?} runs in ${seconds} s, no findings"
done
