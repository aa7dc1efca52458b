#!/usr/bin/env bash
# Starts the project's private Firebird 3 server for the tests and the demo (see
# scripts/firebird-instance.sh for where it lives): creates its directory on first use, sets
# SYSDBA's password to $PELMAR_FB_PASSWORD, starts the server on 127.0.0.1:$PELMAR_FB_PORT and
# returns when it answers. Idempotent: an instance that already answers is left alone.
#
# The machine's own Firebird server, if any, is never stopped, reconfigured or given another
# password: nothing here writes outside the instance's directory.
#   scripts/firebird-start.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=firebird-instance.sh
. "$here/firebird-instance.sh"

for tool in "$fb_server" /usr/bin/isql-fb /usr/bin/fbsvcmgr; do
  if [ ! -x "$tool" ]; then
    echo "firebird-start: $tool is missing; run scripts/install-deps.sh" >&2
    exit 1
  fi
done
if [ -z "$fb_system_root" ] || [ ! -e "$fb_system_root/firebird.conf" ]; then
  echo "firebird-start: the server directory of firebird3.0-server-core was not found; run scripts/install-deps.sh" >&2
  exit 1
fi

dir=$PELMAR_FB_DIR
owner=$(fb_owner)
fb_client_env

# True when the instance accepts SYSDBA with our password.
answers() {
  /usr/bin/fbsvcmgr "127.0.0.1/$PELMAR_FB_PORT:service_mgr" -user SYSDBA \
    -password "$PELMAR_FB_PASSWORD" -info_server_version >/dev/null 2>&1
}

if [ -n "$(fb_instance_pid)" ] && answers; then
  echo "firebird-start: private server already running on 127.0.0.1:$PELMAR_FB_PORT ($dir)"
  exit 0
fi
# Our server running with an old password: stop it, so that the password can be set.
"$here/firebird-stop.sh" >/dev/null

if (exec 3<>"/dev/tcp/127.0.0.1/$PELMAR_FB_PORT") 2>/dev/null; then
  echo "firebird-start: port $PELMAR_FB_PORT is in use by another program; set PELMAR_FB_PORT to a free port" >&2
  exit 1
fi

# A directory somebody else made (in /tmp, say) is not trusted with our server.
if [ -e "$dir" ] && [ "$(stat -c %U "$dir")" != "$owner" ]; then
  echo "firebird-start: $dir exists and belongs to $(stat -c %U "$dir"), not $owner; remove it or set PELMAR_FB_DIR" >&2
  exit 1
fi

if [ ! -f "$dir/databases.conf" ]; then
  echo "firebird-start: creating the private server in $dir"
  rm -rf "$dir"
  mkdir -p "$dir"/{lock,tmp,intl,data}
  # Debian's server directory links its configuration into /etc/firebird: copy the files, so
  # that nothing written here reaches the system's configuration.
  for f in databases.conf plugins.conf fbtrace.conf; do
    cp --dereference "$fb_system_root/$f" "$dir/$f"
  done
  cp --dereference "$fb_system_root/intl/fbintl.conf" "$dir/intl/fbintl.conf"
  ln -s "$fb_system_root/firebird.msg" "$dir/firebird.msg"
  mkdir -p "$dir/lib" "$dir/plugins" "$dir/UDF"
  sed -i "s|^security\.db *=.*|security.db = $dir/security3.fdb|" "$dir/databases.conf"
fi
# The server's modules are copies in the instance, made again when the package changed them.
# An instance made by an older script has links to the system's directories instead.
for sub in plugins UDF lib; do
  if [ -L "$dir/$sub" ]; then
    rm "$dir/$sub"
    mkdir "$dir/$sub"
  fi
done
for f in "$fb_system_root"/lib/*; do
  [ -e "$dir/lib/${f##*/}" ] || ln -s "$f" "$dir/lib/${f##*/}"
done
for f in "$fb_system_root"/plugins/* "$fb_system_root"/UDF/* "$fb_system_root/intl/libfbintl.so"; do
  copy=$dir/${f#"$fb_system_root"/}
  if [ -L "$copy" ] || ! cmp -s "$f" "$copy"; then
    rm -f "$copy"
    cp "$f" "$copy"
  fi
done

# firebird.conf is made anew on every start, so that an instance made by an older script gets
# the current settings too. Firebird takes the first line of a setting: the system's lines of
# the settings below are commented out. Debian's "RemoteBindAddress = localhost" would make the
# server listen on [::1] alone where /etc/hosts names ::1 first, while every client of the
# instance connects to 127.0.0.1.
{
  sed -E 's/^[[:space:]]*(RemoteServicePort|RemoteServiceName|RemoteBindAddress|SecurityDatabase|TempDirectories)[[:space:]]*=/#&/' \
    "$fb_system_root/firebird.conf"
  cat <<EOF

# The private instance of the ContactID tests (scripts/firebird-start.sh).
RemoteServicePort = $PELMAR_FB_PORT
RemoteBindAddress = 127.0.0.1
SecurityDatabase = $dir/security3.fdb
TempDirectories = $dir/tmp
EOF
} >"$dir/firebird.conf.new"
mv "$dir/firebird.conf.new" "$dir/firebird.conf"
# The server's log (Debian's name for it) goes to log/ (see the start below).
mkdir -p "$dir/log"
touch "$dir/log/firebird3.0.log"

# The security database and the password are written through the embedded engine while no
# server holds them.
embedded_isql() {
  /usr/bin/isql-fb -q -b -user SYSDBA "$@"
}
if [ ! -f "$dir/security3.fdb" ]; then
  echo "CREATE DATABASE '$dir/security3.fdb';" | embedded_isql
  embedded_isql -i /usr/share/firebird/3.0/security.sql "$dir/security3.fdb" >/dev/null
fi
quoted=${PELMAR_FB_PASSWORD//\'/\'\'}
echo "CREATE OR ALTER USER SYSDBA PASSWORD '$quoted' USING PLUGIN Srp; COMMIT;" |
  embedded_isql "$dir/security3.fdb" >/dev/null
if [ "$(id -u)" -eq 0 ]; then
  chown -R -h "$owner:$owner" "$dir"
fi
chmod 0750 "$dir"

# Debian's build of the server writes its log to /var/log/firebird, whatever its configuration:
# the server runs in a mount namespace of its own in which the instance's log/ stands there, so
# that the instance logs into its own directory and the system's log is never written. A root
# caller makes the namespace itself, another one in a user namespace of its own; where neither
# is allowed (a container that forbids namespaces) the server runs as it is and its log goes
# where Debian's build puts it.
ns=()
if [ -d /var/log/firebird ]; then
  if [ "$(id -u)" -eq 0 ]; then
    ns=(unshare -m --propagation private)
  else
    ns=(unshare -r -m --propagation private)
  fi
  "${ns[@]}" sh -c 'mount --bind "$0" /var/log/firebird' "$dir/log" 2>/dev/null || ns=()
fi
[ ${#ns[@]} -eq 0 ] || ns+=(sh -c 'mount --bind "$0" /var/log/firebird && exec "$@"' "$dir/log")

# The server stays in the foreground of a background job whose output goes to a file, so that
# a caller reading this script's output through a pipe is not held open by it. unshare, sh,
# setpriv and env exec without forking: the job's pid is the server's.
run=()
[ "$(id -u)" -eq 0 ] && run=(setpriv --reuid="$owner" --regid="$owner" --init-groups)
(cd / && exec "${ns[@]}" "${run[@]}" env FIREBIRD="$FIREBIRD" FIREBIRD_LOCK="$FIREBIRD_LOCK" \
  FIREBIRD_TMP="$FIREBIRD_TMP" "$fb_server" </dev/null >>"$dir/server.out" 2>&1) &
echo $! >"$fb_pidfile"

for _ in $(seq 1 100); do
  if [ -n "$(fb_instance_pid)" ] && answers; then
    echo "firebird-start: private server running on 127.0.0.1:$PELMAR_FB_PORT ($dir)"
    exit 0
  fi
  sleep 0.2
done
echo "firebird-start: the server did not answer on 127.0.0.1:$PELMAR_FB_PORT within 20 s; the last lines of $dir/log/firebird3.0.log and $dir/server.out:" >&2
tail -n 20 "$dir/log/firebird3.0.log" "$dir/server.out" >&2 || true
exit 1
