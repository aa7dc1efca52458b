#!/usr/bin/env bash
# Stops the local Firebird server started by scripts/firebird-start.sh (or by the package's own
# init script): the guardian first, so that it does not restart the server, then the server.
# Idempotent; returns when both processes are gone. Needs root (or sudo).
#   scripts/firebird-stop.sh
set -euo pipefail

pidfile=/run/firebird3.0/firebird.pid

if [ "$(id -u)" -ne 0 ]; then
  exec sudo "$0" "$@"
fi

# Process ids of the guardian and the server, by their executables.
pids_of() { pidof "$1" 2>/dev/null || true; }

guard=$(pids_of /usr/sbin/fbguard)
if [ -z "$guard" ] && [ -z "$(pids_of /usr/sbin/firebird)" ]; then
  echo "firebird-stop: server not running"
  exit 0
fi

# The guardian stops its server when it is told to end.
[ -n "$guard" ] && kill -TERM $guard 2>/dev/null || true
for _ in $(seq 1 100); do
  [ -z "$(pids_of /usr/sbin/fbguard)" ] && [ -z "$(pids_of /usr/sbin/firebird)" ] && break
  sleep 0.1
done
server=$(pids_of /usr/sbin/firebird)
if [ -n "$server" ]; then
  kill -TERM $server 2>/dev/null || true
  for _ in $(seq 1 100); do
    [ -z "$(pids_of /usr/sbin/firebird)" ] && break
    sleep 0.1
  done
fi
server=$(pids_of /usr/sbin/firebird)
[ -n "$server" ] && kill -KILL $server 2>/dev/null || true
rm -f "$pidfile"
echo "firebird-stop: server stopped"
