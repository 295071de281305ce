#!/bin/sh
# Loss-robust video: an H.265 clip (640x360, 4 slices per picture, an IDR
# every 25 frames, 250 frames) goes from tessal-send through tessal-impair
# at 1% loss to tessal-recv, and FFmpeg decodes what arrived.
#
#   loss_video.sh TOOLS_DIR WORK_DIR MODE
#
#   MODE plain:  without RCE_H26X_RESYNC_ON_KEY_FRAME. Every decoded frame
#                that differs from all frames of the clip is damaged; a lost
#                packet damages at most the pictures up to the next IDR, so
#                damaged <= lost packets x 25.
#   MODE resync: tessal-recv --resync. Every decoded frame must be a frame
#                of the clip; a lost packet costs at most the pictures up to
#                the next IDR, so decoded >= 250 - lost packets x 25.
#
# Exit status 0 on success, 1 on failure, 77 (skip) without FFmpeg/libx265.
set -u
tools="$1"
work="$2"
mode="$3"
keyint=25
fail() { echo "FAIL: $*" >&2; exit 1; }

if ! command -v ffmpeg >/dev/null 2>&1; then
    echo "SKIP: ffmpeg is not installed (scripts/deps.sh --test installs it)"
    exit 77
fi
if ! ffmpeg -hide_banner -encoders 2>/dev/null | grep -q " libx265 "; then
    echo "SKIP: ffmpeg has no libx265 encoder"
    exit 77
fi
mkdir -p "$work"
run="$work/loss-$mode"
rm -rf "$run"
mkdir -p "$run"
clip="$work/loss-clip.h265"
if [ ! -s "$clip" ]; then
    ffmpeg -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=640x360:rate=25" \
        -frames:v 250 -pix_fmt yuv420p -c:v libx265 -bf 0 \
        -x265-params "log-level=error:keyint=$keyint:min-keyint=$keyint:scenecut=0:slices=4" \
        -f hevc "$clip.$$.tmp" && mv "$clip.$$.tmp" "$clip" || fail "cannot encode the clip"
fi
hashes() {  # decoded-frame md5s of an Annex-B file, one per line
    ffmpeg -hide_banner -loglevel quiet -f hevc -i "$1" -f framemd5 - 2>/dev/null |
        grep -v '^#' | awk -F, '{print $NF}' | tr -d ' '
}
hashes "$clip" | sort -u >"$run/expected"
frames=$(wc -l <"$run/expected")
[ "$frames" -eq 250 ] || fail "the clip decodes to $frames distinct frames, not 250"

port_in_use() {
    hex=$(printf '%04X' "$1")
    awk '{print $2}' /proc/net/udp /proc/net/udp6 2>/dev/null | grep -qi ":$hex\$"
}
for attempt in 1 2 3 4 5 6 7 8 9 10; do
    relay=$(( 20000 + ($$ * 11 + attempt * 7919) % 40000 ))
    relay=$(( relay - relay % 2 ))
    recv=$(( relay + 4 ))
    port_in_use "$relay" || port_in_use "$recv" || break
done
resync=""
[ "$mode" = resync ] && resync="--resync"
"$tools/tessal-recv" --format h265 --output "$run/received.h265" --timeout 4 --quiet $resync \
    "$recv" >"$run/recv.log" 2>&1 &
recv_pid=$!
"$tools/tessal-impair" --port-a "$relay" --to-b "$recv" --seed 15 --dir ab --loss 1% \
    >"$run/relay.log" 2>&1 &
relay_pid=$!
sleep 0.5
"$tools/tessal-send" --format h265 --file "$clip" --rate 50 --quiet 127.0.0.1 "$relay" \
    >"$run/send.log" 2>&1 || { cat "$run/send.log"; kill "$recv_pid" "$relay_pid"; fail "tessal-send"; }
wait "$recv_pid"
kill -INT "$relay_pid"
wait "$relay_pid"
lost=$(sed -n 's/^A->B rtp : .* lost-random \([0-9]*\) .*/\1/p' "$run/relay.log")
sent=$(sed -n 's/^A->B rtp : received \([0-9]*\) .*/\1/p' "$run/relay.log")
[ -n "$lost" ] && [ "$sent" -gt 0 ] || fail "no relay counts: $(cat "$run/relay.log")"
[ -s "$run/received.h265" ] || fail "nothing received"
hashes "$run/received.h265" >"$run/decoded"
decoded=$(wc -l <"$run/decoded")
damaged=$(grep -cvxFf "$run/expected" "$run/decoded")
echo "$mode: $sent packets, $lost lost; $decoded of $frames frames decoded, $damaged damaged"
[ "$lost" -gt 0 ] || fail "the relay lost nothing: no test of loss"
if [ "$mode" = resync ]; then
    [ "$damaged" -eq 0 ] || fail "$damaged damaged frames with --resync"
    [ "$decoded" -gt 0 ] && [ "$decoded" -ge $((frames - lost * keyint)) ] ||
        fail "only $decoded of $frames frames with --resync for $lost lost packets"
else
    [ "$damaged" -le $((lost * keyint)) ] || fail "$damaged damaged frames for $lost lost packets"
    [ "$decoded" -ge $((frames / 2)) ] || fail "only $decoded of $frames frames decoded"
fi
echo "loss video ($mode): ok"
