#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test, benchmark and fuzz, and the
# programs its scripts and tests run. Idempotent: packages already present are not fetched again.
#   scripts/install-deps.sh          install what is missing
#   scripts/install-deps.sh --list   print the package names, one per line
# scripts/check-packages.sh fails when the build uses a package this list does not name.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config        # toolchain
  libgtest-dev libgmock-dev               # tests
  libbenchmark-dev                        # bench/
  clang libclang-rt-dev                   # libFuzzer targets (scripts/fuzz.sh)
  libssl-dev                              # AES of the TCP receiver links (libcrypto)
  libsystemd-dev                          # service host: sd_notify, the journal
  systemd                                 # systemd-analyze verify of the written unit file
  nlohmann-json3-dev                      # installation files of the development Core service
  firebird-dev                            # Firebird client library and headers
  firebird3.0-server firebird3.0-utils    # the private database server and isql for tests and demo
  tmux                                    # terminal tests of the setup menu
  debhelper dpkg-dev build-essential      # the Debian package (dpkg-buildpackage, dh)
  lintian                                 # its check in CI
  debootstrap                             # scripts/package-test.sh: a fresh Debian root
)

if [ "${1:-}" = "--list" ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
# sudo's env_reset drops DEBIAN_FRONTEND, so it is passed on the command line. The package
# manager's chatter goes to a file, shown only when something failed.
apt=(env DEBIAN_FRONTEND=noninteractive)
[ "$(id -u)" -eq 0 ] || apt=(sudo DEBIAN_FRONTEND=noninteractive)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# firebird3.0-server asks for the password of the system's SYSDBA: empty means a random one
# (kept in /etc/firebird/3.0/SYSDBA.password). The project's private server has its own.
preseed() {
  if printf '%s\n' "${missing[@]}" | grep -qx firebird3.0-server; then
    printf '%s\n' \
      "firebird3.0-server shared/firebird/sysdba_password/first_install password " \
      "firebird3.0-server shared/firebird/sysdba_password/new_password password " |
      "${apt[@]}" debconf-set-selections
  fi
}
# No standard input: nothing can wait for an answer that never comes.
if ! { preseed && "${apt[@]}" apt-get update -qq </dev/null &&
  "${apt[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "install-deps: apt-get failed" >&2
  exit 1
fi
echo "install-deps: installed ${missing[*]}"
