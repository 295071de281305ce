#!/bin/sh
# The long soak: the suite's two soak runs (generic fragmented frames with
# RTCP on the next port, H.265 with RTCP on the RTP port) through the
# impairment relay at 1% loss, 1% reordering, 0.5% duplication and jitter,
# for MINUTES in all (default 10, half each), in an optimised build. Prints
# frames sent, delivered and lost, the relay's counts, the loss and jitter
# RTCP reported against what the relay did, resident memory after the
# warm-up and at the end, and thread counts; the same assertions as the
# suite decide the exit status.
#
#   benchmarks/soak.sh [MINUTES] [BUILD_DIR]
set -eu
cd "$(dirname "$0")/.."
minutes="${1:-10}"
build="${2:-build/soak}"
if [ ! -x "$build/tests/test_soak" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSAL_BUILD_TESTS=ON \
        -DTESSAL_BUILD_EXAMPLES=OFF -DTESSAL_BUILD_BENCHMARKS=OFF >/dev/null
    cmake --build "$build" --target test_soak
fi
each=$((minutes * 60 / 2))
echo "soak: ${each} s per run"
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
status=0
for run in GenericFragmentedFrames H265NalUnits; do
    echo "==== $run ===="
    TESSAL_SOAK_SECONDS="$each" "$build/tests/test_soak" --gtest_filter="Soak.${run}*" >"$log" 2>&1 ||
        status=1
    grep -v 'INFO' "$log"
done
exit "$status"
