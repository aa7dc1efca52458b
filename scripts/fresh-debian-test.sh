#!/usr/bin/env bash
# Runs commands of the README in a fresh, minimal Debian 12 (bookworm) root made with
# debootstrap --variant=minbase, as a newcomer's machine would have them: nothing installed
# but the base system, and an /etc/hosts that names ::1 first for localhost (as Debian's
# installer, cloud images and containers write it). Not part of CI: it needs root, the
# network to Debian's archive and a long time (the packages, then both builds).
#
#   scripts/fresh-debian-test.sh [--root DIR] [--keep] [--cache DIR] [COMMAND]
#
# COMMAND runs in the root's copy of the checkout with bash -c; without one, the README's two
# commands run one after the other, each timed: bash scripts/run-demo.sh, bash scripts/test.sh.
# The copy is `git archive HEAD`: commit what you want to try. The packages are installed first
# (scripts/install-deps.sh, timed too); the commands then run without the host's network.
#   --cache DIR  where the debootstrap tarball is kept (default /var/tmp/pelmar-fresh-debian),
#                so that a rerun does not download the base system again
#   --root DIR   make the root in DIR and keep it; a later run with the same DIR reuses it
#                (its packages stay installed; the checkout is copied anew)
#   --keep       keep the temporary root (its path is printed)
# Everything runs in a mount namespace of its own: /proc, /sys and /dev are mounted into the
# root only there, and are gone when the script ends, however it ends.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)

suite=bookworm
mirror=http://deb.debian.org/debian
cache=/var/tmp/pelmar-fresh-debian
root=
keep=false
command=
while [ $# -gt 0 ]; do
  case "$1" in
    --cache) cache=$2; shift 2 ;;
    --root) root=$2; keep=true; shift 2 ;;
    --keep) keep=true; shift ;;
    --inside) shift; break ;;
    -h|--help) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "fresh-debian-test: unknown option $1" >&2; exit 2 ;;
    *) command=$1; shift ;;
  esac
done

if [ "${FRESH_DEBIAN_INSIDE:-}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "fresh-debian-test: needs root (debootstrap, chroot, mounts)" >&2
    exit 1
  fi
  if ! command -v debootstrap >/dev/null; then
    echo "fresh-debian-test: installing debootstrap"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap </dev/null >/dev/null
  fi
  arch=$(dpkg --print-architecture)
  mkdir -p "$cache"
  tarball=$cache/$suite-minbase-$arch.tgz
  if [ ! -f "$tarball" ]; then
    echo "fresh-debian-test: downloading the base system into $tarball"
    scratch=$(mktemp -d /var/tmp/pelmar-debootstrap-XXXXXX)
    trap 'rm -rf --one-file-system "$scratch"' EXIT
    debootstrap --variant=minbase --arch="$arch" --make-tarball="$tarball.part" "$suite" \
      "$scratch" "$mirror" >"$cache/make-tarball.log" 2>&1 ||
      { tail -n 20 "$cache/make-tarball.log" >&2; exit 1; }
    mv "$tarball.part" "$tarball"
    rm -rf --one-file-system "$scratch"
    trap - EXIT
  fi
  if [ -z "$root" ]; then
    root=$(mktemp -d /var/tmp/pelmar-fresh-root-XXXXXX)
  fi
  mkdir -p "$root"
  # The new system's root directory, which its users (firebird among them) must pass; mktemp
  # makes it 0700.
  chmod 0755 "$root"
  root=$(cd "$root" && pwd)
  export FRESH_DEBIAN_INSIDE=1 FRESH_TARBALL=$tarball FRESH_ROOT=$root FRESH_KEEP=$keep
  exec unshare -m --propagation private "$0" --inside "$command"
fi

# In the mount namespace from here on.
command=${1:-}
root=$FRESH_ROOT
tarball=$FRESH_TARBALL

# True while anything is mounted below the root: then it must not be removed.
mounted_below() {
  awk -v r="$root/" 'index($5, r) == 1 { found = 1 } END { exit !found }' /proc/self/mountinfo
}
# Ends every process left running in the root (a server a package's install script started,
# say), so that nothing keeps using it.
end_processes() {
  local p pids=()
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && pids+=("${p#/proc/}")
  done
  [ ${#pids[@]} -gt 0 ] || return 0
  echo "fresh-debian-test: ending processes left in the root: ${pids[*]}"
  kill -TERM "${pids[@]}" 2>/dev/null || true
  sleep 2
  kill -KILL "${pids[@]}" 2>/dev/null || true
}
cleanup() {
  local status=$?
  end_processes
  for m in dev/pts dev proc sys; do
    umount -R -l "$root/$m" 2>/dev/null || true
  done
  if [ "$FRESH_KEEP" = true ]; then
    echo "fresh-debian-test: the root stays in $root"
  elif mounted_below; then
    echo "fresh-debian-test: something is still mounted below $root; not removing it" >&2
  else
    rm -rf --one-file-system "$root"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

started=$(date +%s)
if [ ! -f "$root/etc/debian_version" ]; then
  echo "fresh-debian-test: unpacking a minimal $suite into $root"
  debootstrap --variant=minbase --unpack-tarball="$tarball" "$suite" "$root" "$mirror" \
    >"$root.debootstrap.log" 2>&1 || { tail -n 20 "$root.debootstrap.log" >&2; exit 1; }
  rm -f "$root.debootstrap.log"
fi
# localhost is ::1 first, as on most fresh machines; the name service works as on the host.
printf '::1\tlocalhost ip6-localhost ip6-loopback\n127.0.0.1\tlocalhost\n127.0.1.1\t%s\n' \
  "$(hostname)" >"$root/etc/hosts"
cp --dereference /etc/resolv.conf "$root/etc/resolv.conf"
echo "fresh-debian-test: base system ready in $(($(date +%s) - started)) s"

mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount --rbind /dev "$root/dev"

rm -rf "$root/src/contactid"
mkdir -p "$root/src/contactid"
git -C "$source_dir" archive HEAD | tar -x -C "$root/src/contactid"
echo "fresh-debian-test: checkout $(git -C "$source_dir" rev-parse --short HEAD) copied to /src/contactid"

# Runs one command in the root with a clean environment; prints its time and result.
failed=0
run() {
  local begin status=0
  echo "fresh-debian-test: == $1"
  ls -A "$root/tmp" >"$root.tmp-before"
  begin=$(date +%s)
  "${isolate[@]}" chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    bash -c "cd /src/contactid && $1" </dev/null || status=$?
  echo "fresh-debian-test: '$1' ended with exit code $status after $(($(date +%s) - begin)) s"
  ls -A "$root/tmp" | diff "$root.tmp-before" - | sed -n 's/^> /fresh-debian-test: left in \/tmp: /p' || true
  rm -f "$root.tmp-before"
  [ "$status" -eq 0 ] || failed=1
}

# The packages come first, over the host's network. The commands then run in a network
# namespace of their own with only a loopback interface (127.0.0.1 and ::1), so that servers
# of the host (a private Firebird server on port 3051, say) do not stand in their way.
isolate=()
run "bash scripts/install-deps.sh"
if command -v ip >/dev/null && unshare -n ip link set lo up 2>/dev/null; then
  isolate=(unshare -n sh -c 'ip link set lo up && exec "$@"' isolate)
else
  echo "fresh-debian-test: no network namespace (ip or unshare -n missing); the host's network is shared"
fi
if [ -n "$command" ]; then
  run "$command"
else
  run "bash scripts/run-demo.sh"
  run "bash scripts/test.sh"
fi
exit "$failed"
