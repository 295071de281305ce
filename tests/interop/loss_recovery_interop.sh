#!/bin/sh
# Loss recovery against GStreamer through tessal-impair: RTCP feedback
# (RFC 4585 generic NACK) and RFC 4588 retransmissions, both ways.
#
#   loss_recovery_interop.sh TOOLS_DIR WORK_DIR CODEC DIRECTION LOSS
#
#   CODEC      h264 | h265: a 640x360 clip with B-frames, 4 slices per picture,
#              an IDR every 30 frames, 120 frames at 30 fps
#   DIRECTION  gst-to-tessal      rtpsession (AVPF) + rtprtxsend -> tessal-recv
#                                 --resync --nack --rtx 97
#              tessal-to-gst      tessal-send --nack --rtx 97 -> rtpsession (AVPF),
#                                 rtprtxreceive, rtpjitterbuffer do-retransmission
#              tessal-to-tessal   tessal-send --nack --rtx 97 -> tessal-recv --resync
#                                 --nack --rtx 97
#              gst-to-tessal-plain, tessal-to-gst-plain: the same without
#                                 retransmission, which must show the loss
#   LOSS       random loss A -> B (media and the sender's RTCP), e.g. 2% or 10%;
#              10 ms of delay each way
#
# The first 90 decoded frames of what arrived must hash (ffmpeg framemd5)
# like the clip's: every access unit delivered intact. The last second is a
# tail nobody is judged on (the sender stops answering when it ends). The
# -plain directions must fail that comparison.
#
# Exit status 0 on success, 1 on a mismatch or failure, 77 (skip) when a peer
# is not installed.
set -u
tools="$1"
work="$2"
codec="$3"
direction="$4"
loss="$5"
judged=90
rtx_pt=97

for tool in ffmpeg gst-launch-1.0 gst-inspect-1.0; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool is not installed (scripts/deps.sh --test installs it)"
        exit 77
    fi
done
case "$codec" in
    h264) encoder=libx264; pt=106; enc_name=H264; raw=h264; params="-x264-params " ;;
    h265) encoder=libx265; pt=107; enc_name=H265; raw=hevc; params="-x265-params log-level=error:" ;;
    *) echo "unknown codec $codec" >&2; exit 2 ;;
esac
for element in rtpsession rtprtxsend rtprtxreceive rtpssrcdemux rtpjitterbuffer matroskademux \
    rtp${codec}pay rtp${codec}depay ${codec}parse udpsrc udpsink; do
    if ! gst-inspect-1.0 "$element" >/dev/null 2>&1; then
        echo "SKIP: GStreamer element $element is not installed"
        exit 77
    fi
done
if ! ffmpeg -hide_banner -encoders 2>/dev/null | grep -q " $encoder "; then
    echo "SKIP: ffmpeg has no $encoder encoder"
    exit 77
fi
fail() { echo "FAIL: $codec $direction $loss: $*" >&2; for log in "$run"/*.log; do
    echo "--- $log" >&2; tail -n 15 "$log" >&2; done; exit 1; }

mkdir -p "$work"
run="$work/rtx-$codec-$direction-$(echo "$loss" | tr -d %)"
rm -rf "$run"
mkdir -p "$run"

# --- the clip: Matroska for GStreamer (it carries the timestamps), Annex-B
# for tessal-send, the same bitstream --------------------------------------------
clip_mkv="$work/rtx-clip-$codec.mkv"
clip_raw="$work/rtx-clip-$codec.$codec"
if [ ! -s "$clip_mkv" ] || [ ! -s "$clip_raw" ]; then
    gop="bframes=2:keyint=30:min-keyint=30:scenecut=0:slices=4"
    [ "$codec" = h265 ] && gop="$gop:open-gop=0"
    ffmpeg -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=640x360:rate=30" \
        -frames:v 120 -pix_fmt yuv420p -c:v "$encoder" $params$gop -f matroska "$clip_mkv.$$" &&
        ffmpeg -hide_banner -loglevel error -y -i "$clip_mkv.$$" -c copy -f "$raw" "$clip_raw.$$" &&
        mv "$clip_mkv.$$" "$clip_mkv" && mv "$clip_raw.$$" "$clip_raw" || fail "cannot encode the clip"
fi
hashes() {  # decoded-frame md5s of an Annex-B file, one per line, the first $judged
    ffmpeg -hide_banner -loglevel error -f "$raw" -i "$1" -f framemd5 - 2>/dev/null |
        grep -v '^#' | awk -F, '{print $NF}' | head -n "$judged"
}
hashes "$clip_raw" >"$run/expected"
[ "$(wc -l <"$run/expected")" -eq "$judged" ] || fail "the clip decodes to fewer than $judged frames"

# --- ports: relay A side, sender, receiver, relay B side; each with RTCP on +1 ---------
port_in_use() {
    hex=$(printf '%04X' "$1")
    awk '{print $2}' /proc/net/udp /proc/net/udp6 2>/dev/null | grep -qi ":$hex\$"
}
seed=$(( $$ * 13 + $(date +%N | cut -c1-4 | sed 's/^0*//;s/^$/0/') ))
n=0
while :; do
    base=$(( 20000 + (seed + n * 7919) % 40000 ))
    base=$(( base - base % 8 ))
    busy=0
    for p in 0 1 2 3 4 5 6 7; do
        port_in_use $((base + p)) && busy=1
    done
    [ "$busy" = 0 ] && break
    n=$((n + 1))
    [ "$n" -lt 50 ] || fail "no free UDP ports"
done
relay_a=$base; sender=$((base + 2)); receiver=$((base + 4)); relay_b=$((base + 6))
wait_for_port() {
    i=0
    while [ "$i" -lt 100 ]; do
        port_in_use "$1" && return 0
        sleep 0.1
        i=$((i + 1))
    done
    return 1
}

"$tools/tessal-impair" --port-a "$relay_a" --to-b "$receiver" --port-b "$relay_b" --to-a "$sender" \
    --rtcp-pair --seed 7 --dir ab --loss "$loss" --delay 10 --dir ba --delay 10 \
    >"$run/relay.log" 2>&1 &
relay_pid=$!
wait_for_port "$relay_b" || fail "the relay did not start"

# RFC 4585 3.5: until its first regular RTCP report (at most about 1.2 s in,
# then moved by an early packet to twice that) a receiver may send one early
# feedback packet. Sessions run their RTCP before the media that matters; so
# does this one, rather than judge the first GOP on start-up timing.
settle_rtcp() { sleep 2.5; }

# Tessal's receivers wait for a lost packet as long as GStreamer's jitter
# buffer does below (latency=1000): a loaded machine delays the answers.
recovery="--nack --rtx $rtx_pt"
case "$direction" in *-plain) recovery="" ;; esac
received="$run/received.$codec"
pt_map="application/x-rtp-pt-map,96=(uint)$rtx_pt"

case "$direction" in
    gst-to-tessal | gst-to-tessal-plain)
        # shellcheck disable=SC2086
        "$tools/tessal-recv" --format "$codec" --output "$received" --timeout 4 --quiet --resync \
            --set packet_delay_limit=1000 \
            $recovery --peer 127.0.0.1 "$relay_b" "$receiver" >"$run/recv.log" 2>&1 &
        peer=$!
        wait_for_port "$receiver" || fail "tessal-recv did not bind"
        settle_rtcp
        # GStreamer 1.22's sender can hang after EOS (its rtpsession): bounded.
        timeout 30 gst-launch-1.0 -q rtpsession name=s rtp-profile=avpf rtcp-min-interval=20000000 \
            filesrc location="$clip_mkv" ! matroskademux ! ${codec}parse config-interval=-1 \
            ! "video/x-$codec,stream-format=byte-stream,alignment=au" \
            ! rtp${codec}pay pt=96 mtu=1400 ssrc=305419896 \
            ! rtprtxsend payload-type-map="$pt_map" \
            ssrc-map="application/x-rtp-ssrc-map,305419896=(uint)305419897" \
            max-size-packets=0 max-size-time=2000 ! s.send_rtp_sink \
            s.send_rtp_src ! udpsink host=127.0.0.1 port="$relay_a" sync=true \
            s.send_rtcp_src ! udpsink host=127.0.0.1 port=$((relay_a + 1)) sync=false async=false \
            udpsrc port=$((sender + 1)) caps=application/x-rtcp ! s.recv_rtcp_sink \
            >"$run/gst.log" 2>&1
        wait "$peer"
        ;;
    tessal-to-gst | tessal-to-gst-plain)
        gst-launch-1.0 -q -e rtpsession name=r rtp-profile=avpf rtcp-min-interval=20000000 \
            rtcp-fraction=100000 \
            udpsrc port="$receiver" buffer-size=8388608 \
            caps="application/x-rtp,media=video,clock-rate=90000,encoding-name=$enc_name,payload=$pt" \
            ! r.recv_rtp_sink \
            udpsrc port=$((receiver + 1)) caps=application/x-rtcp ! r.recv_rtcp_sink \
            r.send_rtcp_src ! udpsink host=127.0.0.1 port=$((relay_b + 1)) sync=false async=false \
            r.recv_rtp_src \
            ! rtprtxreceive payload-type-map="application/x-rtp-pt-map,$pt=(uint)$rtx_pt" \
            ! rtpssrcdemux ! rtpjitterbuffer do-retransmission=true latency=1000 \
            ! rtp${codec}depay ! ${codec}parse ! "video/x-$codec,stream-format=byte-stream" \
            ! filesink location="$received" >"$run/gst.log" 2>&1 &
        peer=$!
        wait_for_port "$receiver" || fail "GStreamer did not bind"
        # shellcheck disable=SC2086
        "$tools/tessal-send" --format "$codec" --file "$clip_raw" --rate 30 --quiet $recovery \
            --src-port "$sender" 127.0.0.1 "$relay_a" >"$run/send.log" 2>&1 ||
            fail "tessal-send failed"
        sleep 1
        kill -INT "$peer"
        wait "$peer"
        ;;
    tessal-to-tessal)
        # shellcheck disable=SC2086
        "$tools/tessal-recv" --format "$codec" --output "$received" --timeout 4 --quiet --resync \
            --set packet_delay_limit=1000 \
            $recovery --peer 127.0.0.1 "$relay_b" "$receiver" >"$run/recv.log" 2>&1 &
        peer=$!
        wait_for_port "$receiver" || fail "tessal-recv did not bind"
        settle_rtcp
        # shellcheck disable=SC2086
        "$tools/tessal-send" --format "$codec" --file "$clip_raw" --rate 30 --quiet $recovery \
            --src-port "$sender" 127.0.0.1 "$relay_a" >"$run/send.log" 2>&1 ||
            fail "tessal-send failed"
        wait "$peer"
        ;;
    *)
        echo "unknown direction $direction" >&2
        exit 2
        ;;
esac
kill -INT "$relay_pid"
wait "$relay_pid"

lost=$(sed -n 's/^A->B rtp : .* lost-random \([0-9]*\) .*/\1/p' "$run/relay.log")
[ -n "$lost" ] && [ "$lost" -gt 0 ] || fail "the relay lost nothing: no test of loss"
[ -s "$received" ] || fail "nothing received"
hashes "$received" >"$run/actual"
identical=0
cmp -s "$run/expected" "$run/actual" && identical=1
got=$(wc -l <"$run/actual")
recovered=$(sed -n 's/^tessal-recv: .*recovered in time \([0-9]*\),.*/\1/p' "$run"/recv.log 2>/dev/null |
    head -n 1)
resent=$(sed -n 's/^tessal-send: .*packets resent \([0-9]*\),.*/\1/p' "$run"/send.log 2>/dev/null |
    head -n 1)
echo "$codec $direction $loss: $lost packets lost, $got of $judged frames decoded," \
    "identical: $identical${recovered:+, recovered in time $recovered}${resent:+, resent $resent}"
case "$direction" in
    *-plain)
        [ "$identical" = 0 ] || fail "without retransmission the loss does not show: the test cannot bite"
        ;;
    *)
        [ "$identical" = 1 ] || { diff "$run/expected" "$run/actual" | head -n 6 >&2; fail "frames differ"; }
        # Retransmission really ran: a Tessal end counted it.
        case "$direction" in
            gst-to-tessal) [ "${recovered:-0}" -gt 0 ] || fail "tessal-recv recovered nothing" ;;
            tessal-to-*) [ "${resent:-0}" -gt 0 ] || fail "tessal-send resent nothing" ;;
        esac
        ;;
esac
echo "OK"
