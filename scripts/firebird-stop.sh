#!/usr/bin/env bash
# Stops the project's private Firebird server started by scripts/firebird-start.sh, and only
# that one: the process is found through the instance's pid file and checked to be the server
# of the instance's directory, with every other process of it. Idempotent; returns when all are gone.
#   scripts/firebird-stop.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=firebird-instance.sh
. "$here/firebird-instance.sh"

# The recorded server and any other process of the instance's server (see fb_instance_pids).
pids=$( { fb_instance_pid; fb_instance_pids; } | sort -u)
if [ -z "$pids" ]; then
  rm -f "$fb_pidfile"
  echo "firebird-stop: private server not running ($PELMAR_FB_DIR)"
  exit 0
fi
gone() {
  local pid
  for pid in $pids; do
    [ -d "/proc/$pid" ] && return 1
  done
  return 0
}
# shellcheck disable=SC2086
kill -TERM $pids 2>/dev/null || true
for _ in $(seq 1 100); do
  gone && break
  sleep 0.1
done
if ! gone; then
  # shellcheck disable=SC2086
  kill -KILL $pids 2>/dev/null || true
  for _ in $(seq 1 50); do
    gone && break
    sleep 0.1
  done
fi
rm -f "$fb_pidfile"
echo "firebird-stop: private server stopped ($PELMAR_FB_DIR)"
