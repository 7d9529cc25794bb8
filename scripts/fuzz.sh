#!/usr/bin/env bash
# Runs every libFuzzer target for SECONDS each (default 30) under AddressSanitizer and
# UndefinedBehaviorSanitizer, starting from the seed corpus in tests/fuzz/corpus/, and prints
# the executions each ran. A finding stops the run with the crashing input saved in build/fuzz/.
# Usage: fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
scripts/install-deps.sh clang libclang-rt-14-dev nlohmann-json3-dev
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DPELMAR_FUZZ=ON -DPELMAR_TESTS=OFF \
    -DPELMAR_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELMAR_WERROR=ON \
    >/dev/null
cmake --build build/fuzz -j"$(nproc)" >/dev/null

total=0
for target in capture_line line_reader config_file report_texts frame; do
    scratch="build/fuzz/corpus-$target"
    mkdir -p "$scratch"
    log="build/fuzz/$target.log"
    if ! "build/fuzz/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="build/fuzz/$target-" "$scratch" "tests/fuzz/corpus/$target" \
        > "$log" 2>&1; then
        tail -40 "$log"
        echo "fuzz_$target: FINDING (input saved as build/fuzz/$target-*)"
        exit 1
    fi
    runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$log")
    total=$((total + runs))
    echo "fuzz_$target: $runs executions in ${seconds}s, no finding"
done
echo "fuzzing: $total executions in all, no finding"
