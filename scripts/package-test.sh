#!/usr/bin/env bash
# Installs the Debian package in a fresh minimal Debian 12 root and runs the service there, then
# purges it and shows that nothing is left. Needs root (debootstrap, chroot) and a few minutes;
# not part of CI.
#
#   sudo scripts/package-test.sh [--keep] [PACKAGE.deb]
#
# Without a package it builds one as .ci/run does (build-deb/). The root is made with
# `debootstrap --variant=minbase bookworm` from deb.debian.org. In it: `apt-get install` of the
# package, Firebird's embedded engine (libfbclient2, firebird3.0-server-core) and isql
# (firebird3.0-utils) for a database created by the package's own script; the development Core
# service and the receiver simulator are copied in from build/. Without systemd in the root the
# service runs as its user `pelcid` with `/SVC /DEBUG`, receives the demo's reports, and is
# stopped with SIGINT; the reports must be in the database. Then `apt-get purge`: no file of the
# package, no user pelcid and no /etc/pelmar may remain (/run, volatile, is not compared).
# --keep keeps the root.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

keep=false
deb=""
for arg in "$@"; do
  case "$arg" in
    --keep) keep=true ;;
    *.deb) deb=$(realpath "$arg") ;;
    *) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
  esac
done
[ "$(id -u)" -eq 0 ] || { echo "package-test: run as root (debootstrap, chroot)" >&2; exit 2; }
command -v debootstrap >/dev/null || { echo "package-test: debootstrap is missing" >&2; exit 1; }

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

if [ -z "$deb" ]; then
  step "Building the package (build-deb/)"
  rm -rf build-deb && mkdir -p build-deb/src
  git ls-files -z | xargs -0 tar -cf - | tar -xf - -C build-deb/src
  (cd build-deb/src && dpkg-buildpackage -b -us -uc >../build.log 2>&1) ||
    { tail -n 30 build-deb/build.log >&2; exit 1; }
  deb=$(ls "$repo"/build-deb/pelmar-contactid_*.deb)
fi
echo "package: $deb"

step "Building the development peers (build/tools: CoreService, ReceiverSim)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build CoreService ReceiverSim | tail -n 1

root=$(mktemp -d /tmp/pelmar-pkgtest-XXXXXX)
chmod 0755 "$root"  # the root directory of the new system, which its users must pass
pids=()
mounted=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount "${mounted[$i]}" 2>/dev/null || true; done
  if $keep; then echo "The root stays in $root"; else rm -rf "$root"; fi
}
trap cleanup EXIT
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }

wait_for() {
  local i
  for ((i = 0; i < $3 * 10; i++)); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "package-test: \"$2\" did not appear in $1 within $3 s; its last lines:" >&2
  tail -n 20 "$1" >&2
  return 1
}

step "Making a minimal Debian 12 root in $root (debootstrap --variant=minbase)"
debootstrap --variant=minbase bookworm "$root" http://deb.debian.org/debian >"$root.debootstrap.log" 2>&1 ||
  { tail -n 20 "$root.debootstrap.log" >&2; exit 1; }
rm -f "$root.debootstrap.log"
mount -t proc proc "$root/proc" && mounted+=("$root/proc")
mount --bind /dev "$root/dev" && mounted+=("$root/dev")
mount --bind /dev/pts "$root/dev/pts" && mounted+=("$root/dev/pts")
cp /etc/resolv.conf "$root/etc/resolv.conf"
before=$(mktemp)
(cd "$root" && find . -xdev \( -path ./proc -o -path ./dev -o -path ./run -o -path ./tmp -o -path ./var/cache/apt -o -path ./var/lib/apt/lists \) -prune -o -print | sort) >"$before"

step "apt-get install ./$(basename "$deb")"
cp "$deb" "$root/tmp/"
in_root apt-get update -qq
DEBIAN_FRONTEND=noninteractive in_root apt-get install -y -q --no-install-recommends \
  "/tmp/$(basename "$deb")" | grep -E "^(Setting up|Unpacking|The following NEW)" || true
echo "Installed files:"
in_root dpkg -L pelmar-contactid | grep -vE '^/(\.|usr|usr/share|usr/share/doc|usr/share/man|lib|lib/systemd)$' | sed 's/^/    /'
echo "User: $(in_root getent passwd pelcid)"
echo "Groups: $(in_root id pelcid)"
echo "Settings store:"
in_root find /etc/pelmar -exec stat -c '    %A %U:%G %n' {} +

step "Firebird's embedded engine and isql; a database by the package's script"
DEBIAN_FRONTEND=noninteractive in_root apt-get install -y -q --no-install-recommends \
  libfbclient2 firebird3.0-server-core firebird3.0-utils >/dev/null
db=/var/lib/pelmar-contactid/station.fdb
install -d -m 0700 "$root/var/lib/pelmar-contactid"
in_root chown pelcid:pelcid /var/lib/pelmar-contactid
in_root runuser -u pelcid -- /usr/share/pelmar-contactid/db/create-database.sh --embedded "$db"

step "The development peers from build/ in the root"
mkdir -p "$root/opt/pelmar-test"
cp build/tools/CoreService build/tools/ReceiverSim tools/demo-installation.json "$root/opt/pelmar-test/"
cat >"$root/opt/pelmar-test/reports.txt" <<'EOF'
report 1234 E 130 01 001
wait 1000
report 1234 R 130 01 001
report 1234 E 602 00 000
report 7777 E 130 01 005
EOF
in_root /opt/pelmar-test/ReceiverSim --tcp 0 --script /opt/pelmar-test/reports.txt \
  --log /opt/pelmar-test/receiver.log --linktest-interval 0 >"$root/opt/pelmar-test/receiver.out" 2>&1 &
receiver=$!
pids+=("$receiver")
wait_for "$root/opt/pelmar-test/receiver.out" "listening on" 10
receiver_address=$(sed -n 's/^ReceiverSim: listening on \([0-9.:]*\).*/\1/p' "$root/opt/pelmar-test/receiver.out")
sed -e "s/\"comAddress\": \"127.0.0.1:10001\"/\"comAddress\": \"$receiver_address\"/" \
  -e '/"id": 102,/,/}/ s/"enabled": true/"enabled": false/' \
  tools/demo-installation.json >"$root/opt/pelmar-test/installation.json"
in_root /opt/pelmar-test/CoreService --port 0 /opt/pelmar-test/installation.json \
  >"$root/opt/pelmar-test/core.out" 2>&1 </dev/null &
core=$!
pids+=("$core")
wait_for "$root/opt/pelmar-test/core.out" "listening on" 10
core_port=$(sed -n 's/^CoreService: listening on [0-9.]*:\([0-9]*\).*/\1/p' "$root/opt/pelmar-test/core.out")
echo "ReceiverSim on $receiver_address, CoreService on 127.0.0.1:$core_port"

step "Settings in /etc/pelmar (the files the package made, rewritten in place as root would)"
key=$root/etc/pelmar/Software/PelMar/ContactID
cat >"$key/General/values.conf" <<EOF
Core service address = string "127.0.0.1"
Core service port = dword $core_port
Core service password = string ""
EOF
cat >"$key/Database/values.conf" <<EOF
Server address = string ""
Port number = dword 3050
Database name = string "$db"
Username = string "SYSDBA"
Password = string ""
EOF
in_root find /etc/pelmar -type f -exec stat -c '    %A %U:%G %n' {} +

step "PelCIDSvc /SVC /DEBUG as pelcid until the simulator has sent every report"
chroot --userspec=pelcid:pelcid --groups=dialout "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin \
  LANG=C.UTF-8 /usr/sbin/PelCIDSvc /SVC /DEBUG </dev/null >"$root/opt/pelmar-test/service.out" 2>&1 &
service=$!
pids+=("$service")
status=0
for ((i = 0; i < 600; i++)); do
  kill -0 "$receiver" 2>/dev/null || break
  sleep 0.1
done
wait "$receiver" || status=$?
sed 's/^/    /' "$root/opt/pelmar-test/receiver.out"
kill -INT "$service"
wait "$service" || true
grep -E "LogMessage|services|Close request" "$root/opt/pelmar-test/service.out" | sed 's/^/    /' || true
echo "Reports recorded:"
in_root runuser -u pelcid -- isql-fb -q -ch UTF8 -user SYSDBA "$db" <<'EOF' | sed 's/^/    /'
SELECT ID, ACCOUNT_IDX, EVENT_CODE, GROUP_IDX, ZONE_IDX FROM CID_EVENTS ORDER BY ID;
EOF
rows=$(printf 'SELECT COUNT(*) FROM CID_EVENTS;\n' |
  in_root runuser -u pelcid -- isql-fb -q -ch UTF8 -user SYSDBA "$db" | awk 'NF == 1 && $1 ~ /^[0-9]+$/ {print $1}')
[ "$status" -eq 0 ] || { echo "package-test: the simulator ended with exit code $status" >&2; exit 1; }
[ "${rows:-0}" -eq 4 ] || { echo "package-test: 4 reports expected in the database, found ${rows:-none}" >&2; exit 1; }

step "apt-get purge pelmar-contactid"
kill "$core"
wait "$core" || true
rm -rf "$root/opt/pelmar-test" "$root/tmp/$(basename "$deb")"
DEBIAN_FRONTEND=noninteractive in_root apt-get purge -y -q pelmar-contactid libfbclient2 \
  firebird3.0-server-core firebird3.0-utils firebird3.0-common >/dev/null
DEBIAN_FRONTEND=noninteractive in_root apt-get autoremove --purge -y -q >/dev/null
left=0
if in_root dpkg -s pelmar-contactid >/dev/null 2>&1; then echo "left: the package is still known to dpkg"; left=1; fi
if in_root getent passwd pelcid >/dev/null; then echo "left: the user pelcid"; left=1; fi
if in_root getent group pelcid >/dev/null; then echo "left: the group pelcid"; left=1; fi
if [ -e "$root/etc/pelmar" ]; then echo "left: /etc/pelmar"; find "$root/etc/pelmar"; left=1; fi
after=$(mktemp)
(cd "$root" && find . -xdev \( -path ./proc -o -path ./dev -o -path ./run -o -path ./tmp -o -path ./var/cache/apt -o -path ./var/lib/apt/lists \) -prune -o -print | sort) >"$after"
new=$(comm -13 "$before" "$after" | grep -vE '^\./(var/log|var/lib/dpkg|var/lib/apt|var/cache/debconf|etc/(passwd|group|shadow|gshadow|subuid|subgid|ld\.so\.cache)-?$)' || true)
rm -f "$before" "$after"
if [ -n "$new" ]; then
  echo "left: files that were not there before the install:"
  echo "$new" | sed 's/^/    /'
  left=1
fi
[ "$left" -eq 0 ] || { echo "package-test: the purge left something behind" >&2; exit 1; }
echo "Purged: no file of the package, no user pelcid, no /etc/pelmar."
