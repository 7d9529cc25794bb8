#!/usr/bin/env bash
# Builds the daemon and shows its whole job: the packaged capture pipeline (the capture tool
# with the router's options, over a bundled recording instead of a live interface) feeding
# the daemon, its console table, and uploads by curl to a small HTTP receiver on 127.0.0.1
# that prints what it gets.
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
CONF

seconds=${DEMO_SECONDS:-10}
echo "Running the capture pipeline over tests/e2e/data/capture.pcap for $seconds seconds..."
PELMAR_CONFIG="$work/pelmar.conf" PELMAR_CAPTURE_FILE=tests/e2e/data/capture.pcap \
    PATH="$PWD/build/demo:$PATH" \
    timeout "$seconds" sh packaging/openwrt/pelmar/files/pelmar-capture || [ $? -eq 124 ]

echo
echo "The receiver got $(grep -c '^POST' "$work/received") uploads; the last one:"
tail -n +"$(grep -n '^POST' "$work/received" | tail -1 | cut -d: -f1)" "$work/received"
backups=("$work"/backups/*.dat)
echo "Backups written: ${#backups[@]}"
