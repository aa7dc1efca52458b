#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number of seconds.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
# Corpora and crash files go to fuzz-out/<target>/. Exits non-zero when a target crashed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPELMAR_FUZZ=ON -DPELMAR_BENCH=OFF >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(ninja -C "$build" -t targets all | sed -n 's/^\([A-Za-z]*_fuzz\): .*/\1/p' | sort -u)
fi
ninja -C "$build" "${targets[@]}"
status=0
for t in "${targets[@]}"; do
  out=fuzz-out/$t
  mkdir -p "$out/corpus"
  echo "== $t for ${seconds}s"
  if ! "$build/tests/fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$out/" "$out/corpus" 2>"$out/log.txt"; then
    echo "$t: CRASH, see $out/"
    status=1
  fi
  grep -E 'stat::number_of_executed_units|stat::peak_rss_mb|^Done|crash-' "$out/log.txt" || true
done
exit $status
