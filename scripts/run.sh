#!/bin/sh
# Builds Tessal (release) and runs its main job: a real send and receive over
# loopback between two processes, tessal-send and tessal-recv, with a summary
# of frames, bytes, loss and throughput. See README.md.
#
#   scripts/run.sh [FRAMES [FRAME_BYTES]] [--srtp-key HEX --srtp-salt HEX]
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh

BUILD=build/release
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSAL_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j"$(nproc)"

echo
# FRAMES and FRAME_BYTES are optional: a leading word that is not a number
# starts the options.
frames=20000
bytes=8000
case "${1:-}" in ''|*[!0-9]*) ;; *) frames="$1"; shift ;; esac
case "${1:-}" in ''|*[!0-9]*) ;; *) bytes="$1"; shift ;; esac
exec scripts/loopback_demo.sh "$BUILD/tools" "$frames" "$bytes" "$@"
