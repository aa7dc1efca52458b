#!/usr/bin/env bash
# Sets up everything and runs the tests: installs the packages, configures and builds the plain
# build with warnings as errors and runs every test, then builds again under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the unit and OS tests there.
#   scripts/test.sh [--no-sanitize]
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/install-deps.sh

echo "== plain build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELMAR_WERROR=ON >/dev/null
ninja -C build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs" --timeout 300)

if [ "${1:-}" != "--no-sanitize" ]; then
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPELMAR_SANITIZE=ON -DPELMAR_BENCH=OFF >/dev/null
  ninja -C build-asan -j"$jobs"
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j"$jobs" -L 'unit|os' --timeout 300)
fi
