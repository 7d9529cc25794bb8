#!/usr/bin/env bash
# Builds the daemon and shows its whole job: the daemon capturing natively from a bundled
# recording (instead of a live monitor interface) through the router's capture filter, its
# console table, and uploads by curl to a small HTTP receiver on 127.0.0.1 that prints what it
# gets.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/demo -DPELMAR_TESTS=OFF >/dev/null
cmake --build build/demo -j"$(nproc)" >/dev/null

work=$(mktemp -d)
trap 'kill "$receiver" 2>/dev/null || true; rm -rf "$work"' EXIT
python3 demo/receiver.py "$work/port" > "$work/received" &
receiver=$!
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done

mkdir "$work/backups" && touch "$work/backups/writebackup"
cat > "$work/pelmar.conf" <<CONF
[pelmar]
report_time = 4
display_time = 2
max_entry_age = 0
show_stats = 1
full_url = http://127.0.0.1:$(cat "$work/port")/pelmar
backup_dir = $work/backups
capture_file = $PWD/tests/e2e/data/capture.pcap
count_devices = 1
CONF

seconds=${DEMO_SECONDS:-10}
echo "Running pelmar over tests/e2e/data/capture.pcap for $seconds seconds..."
PELMAR_CONFIG="$work/pelmar.conf" timeout "$seconds" build/demo/pelmar || [ $? -eq 124 ]

echo
echo "The receiver got $(grep -c '^POST' "$work/received") uploads; the last one:"
tail -n +"$(grep -n '^POST' "$work/received" | tail -1 | cut -d: -f1)" "$work/received"
backups=("$work"/backups/*.dat)
echo "Backups written: ${#backups[@]}"
