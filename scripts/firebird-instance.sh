# Sourced by the Firebird scripts: where the project's private Firebird server lives.
#
# The tests and the demo never use the machine's own Firebird server. They use an instance of
# their own, made from the programs of Debian's firebird3.0-server package:
#   $PELMAR_FB_DIR (default /tmp/pelmar-firebird-$PELMAR_FB_PORT) holds its configuration (copies,
#     never the links into /etc/firebird), its security database, its lock and temporary
#     directories, data/ for databases made with db/create-database.sh --alias, the server's log
#     log/firebird3.0.log, its output server.out and firebird.pid;
#   it listens on 127.0.0.1:$PELMAR_FB_PORT (default 3051), SYSDBA's password is
#     $PELMAR_FB_PASSWORD (default masterkey);
#   it runs as user firebird when started by root, otherwise as the user who starts it.
# Exporting fb_client_env (below) makes the client library, isql and the embedded engine of a
# process use that instance's configuration and lock directory as well.

PELMAR_FB_PORT=${PELMAR_FB_PORT:-3051}
PELMAR_FB_PASSWORD=${PELMAR_FB_PASSWORD:-masterkey}
PELMAR_FB_DIR=${PELMAR_FB_DIR:-/tmp/pelmar-firebird-$PELMAR_FB_PORT}
export PELMAR_FB_PORT PELMAR_FB_PASSWORD PELMAR_FB_DIR

# The server's root directory of Debian's packages, /usr/lib/<multiarch>/firebird/3.0: found
# through the package that ships its firebird.conf, so that every architecture works.
fb_find_system_root() {
  local conf
  conf=$(dpkg -L firebird3.0-server-core 2>/dev/null | grep -m1 '/firebird/3\.0/firebird\.conf$') || true
  if [ -z "$conf" ] && command -v dpkg-architecture >/dev/null; then
    conf=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null)/firebird/3.0/firebird.conf
  fi
  [ -n "$conf" ] && dirname "$conf"
}
fb_system_root=$(fb_find_system_root)
fb_server=/usr/sbin/firebird
fb_pidfile=$PELMAR_FB_DIR/firebird.pid

# The owner of the instance: firebird when root runs the scripts, else the caller.
fb_owner() {
  if [ "$(id -u)" -eq 0 ]; then echo firebird; else id -un; fi
}

# Makes the client side of this process (and its children) use the instance.
fb_client_env() {
  export FIREBIRD=$PELMAR_FB_DIR
  export FIREBIRD_LOCK=$PELMAR_FB_DIR/lock
  export FIREBIRD_TMP=$PELMAR_FB_DIR/tmp
}

# The pid of the instance's server when it runs, else nothing. A pid is ours only if it is the
# Firebird server started with this instance's directory, so a stale pid file never points the
# scripts at another process.
fb_instance_pid() {
  local pid
  [ -r "$fb_pidfile" ] || return 0
  pid=$(cat "$fb_pidfile" 2>/dev/null) || return 0
  [[ "$pid" =~ ^[0-9]+$ ]] || return 0
  [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$fb_server" ] || return 0
  tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "FIREBIRD=$PELMAR_FB_DIR" || return 0
  echo "$pid"
}
