#!/usr/bin/env bash
# Figures of the built service as systemd would run it (service mode), on the embedded engine:
# start-up to the first recorded and acknowledged report, resident memory and CPU of the idle
# service, and the time from SIGTERM to the end of the process.
#   bench/pelcidsvc-figures.sh [ACCOUNTS] [BUILD-DIR]     (defaults: 5000, build)
# The installation has one TCP channel to a receiver simulator that sends one report, and
# ACCOUNTS accounts. Needs the built PelCIDSvc, CoreService and ReceiverSim.
set -euo pipefail
cd "$(dirname "$0")/.."
accounts=${1:-5000}
build=${2:-build}
work=$(mktemp -d /tmp/pelmar-figures-XXXXXX)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null; rm -rf "$work"' EXIT

wait_for() {
  local i
  for ((i = 0; i < 100; i++)); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "pelcidsvc-figures: \"$2\" did not appear in $1" >&2
  exit 1
}

db/create-database.sh --embedded "$work/db.fdb" >/dev/null
"$build/tools/ReceiverSim" --tcp 0 --report 1234:E130:01:001 --log "$work/receiver.log" \
  --linktest-interval 0 --stay >"$work/receiver.out" 2>&1 &
pids+=($!)
wait_for "$work/receiver.out" "listening on"
address=$(sed -n 's/^ReceiverSim: listening on \([0-9.:]*\).*/\1/p' "$work/receiver.out")
{
  echo '{ "service": { "name": "ContactID" }, "channels": [ { "id": 101, "enabled": true,'
  echo '  "comType": "tcp", "comAddress": "'"$address"'", "ackEvents": true,'
  echo '  "receiverTimeout": 60 } ], "accounts": [ { "id": 200, "enabled": true, "number": "1234" }'
  for ((i = 1; i < accounts; i++)); do
    printf ',{ "id": %d, "enabled": true, "number": "%X" }\n' $((1000 + i)) $((0x2000 + i))
  done
  echo '] }'
} >"$work/installation.json"
"$build/tools/CoreService" --port 0 "$work/installation.json" >"$work/core.out" 2>&1 </dev/null &
pids+=($!)
wait_for "$work/core.out" "listening on"
port=$(sed -n 's/^CoreService: listening on [0-9.]*:\([0-9]*\).*/\1/p' "$work/core.out")
settings=$work/settings/Software/PelMar/ContactID
mkdir -p "$settings/General" "$settings/Database"
printf 'Core service port = dword %s\n' "$port" >"$settings/General/values.conf"
printf 'Server address = string ""\nDatabase name = string "%s"\n' "$work/db.fdb" \
  >"$settings/Database/values.conf"

# INVOCATION_ID makes the program believe systemd started it: service mode, no console.
start=$(date +%s%3N)
PELMAR_SETTINGS_DIR=$work/settings INVOCATION_ID=figures "$build/PelCIDSvc" /SVC \
  </dev/null >"$work/service.out" 2>&1 &
service=$!
pids+=($service)
wait_for "$work/receiver.log" " ACK "
acked=$(awk '$2 == "ACK" { print $1; exit }' "$work/receiver.log")
echo "accounts: $accounts"
echo "start-up to the first report recorded and acknowledged: $((acked - start)) ms"

sleep 5
hz=$(getconf CLK_TCK)
cpu0=$(awk '{ print $14 + $15 }' "/proc/$service/stat")
sleep 30
cpu1=$(awk '{ print $14 + $15 }' "/proc/$service/stat")
echo "idle CPU over 30 s: $(awk -v t=$((cpu1 - cpu0)) -v hz="$hz" 'BEGIN { printf "%.2f", t * 100 / hz / 30 }') % of one core"
echo "idle resident memory: $(awk '/VmRSS/ { print $2, $3 }' "/proc/$service/status")"

stop=$(date +%s%3N)
kill -TERM "$service"
status=0
wait "$service" || status=$?
echo "SIGTERM to exit: $(($(date +%s%3N) - stop)) ms (exit code $status)"
