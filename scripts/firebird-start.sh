#!/usr/bin/env bash
# Starts the local Firebird 3 server for tests and development without systemd: the guardian
# fbguard runs as user firebird and keeps the server listening on 127.0.0.1:3050. The SYSDBA
# password is set to $PELMAR_FB_PASSWORD (default masterkey) and written to
# /etc/firebird/3.0/SYSDBA.password. Idempotent: a server that already answers with that
# password is left alone. Returns when the server answers; needs root (or sudo).
#   scripts/firebird-start.sh
set -euo pipefail

password=${PELMAR_FB_PASSWORD:-masterkey}
etc=/etc/firebird/3.0
run=/run/firebird3.0
var=/var/lib/firebird/3.0
secdb=$var/system/security3.fdb
pidfile=$run/firebird.pid

if [ "$(id -u)" -ne 0 ]; then
  exec sudo --preserve-env=PELMAR_FB_PASSWORD "$0" "$@"
fi
for tool in /usr/sbin/fbguard /usr/sbin/firebird /usr/bin/isql-fb /usr/bin/fbsvcmgr; do
  if [ ! -x "$tool" ]; then
    echo "firebird-start: $tool is missing; run scripts/install-deps.sh" >&2
    exit 1
  fi
done

# True when the server accepts SYSDBA with our password.
answers() {
  /usr/bin/fbsvcmgr 127.0.0.1/3050:service_mgr -user SYSDBA -password "$password" \
    -info_server_version >/dev/null 2>&1
}

if answers; then
  echo "firebird-start: server already running on 127.0.0.1:3050"
  exit 0
fi

# A server that runs with another password is stopped, so that the password can be set.
"$(dirname "$0")/firebird-stop.sh" >/dev/null

mkdir -p "$run"
chown firebird:firebird "$run"
chmod 0770 "$run"

# The security database is written through the embedded engine while no server holds it.
quoted=${password//\'/\'\'}
echo "CREATE OR ALTER USER SYSDBA PASSWORD '$quoted' USING PLUGIN Srp; COMMIT;" |
  /usr/bin/isql-fb -q -b -user SYSDBA "$secdb" >/dev/null
# Running the engine as root may have left files the server (user firebird) cannot open.
chown -R firebird:firebird "$var"
[ -d /tmp/firebird ] && chown -R firebird:firebird /tmp/firebird
if [ -d "$etc" ]; then
  (umask 077 && printf '# SYSDBA password of the local server, set by scripts/firebird-start.sh\nISC_USER=sysdba\nISC_PASSWORD="%s"\n' \
    "$password" >"$etc/SYSDBA.password")
fi

rm -f "$pidfile"
(cd / && runuser -u firebird -- /usr/sbin/fbguard -daemon -forever -pidfile "$pidfile")

for _ in $(seq 1 100); do
  if answers; then
    echo "firebird-start: server running on 127.0.0.1:3050"
    exit 0
  fi
  sleep 0.2
done
echo "firebird-start: the server did not answer within 20 s; see /var/log/firebird/" >&2
exit 1
