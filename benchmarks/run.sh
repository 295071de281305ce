#!/bin/sh
# Builds the benchmarks in Release and prints one table: every figure as the
# median of RUNS runs (default 5), ratios against the raw baselines each
# program measures in the same run. Not part of the test suite.
#
#   benchmarks/run.sh [RUNS]
set -eu
cd "$(dirname "$0")/.."
RUNS="${1:-5}"
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSAL_BUILD_BENCHMARKS=ON \
    -DTESSAL_BUILD_TESTS=OFF >/dev/null
cmake --build build/bench -j"$(nproc)" >/dev/null
B=build/bench/benchmarks
OUT="$(mktemp)"
trap 'rm -f "$OUT"' EXIT

# The loopback throughput program prints "ratio <what>: <value>" lines.
loopback() {
    "$B/bench_loopback" 2>/dev/null | sed -n 's/^ratio \(.*\): \(.*\)$/RESULT loopback_\1 \2/p'
}

# A 4K H.265 clip (one second, 40 Mbit/s) for the end-to-end figure, made
# once with FFmpeg's libx265 where it is installed.
CLIP=build/bench/clip4k.h265
if [ ! -s "$CLIP" ] && command -v ffmpeg >/dev/null 2>&1; then
    ffmpeg -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=3840x2160:rate=30" \
        -frames:v 30 -pix_fmt yuv420p -c:v libx265 -preset ultrafast \
        -x265-params "log-level=error:keyint=30" -b:v 40M -f hevc "$CLIP.tmp" 2>/dev/null &&
        mv "$CLIP.tmp" "$CLIP" || rm -f "$CLIP.tmp"
fi
[ -s "$CLIP" ] || echo "no 4K H.265 clip (FFmpeg with libx265 missing): h265_4k figures left out" >&2
# The same all-intra (every picture a key frame, about 0.6 MB each): bursts of
# hundreds of datagrams per access unit, pushed and pulled in one process.
INTRA=build/bench/clip4k_intra.h265
if [ ! -s "$INTRA" ] && command -v ffmpeg >/dev/null 2>&1; then
    ffmpeg -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=3840x2160:rate=30" \
        -frames:v 30 -pix_fmt yuv420p -c:v libx265 -preset ultrafast \
        -x265-params "log-level=error:keyint=1" -b:v 120M -f hevc "$INTRA.tmp" 2>/dev/null &&
        mv "$INTRA.tmp" "$INTRA" || rm -f "$INTRA.tmp"
fi

i=0
while [ "$i" -lt "$RUNS" ]; do
    i=$((i + 1))
    printf 'run %s of %s\n' "$i" "$RUNS" >&2
    {
        loopback
        "$B/bench_scale" ports 300 50 2>/dev/null | grep '^RESULT'
        "$B/bench_scale" ssrc 1000 30 2>/dev/null | grep '^RESULT'
        "$B/bench_latency" 2>/dev/null | grep '^RESULT'
        "$B/bench_gso_gro" 2>/dev/null | grep '^RESULT'
        "$B/bench_h265_clip" packets 2>/dev/null | grep '^RESULT'
        "$B/bench_h265_clip" bursts 2>/dev/null | grep '^RESULT'
        if [ -s "$CLIP" ]; then
            "$B/bench_h265_clip" "$CLIP" 3 2>/dev/null | grep '^RESULT'
        fi
        if [ -s "$INTRA" ]; then
            "$B/bench_h265_clip" "$INTRA" 9 h265_4k_intra 2>/dev/null | grep '^RESULT'
        fi
    } >>"$OUT"
done
# One ZRTP run: it takes its own median of ten agreements.
"$B/bench_zrtp" 2>/dev/null | grep '^RESULT' >>"$OUT"

printf '\n%-48s %12s\n' "figure (median of $RUNS runs)" "value"
awk '$1 == "RESULT" { v[$2] = v[$2] " " $3 }
     END { for (k in v) print k, v[k] }' "$OUT" | sort | while read -r key values; do
    median="$(printf '%s\n' $values | sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}')"
    printf '%-48s %12s\n' "$key" "$median"
done
printf '\nSRTP transform ratios (Google Benchmark): run %s/bench_srtp\n' "$B"
