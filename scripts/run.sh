#!/bin/sh
# Builds Tessal (release) and runs its main job: a real send and receive over
# loopback between two processes, tessal-send and tessal-recv, with a summary
# of frames, bytes, loss and throughput. See README.md.
#
#   scripts/run.sh [FRAMES] [FRAME_BYTES] [--srtp-key HEX --srtp-salt HEX]
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh

BUILD=build/release
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSAL_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j"$(nproc)"

echo
frames="${1:-20000}"
bytes="${2:-8000}"
# (shift is a special built-in: shifting more than there is ends the script)
if [ $# -ge 2 ]; then shift 2; else shift $#; fi
exec scripts/loopback_demo.sh "$BUILD/tools" "$frames" "$bytes" "$@"
