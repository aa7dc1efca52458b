#!/usr/bin/env bash
# Stops the project's private Firebird server started by scripts/firebird-start.sh, and only
# that one: the process is found through the instance's pid file and checked to be the server
# of the instance's directory. Idempotent; returns when the server is gone.
#   scripts/firebird-stop.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=firebird-instance.sh
. "$here/firebird-instance.sh"

pid=$(fb_instance_pid)
if [ -z "$pid" ]; then
  rm -f "$fb_pidfile"
  echo "firebird-stop: private server not running ($PELMAR_FB_DIR)"
  exit 0
fi
kill -TERM "$pid" 2>/dev/null || true
for _ in $(seq 1 100); do
  [ -d "/proc/$pid" ] || break
  sleep 0.1
done
if [ -d "/proc/$pid" ]; then
  kill -KILL "$pid" 2>/dev/null || true
  for _ in $(seq 1 50); do
    [ -d "/proc/$pid" ] || break
    sleep 0.1
  done
fi
rm -f "$fb_pidfile"
echo "firebird-stop: private server stopped ($PELMAR_FB_DIR)"
