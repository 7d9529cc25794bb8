#!/usr/bin/env bash
# Builds the daemon and the collector and shows the whole job: the daemon capturing natively from
# a bundled recording (instead of a live monitor interface) through the router's capture
# filter, its console table, and uploads by curl to pelmar-collector on 127.0.0.1, which stores
# them in SQLite and serves the page of devices over time. DEMO_KEEP=1 keeps the collector
# running afterwards, for a person to open the page.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/demo -DPELMAR_TESTS=OFF -DPELMAR_COLLECTOR=ON >/dev/null
cmake --build build/demo -j"$(nproc)" >/dev/null
collector=build/demo/src/collector/pelmar-collector

work=$(mktemp -d)
collector_pid=""
finish() {
    if [ "${DEMO_KEEP:-0}" = 1 ] && [ -n "$collector_pid" ]; then return; fi
    [ -z "$collector_pid" ] || kill "$collector_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap finish EXIT
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
token=$("$collector" token add demo-router --db "$work/collector.db")
"$collector" --db "$work/collector.db" --listen "127.0.0.1:$port" > "$work/collector.log" 2>&1 &
collector_pid=$!
for _ in $(seq 50); do grep -q "^Listening" "$work/collector.log" 2>/dev/null && break; sleep 0.1; done

mkdir "$work/backups" && touch "$work/backups/writebackup"
cat > "$work/pelmar.conf" <<CONF
[pelmar]
report_time = 4
display_time = 2
max_entry_age = 0
show_stats = 1
full_url = http://127.0.0.1:$port/ingest?token=$token
backup_dir = $work/backups
capture_file = $PWD/tests/e2e/data/capture.pcap
count_devices = 1
CONF

seconds=${DEMO_SECONDS:-10}
echo "Running pelmar over tests/e2e/data/capture.pcap for $seconds seconds..."
PELMAR_CONFIG="$work/pelmar.conf" timeout "$seconds" build/demo/pelmar || [ $? -eq 124 ]

echo
echo "The collector stored them; GET /api/series returns one point per document:"
curl -s "http://127.0.0.1:$port/api/series"
echo
echo "GET /api/routers:"
curl -s "http://127.0.0.1:$port/api/routers"
echo
backups=("$work"/backups/*.dat)
echo "Backups written: ${#backups[@]}; the last document:"
cat "${backups[-1]}"
echo
if [ "${DEMO_KEEP:-0}" = 1 ]; then
    echo "The page: http://127.0.0.1:$port/?range=0 (the collector keeps running as pid $collector_pid;"
    echo "stop it with: kill $collector_pid; its files are in $work)"
else
    echo "The page was at http://127.0.0.1:$port/?range=0 (DEMO_KEEP=1 keeps the collector running)"
fi
