#!/usr/bin/env bash
# Sets up everything and runs the main job available so far: builds the project, starts the
# debug-log viewer, and decodes a sample of Sur-Gard receiver frames with the debug log on, so
# that the decoded reports, the acknowledgements and the decoder's debug lines are shown.
#   scripts/run-demo.sh [FRAME-FILE...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build DebugViewer DecodeFrames

log=$(mktemp)
trap 'kill $viewer 2>/dev/null || true; rm -f "$log"' EXIT
build/tools/DebugViewer DecodeFrames >"$log" 2>/dev/null &
viewer=$!
# Wait until the viewer has bound its name.
for _ in $(seq 50); do
  grep -q "@DebugPipeDecodeFrames" /proc/net/unix 2>/dev/null && break
  sleep 0.1
done
echo "== decoded"
build/tools/DecodeFrames --debug "$@"
sleep 0.2
echo "== debug log (DebugViewer DecodeFrames)"
cat "$log"
