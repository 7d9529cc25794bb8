#!/usr/bin/env bash
# Instructions per reading at 100, 10,000 and 100,000 devices, counted by callgrind: constant
# work shows as equal figures, whatever the caches of the machine do to the timings.
# Usage: instructions.sh BUILD_DIR
set -euo pipefail
build=${1:-build/release}
readings=200000
for devices in 100 10000 100000; do
    out=$(mktemp)
    valgrind --tool=callgrind --toggle-collect='takeReadings*' --callgrind-out-file="$out" \
        "$build/bench/reading_work" "$devices" "$readings" >/dev/null 2>&1
    total=$(grep -E '^(summary|totals):' "$out" | head -1 | awk '{print $2}')
    rm -f "$out"
    echo "$devices devices: $((total / readings)) instructions per reading"
done
