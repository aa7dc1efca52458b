#!/usr/bin/env bash
# Script test of scripts/firebird-start.sh and firebird-stop.sh on a machine whose /etc/hosts
# names ::1 first for localhost (as Debian's installer, cloud images and containers write it):
# the private server must still listen on 127.0.0.1, where its clients connect, answer there,
# write its log into its own directory and leave nothing behind once stopped.
#
# Runs in a mount namespace of its own, where a temporary hosts file is bind-mounted over
# /etc/hosts; the machine's /etc/hosts and its running servers are not touched. The instance
# lives in a temporary directory on a free port and is removed at the end, also on failure.
# Needs root (unshare -m); without it the test is skipped (exit code 77).
#   scripts/test-hosts-ipv6.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if [ "$(id -u)" -ne 0 ] || ! unshare -m --propagation private true 2>/dev/null; then
  echo "test-hosts-ipv6: skipped (needs root and mount namespaces)"
  exit 77
fi

if [ "${1:-}" != --inside ]; then
  exec unshare -m --propagation private "$0" --inside
fi

work=$(mktemp -d /tmp/pelmar-hosts-test-XXXXXX)
chmod 0755 "$work"
export PELMAR_FB_DIR=$work/instance
cleanup() {
  "$here/firebird-stop.sh" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# A port nobody listens on, over IPv4 or IPv6.
port=
for candidate in $(shuf -i 20000-29999 -n 50); do
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null &&
    ! (exec 3<>"/dev/tcp/::1/$candidate") 2>/dev/null; then
    port=$candidate
    break
  fi
done
[ -n "$port" ] || { echo "test-hosts-ipv6: no free port found" >&2; exit 1; }
export PELMAR_FB_PORT=$port

printf '::1\tlocalhost ip6-localhost ip6-loopback\n127.0.0.1\tlocalhost\n' >"$work/hosts"
mount --bind "$work/hosts" /etc/hosts

fail() {
  echo "test-hosts-ipv6: FAILED: $*" >&2
  exit 1
}

# The addresses a listening TCP socket on $port has, as /proc/net shows them.
listeners() {
  local hex
  hex=$(printf '%04X' "$port")
  awk -v p=":$hex" '$2 ~ p"$" && $4 == "0A" { print $2 }' /proc/net/tcp /proc/net/tcp6
}

[ "$(getent ahosts localhost | awk 'NR == 1 { print $1 }')" = ::1 ] ||
  fail "the test's /etc/hosts does not make ::1 the first address of localhost"

"$here/firebird-start.sh" || fail "firebird-start.sh failed with localhost = ::1"
bound=$(listeners)
[ "$bound" = "0100007F:$(printf '%04X' "$port")" ] ||
  fail "the server listens on '$bound', expected 127.0.0.1:$port alone"
[ -f "$PELMAR_FB_DIR/log/firebird3.0.log" ] || fail "no log/firebird3.0.log in $PELMAR_FB_DIR"
# A second start finds the running server.
"$here/firebird-start.sh" | grep -q "already running" || fail "a second start did not find the server"
"$here/firebird-stop.sh" >/dev/null
[ -z "$(listeners)" ] || fail "the server still listens after firebird-stop.sh"
echo "test-hosts-ipv6: passed (localhost = ::1 first; server on 127.0.0.1:$port)"
