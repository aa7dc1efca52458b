#!/usr/bin/env bash
# Sets up everything and runs the tests: installs the packages, starts the project's private
# Firebird server for the database tests (scripts/firebird-instance.sh; the machine's own server,
# if any, is left alone) and stops it again at the end if it was not running before, configures and builds the plain build with warnings as errors and runs
# every test, then builds again under AddressSanitizer and UndefinedBehaviorSanitizer and runs the
# unit, OS and database tests there (the Firebird client is not instrumented; what it keeps for
# the life of the process is listed in scripts/lsan.supp).
#   scripts/test.sh [--no-sanitize]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

scripts/install-deps.sh
. scripts/firebird-instance.sh
[ -n "$(fb_instance_pid)" ] || trap 'scripts/firebird-stop.sh' EXIT
scripts/firebird-start.sh
# The tests' client library, isql and embedded engine use the instance's configuration too.
fb_client_env

echo "== script tests"
status=0
scripts/test-hosts-ipv6.sh || status=$?
[ "$status" -eq 0 ] || [ "$status" -eq 77 ] || exit 1

echo "== plain build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELMAR_WERROR=ON >/dev/null
ninja -C build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs" --timeout 300)

if [ "${1:-}" != "--no-sanitize" ]; then
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPELMAR_SANITIZE=ON -DPELMAR_BENCH=OFF >/dev/null
  ninja -C build-asan -j"$jobs"
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions="$root/scripts/lsan.supp" \
    ctest --output-on-failure -j"$jobs" -L 'unit|os|db' -E 'EmbeddedTest\.' --timeout 300)
  # The embedded engine's tests without the leak check: this toolchain's LeakSanitizer aborts
  # while scanning the thread-local storage of the modules the engine loads.
  (cd build-asan && ASAN_OPTIONS=detect_leaks=0 \
    ctest --output-on-failure -j"$jobs" -L db -R 'EmbeddedTest\.' --timeout 300)
fi
