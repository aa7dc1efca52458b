#!/usr/bin/env bash
# Runs the ContactID service end to end on this machine, with no Firebird server needed:
#   - installs the packages and builds the service and the development peers;
#   - creates a database for Firebird's embedded engine from db/;
#   - starts the development Core service with the demo installation and a receiver simulator;
#   - runs PelCIDSvc /SVC /DEBUG with settings that point at them;
#   - sends a burglary and its restore, a daily test report and a report of an unknown account;
#   - shows each report recorded (the database's rows) and acknowledged (the simulator's log);
#   - stops the service with SIGINT, as Ctrl+C would.
# Everything it makes lives in one temporary directory, removed at the end (--keep keeps it).
#   scripts/run-demo.sh [--keep]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
keep=false
[ "${1:-}" = "--keep" ] && keep=true

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

step "Installing the packages (scripts/install-deps.sh)"
scripts/install-deps.sh

step "Building PelCIDSvc, CoreService and ReceiverSim (build/)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build PelCIDSvc CoreService ReceiverSim | tail -n 1

work=$(mktemp -d /tmp/pelmar-demo-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if $keep; then echo "The demo's files stay in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
# The embedded engine of isql, gfix and the service keeps its lock files and sorts in the
# demo's directory instead of /tmp/firebird.
export FIREBIRD_LOCK=$work/firebird-lock FIREBIRD_TMP=$work/firebird-tmp
mkdir -p "$FIREBIRD_LOCK" "$FIREBIRD_TMP"

# Waits up to $3 seconds for the text $2 in the file $1.
wait_for() {
  local i
  for ((i = 0; i < $3 * 10; i++)); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "run-demo: \"$2\" did not appear in $1 within $3 s; its last lines:" >&2
  tail -n 20 "$1" >&2
  return 1
}

step "Creating the database $work/demo.fdb (embedded engine)"
db/create-database.sh --embedded "$work/demo.fdb"

step "Starting the receiver simulator"
cat >"$work/reports.txt" <<'EOF'
# Jewellery shop (account 1234): burglary at the front door, restored a second later.
report 1234 E 130 01 001
wait 1000
report 1234 R 130 01 001
# The shop's daily test report.
report 1234 E 602 00 000
# A panel the installation does not know (account 7777).
report 7777 E 130 01 005
EOF
build/tools/ReceiverSim --tcp 0 --script "$work/reports.txt" --log "$work/receiver.log" \
  --linktest-interval 0 >"$work/receiver.out" 2>&1 &
pids+=($!)
receiver=$!
wait_for "$work/receiver.out" "listening on" 10
receiver_address=$(sed -n 's/^ReceiverSim: listening on \([0-9.:]*\).*/\1/p' "$work/receiver.out")
echo "ReceiverSim listens on $receiver_address for the service's TCP channel"

step "Starting the development Core service with the demo installation"
# The demo installation's TCP channel points at the simulator; its serial channel is switched
# off, since this machine's /dev/ttyS0 has no receiver behind it.
sed -e "s/\"comAddress\": \"127.0.0.1:10001\"/\"comAddress\": \"$receiver_address\"/" \
  -e '/"id": 102,/,/}/ s/"enabled": true/"enabled": false/' \
  tools/demo-installation.json >"$work/installation.json"
build/tools/CoreService --port 0 --control "$work/core.sock" "$work/installation.json" \
  >"$work/core.out" 2>&1 </dev/null &
pids+=($!)
wait_for "$work/core.out" "listening on" 10
core_port=$(sed -n 's/^CoreService: listening on [0-9.]*:\([0-9]*\).*/\1/p' "$work/core.out")
echo "CoreService listens on 127.0.0.1:$core_port"

step "Writing the service's settings to $work/settings"
# An empty server address makes the service open the database file with the embedded engine.
mkdir -p "$work/settings/Software/PelMar/ContactID/General" \
  "$work/settings/Software/PelMar/ContactID/Database"
cat >"$work/settings/Software/PelMar/ContactID/General/values.conf" <<EOF
Core service address = string "127.0.0.1"
Core service port = dword $core_port
Core service password = string ""
EOF
cat >"$work/settings/Software/PelMar/ContactID/Database/values.conf" <<EOF
Server address = string ""
Port number = dword 3050
Database name = string "$work/demo.fdb"
Username = string "SYSDBA"
Password = string ""
EOF
chmod 600 "$work/settings/Software/PelMar/ContactID/Database/values.conf"
sed 's/^/    /' "$work/settings/Software/PelMar/ContactID/General/values.conf" \
  "$work/settings/Software/PelMar/ContactID/Database/values.conf"

step "Running PelCIDSvc /SVC /DEBUG until the simulator has sent every report"
PELMAR_SETTINGS_DIR=$work/settings build/PelCIDSvc /SVC /DEBUG </dev/null >"$work/service.out" 2>&1 &
service=$!
pids+=($service)
# ReceiverSim ends after its last frame: 0 when every frame was acknowledged.
status=0
for ((i = 0; i < 600; i++)); do
  kill -0 "$receiver" 2>/dev/null || break
  sleep 0.1
done
wait "$receiver" || status=$?
sed 's/^/    /' "$work/receiver.out"
[ "$status" -eq 0 ] || echo "run-demo: the simulator ended with exit code $status" >&2

step "Stopping the service with SIGINT (Ctrl+C)"
kill -INT "$service"
wait "$service" || true
echo "Service console (the lines of the service's own log, 'LogMessage: ...'):"
grep -E "LogMessage|services|Close request|Starting" "$work/service.out" | sed 's/^/    /' || true

step "Reports recorded in the database (CID_EVENTS, written by PR_CID_EVENT)"
/usr/bin/isql-fb -q -ch UTF8 -user SYSDBA "$work/demo.fdb" <<'EOF' | sed 's/^/    /'
SELECT ID, EVENT_TIME, ACCOUNT_IDX, EVENT_CODE, ACCOUNT_ID, OBJECT_ID, GROUP_IDX, ZONE_IDX,
       ENABLE_ALARMS
FROM CID_EVENTS ORDER BY ID;
EOF

step "Acknowledgements the simulator received (its log)"
sed 's/^/    /' "$work/receiver.log"

echo
echo "The event code is 1000 + the report's code read as hexadecimal, 5200 + it for a restore:"
echo "1304 is the burglary (E130), 5504 its restore (R130), 2538 the test report (E602); 9305"
echo "is a report of an account the installation does not have. Each was acknowledged only"
echo "after its row was committed."
exit "$status"
