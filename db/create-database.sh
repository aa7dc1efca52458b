#!/usr/bin/env bash
# Creates a database with the objects the ContactID service uses (db/schema.sql): SQL dialect
# 3, default character set UTF8.
#
#   db/create-database.sh --alias NAME     on the project's private server
#                                          (scripts/firebird-start.sh): registers NAME in the
#                                          instance's databases.conf for data/NAME.fdb of its
#                                          directory and creates 127.0.0.1/$PELMAR_FB_PORT:NAME
#   db/create-database.sh --server DATABASE  any server name, e.g. 127.0.0.1/3050:/path/x.fdb
#   db/create-database.sh --embedded FILE    a file opened by the embedded engine, no server
#
# Options before the mode: --no-forced-writes leaves the database with asynchronous writes
# (faster, for throw-away test databases; a crash of the machine may lose committed work).
#
# The server login is SYSDBA with $PELMAR_FB_PASSWORD (default masterkey); $PELMAR_FB_USER
# names another user. An existing database is never overwritten.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../scripts/firebird-instance.sh
. "$here/../scripts/firebird-instance.sh"
schema=$here/schema.sql
user=${PELMAR_FB_USER:-SYSDBA}
password=$PELMAR_FB_PASSWORD
isql=/usr/bin/isql-fb

usage() {
  sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
}

forced=sync
if [ "${1:-}" = "--no-forced-writes" ]; then
  forced=async
  shift
fi
[ $# -eq 2 ] || usage
mode=$1
target=$2
[ -x "$isql" ] || { echo "create-database: $isql is missing; run scripts/install-deps.sh" >&2; exit 1; }

case "$mode" in
  --alias)
    [[ "$target" =~ ^[A-Za-z_][A-Za-z0-9_]*$ ]] || { echo "create-database: alias must be a plain name" >&2; exit 2; }
    conf=$PELMAR_FB_DIR/databases.conf
    file=$PELMAR_FB_DIR/data/$target.fdb
    [ -f "$conf" ] || { echo "create-database: no private server in $PELMAR_FB_DIR; run scripts/firebird-start.sh" >&2; exit 1; }
    if ! grep -Eq "^[[:space:]]*$target[[:space:]]*=" "$conf"; then
      echo "$target = $file" >>"$conf"
      echo "create-database: alias $target added to $conf"
    fi
    database=127.0.0.1/$PELMAR_FB_PORT:$target
    login=(-user "$user" -password "$password")
    ;;
  --server)
    database=$target
    login=(-user "$user" -password "$password")
    ;;
  --embedded)
    database=$(realpath -m "$target")
    [ -e "$database" ] && { echo "create-database: $database exists" >&2; exit 1; }
    login=(-user "$user")
    ;;
  *)
    usage
    ;;
esac

quoted=${database//\'/\'\'}
echo "CREATE DATABASE '$quoted' PAGE_SIZE 8192 DEFAULT CHARACTER SET UTF8;" |
  "$isql" -q -b -ch UTF8 "${login[@]}"
# Every DDL statement commits; without forced writes the schema goes in ten times faster.
/usr/bin/gfix -write async "${login[@]}" "$database"
"$isql" -q -b -ch UTF8 "${login[@]}" -i "$schema" "$database"
if [ "$forced" = sync ]; then
  /usr/bin/gfix -write sync "${login[@]}" "$database"
fi
echo "create-database: created $database"
