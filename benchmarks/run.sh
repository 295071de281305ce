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

# One second of 4K H.265 (30 pictures) made once with FFmpeg's libx265 where
# it is installed: make_clip FILE KEYINT BITRATE [SIZE [PICTURES]].
make_clip() {
    if [ ! -s "$1" ] && command -v ffmpeg >/dev/null 2>&1; then
        ffmpeg -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=${4:-3840x2160}:rate=30" \
            -frames:v "${5:-30}" -pix_fmt yuv420p -c:v libx265 -preset ultrafast \
            -x265-params "log-level=error:keyint=$2" -b:v "$3" -f hevc "$1.tmp" 2>/dev/null &&
            mv "$1.tmp" "$1" || rm -f "$1.tmp"
    fi
}
# The end-to-end figure: one key frame a second, 40 Mbit/s.
CLIP=build/bench/clip4k.h265
make_clip "$CLIP" 30 40M
[ -s "$CLIP" ] || echo "no 4K H.265 clip (FFmpeg with libx265 missing): h265_4k figures left out" >&2
# All-intra (every picture a key frame, about 0.6 MB each): bursts of hundreds
# of datagrams per access unit, pushed and pulled in one process.
INTRA=build/bench/clip4k_intra.h265
make_clip "$INTRA" 1 120M
# Loss recovery: ten seconds of 720p at 4 Mbit/s, a key frame a second,
# paced at 30 pictures a second through a relay losing 5%; synthetic access
# units of about 16 KB without FFmpeg.
LR_CLIP=build/bench/clip720_4m.h265
make_clip "$LR_CLIP" 30 4M 1280x720 300
[ -s "$LR_CLIP" ] || LR_CLIP=synthetic

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
        "$B/bench_loss_recovery" "$LR_CLIP" 2>/dev/null | grep '^RESULT'
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
