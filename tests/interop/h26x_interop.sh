#!/bin/sh
# Interoperability of Tessal's H.264/H.265 payload formats with GStreamer and
# FFmpeg over 127.0.0.1. The decoded frames of what crosses the wire must hash
# (ffmpeg framemd5) exactly like the decoded frames of the original clip.
#
#   h26x_interop.sh TOOLS_DIR WORK_DIR CODEC CLIP DIRECTION
#
#   CODEC      h264 | h265
#   CLIP       basic | slices | large | bframes   (generated with FFmpeg on first use)
#   DIRECTION  tessal-to-gst | gst-to-tessal | gst-to-tessal-aggregated |
#              ffmpeg-to-tessal | tessal-to-ffmpeg |
#              gst-to-tessal-default | ffmpeg-to-tessal-default | gst-to-tessal-mtu1500 |
#              tessal-to-gst-mtu1500 | tessal-to-ffmpeg-mtu1500 | tessal-to-tessal-mtu1500 |
#              gst-to-tessal-resync | ffmpeg-to-tessal-resync
#
# Packet sizes: the plain directions make the peers send small packets
# (GStreamer mtu=1400, FFmpeg pkt_size=1400). The -default directions leave
# the peer at its own default (FFmpeg: 1472-byte datagrams; GStreamer: 1400),
# gst-to-tessal-mtu1500 sends 1500-byte datagrams, and tessal-to-*-mtu1500
# have tessal-send use a 1500-byte path MTU (1472-byte datagrams).
#
# The clip bframes (1280x720, 8 slices per picture, B-frames, an IDR every 30
# frames, 60 frames) is also kept in MPEG-TS, which carries presentation
# times: the -resync directions send from there, so the RTP timestamps go
# backwards in decode order, to tessal-recv --resync
# (RCE_H26X_RESYNC_ON_KEY_FRAME). With no loss every access unit must arrive.
#
# Exit status 0 on success, 1 on a mismatch or failure, 77 (skip) when a peer
# is not installed.
set -u
tools="$1"
work="$2"
codec="$3"
clip="$4"
direction="$5"

for tool in ffmpeg gst-launch-1.0 gst-inspect-1.0; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool is not installed (scripts/deps.sh --test installs it)"
        exit 77
    fi
done
case "$codec" in
    h264) encoder=libx264; pt=106; enc_name=H264; raw=h264 ;;
    h265) encoder=libx265; pt=107; enc_name=H265; raw=hevc ;;
    *) echo "unknown codec $codec" >&2; exit 2 ;;
esac
for element in rtp${codec}pay rtp${codec}depay ${codec}parse udpsrc udpsink; do
    if ! gst-inspect-1.0 "$element" >/dev/null 2>&1; then
        echo "SKIP: GStreamer element $element is not installed"
        exit 77
    fi
done
if ! ffmpeg -hide_banner -encoders 2>/dev/null | grep -q " $encoder "; then
    echo "SKIP: ffmpeg has no $encoder encoder"
    exit 77
fi

mkdir -p "$work"
run="$work/$codec-$clip-$direction"
rm -rf "$run"
mkdir -p "$run"

# --- the clip and its reference hashes ---------------------------------------
source_clip="$work/$codec-$clip.$codec"
source_ts="$work/$codec-$clip.ts"
if [ "$clip" = bframes ] && [ ! -s "$source_clip" ]; then
    # Encoded into MPEG-TS (presentation and decoding times per picture); the
    # Annex-B clip is the same bitstream taken out of it. Closed GOPs, no
    # scene cuts: an IDR exactly every 30 frames.
    gop="slices=8:bframes=3:keyint=30:min-keyint=30:scenecut=0"
    if [ "$codec" = h264 ]; then
        extra="-x264-params $gop"
    else
        extra="-x265-params log-level=error:$gop:open-gop=0"
    fi
    # shellcheck disable=SC2086
    ffmpeg -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=1280x720:rate=25" \
        -frames:v 60 -pix_fmt yuv420p -c:v "$encoder" $extra -f mpegts "$source_ts.tmp" &&
        ffmpeg -hide_banner -loglevel error -y -i "$source_ts.tmp" -c copy -f "$raw" \
            "$source_clip.tmp" &&
        mv "$source_ts.tmp" "$source_ts" && mv "$source_clip.tmp" "$source_clip" || exit 1
fi
if [ ! -s "$source_clip" ]; then
    case "$clip" in
        basic) size=320x240; params="" ;;
        slices) size=640x360; params="slices=4" ;;
        large) size=1280x720; params="" ;;   # slices far above the MTU: fragmented
        *) echo "unknown clip $clip" >&2; exit 2 ;;
    esac
    if [ "$codec" = h264 ]; then
        extra="-x264-params ${params:-keyint=15} -bf 0"
    else
        extra="-x265-params log-level=error:keyint=15${params:+:$params} -bf 0"
    fi
    quality=""
    [ "$clip" = large ] && quality="-b:v 8M"
    # shellcheck disable=SC2086
    ffmpeg -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=$size:rate=25" \
        -frames:v 30 -pix_fmt yuv420p -c:v "$encoder" $extra $quality -f "$raw" \
        "$source_clip.tmp" && mv "$source_clip.tmp" "$source_clip" || exit 1
fi

hashes() {  # decoded-frame md5s of an Annex-B file, one per line
    ffmpeg -hide_banner -loglevel error -f "$raw" -i "$1" -f framemd5 - 2>/dev/null |
        grep -v '^#' | awk -F, '{print $NF}'
}
hashes "$source_clip" > "$run/expected"
frames=$(wc -l < "$run/expected")
if [ "$frames" -lt 10 ]; then
    echo "FAIL: the reference clip decodes to only $frames frames" >&2
    exit 1
fi

# --- a free port ---------------------------------------------------------------
port_in_use() {  # whether some UDP socket is bound to port $1
    hex=$(printf '%04X' "$1")
    awk '{print $2}' /proc/net/udp /proc/net/udp6 2>/dev/null | grep -qi ":$hex\$"
}
pick_port() {  # an even port with it and the next one unbound (RTP, RTCP)
    seed=$(( $$ * 13 + $(date +%N | cut -c1-4 | sed 's/^0*//;s/^$/0/') ))
    n=0
    while [ "$n" -lt 50 ]; do
        port=$(( 20000 + (seed + n * 7919) % 40000 ))
        port=$(( port - port % 2 ))
        if ! port_in_use "$port" && ! port_in_use $((port + 1)); then
            return 0
        fi
        n=$((n + 1))
    done
    echo "no free UDP port found" >&2
    exit 1
}
pick_port

caps="application/x-rtp,media=video,clock-rate=90000,encoding-name=$enc_name,payload=$pt"
received="$run/received.$codec"

wait_for_port() {  # waits until some socket is bound to UDP port $1 (at most $2 seconds)
    i=0
    while [ "$i" -lt "$(( $2 * 10 ))" ]; do
        if port_in_use "$1"; then
            return 0
        fi
        sleep 0.1
        i=$((i + 1))
    done
    echo "peer did not bind port $1 in $2 s" >&2
    return 1
}

bound_by() {  # whether process $1 holds a UDP socket bound to port $2
    hex=$(printf '%04X' "$2")
    for inode in $(awk -v p=":$hex\$" 'toupper($2) ~ p {print $10}' /proc/net/udp /proc/net/udp6 \
        2>/dev/null); do
        for fd in /proc/"$1"/fd/*; do
            [ "$(readlink "$fd" 2>/dev/null)" = "socket:[$inode]" ] && return 0
        done
    done
    return 1
}

start_tessal_recv() {  # tessal-recv on a free port, options in "$@"; sets $peer
    attempt=0
    while [ "$attempt" -lt 5 ]; do
        "$tools/tessal-recv" --format "$codec" --output "$received" --timeout 3 --quiet "$@" \
            "$port" >"$run/recv.log" 2>&1 &
        peer=$!
        # It exits at once when it cannot bind (someone took the port).
        i=0
        while [ "$i" -lt 200 ] && kill -0 "$peer" 2>/dev/null; do
            bound_by "$peer" "$port" && return 0
            sleep 0.1
            i=$((i + 1))
        done
        kill "$peer" 2>/dev/null
        wait "$peer" 2>/dev/null
        attempt=$((attempt + 1))
        pick_port
    done
    echo "tessal-recv could not listen on a free port" >&2
    cat "$run/recv.log" >&2
    exit 1
}

wait_for_file_quiet() {  # waits until $1 stops growing (at most $2 seconds)
    last=-1
    i=0
    while [ "$i" -lt "$2" ]; do
        now=$(stat -c %s "$1" 2>/dev/null || echo 0)
        [ "$now" = "$last" ] && [ "$now" != 0 ] && return 0
        last=$now
        sleep 1
        i=$((i + 1))
    done
}

# Tessal's sender at a 1500-byte path MTU: IP, UDP and RTP headers included.
send_mtu=""
case "$direction" in tessal-to-*-mtu1500) send_mtu="--set path_mtu=1500" ;; esac

case "$direction" in
    tessal-to-gst | tessal-to-gst-mtu1500)
        gst-launch-1.0 -q -e udpsrc port="$port" address=127.0.0.1 buffer-size=8388608 caps="$caps" \
            ! rtp${codec}depay ! ${codec}parse ! "video/x-$codec,stream-format=byte-stream" \
            ! filesink location="$received" >"$run/gst.log" 2>&1 &
        peer=$!
        wait_for_port "$port" 20 || { kill "$peer"; exit 1; }
        # shellcheck disable=SC2086
        "$tools/tessal-send" --format "$codec" --file "$source_clip" --rate 50 --quiet $send_mtu \
            127.0.0.1 "$port" >"$run/send.log" 2>&1 || { cat "$run/send.log"; kill "$peer"; exit 1; }
        wait_for_file_quiet "$received" 15
        kill -INT "$peer"
        wait "$peer"
        ;;
    gst-to-tessal | gst-to-tessal-aggregated | gst-to-tessal-default | gst-to-tessal-mtu1500)
        case "$direction" in
            gst-to-tessal) payloader="config-interval=0 aggregate-mode=none mtu=1400" ;;
            # max-stap / max: whole access units
            gst-to-tessal-aggregated) payloader="config-interval=0 aggregate-mode=2 mtu=1400" ;;
            gst-to-tessal-default) payloader="" ;;   # the payloader's own defaults
            gst-to-tessal-mtu1500) payloader="mtu=1500" ;;
        esac
        case "$payloader" in *aggregate-mode*) need_aggregate=1 ;; *) need_aggregate=0 ;; esac
        if [ "$need_aggregate" = 1 ] && ! gst-inspect-1.0 rtp${codec}pay | grep -q aggregate-mode; then
            echo "SKIP: this rtp${codec}pay has no aggregate-mode"
            exit 77
        fi
        start_tessal_recv
        # shellcheck disable=SC2086
        gst-launch-1.0 -q filesrc location="$source_clip" ! ${codec}parse \
            ! rtp${codec}pay $payloader pt=$pt \
            ! udpsink host=127.0.0.1 port="$port" sync=false >"$run/gst.log" 2>&1 ||
            { cat "$run/gst.log"; kill "$peer"; exit 1; }
        wait "$peer"
        ;;
    ffmpeg-to-tessal | ffmpeg-to-tessal-default)
        url="rtp://127.0.0.1:$port"
        [ "$direction" = ffmpeg-to-tessal ] && url="$url?pkt_size=1400"
        start_tessal_recv
        ffmpeg -hide_banner -loglevel error -re -f "$raw" -i "$source_clip" -c copy \
            -payload_type "$pt" -f rtp "$url" \
            >"$run/ffmpeg.log" 2>&1 || { cat "$run/ffmpeg.log"; kill "$peer"; exit 1; }
        wait "$peer"
        ;;
    gst-to-tessal-resync | ffmpeg-to-tessal-resync)
        if [ ! -s "$source_ts" ]; then
            echo "$direction needs a clip with presentation times (bframes)" >&2
            exit 2
        fi
        # The point of the clip: presentation times that go backwards in
        # decoding order, and so will the RTP timestamps.
        backwards=$(ffprobe -v error -select_streams v -show_entries packet=pts -of csv=p=0 \
            "$source_ts" | awk -F, '$1 != "" { if (seen && $1 + 0 < last) n++; last = $1 + 0; seen = 1 }
                END { print n + 0 }')
        if [ "$backwards" -eq 0 ]; then
            echo "FAIL: $source_ts has no B-frames (presentation times never go back)" >&2
            exit 1
        fi
        if [ "$direction" = gst-to-tessal-resync ] && ! gst-inspect-1.0 tsdemux >/dev/null 2>&1; then
            echo "SKIP: GStreamer element tsdemux is not installed"
            exit 77
        fi
        start_tessal_recv --resync
        if [ "$direction" = gst-to-tessal-resync ]; then
            # The payloader's defaults; sync=true paces the pictures in real time.
            gst-launch-1.0 -q filesrc location="$source_ts" ! tsdemux ! ${codec}parse \
                ! rtp${codec}pay pt=$pt ! udpsink host=127.0.0.1 port="$port" sync=true \
                >"$run/gst.log" 2>&1 || { cat "$run/gst.log"; kill "$peer"; exit 1; }
        else
            ffmpeg -hide_banner -loglevel error -re -i "$source_ts" -c copy \
                -payload_type "$pt" -f rtp "rtp://127.0.0.1:$port" \
                >"$run/ffmpeg.log" 2>&1 || { cat "$run/ffmpeg.log"; kill "$peer"; exit 1; }
        fi
        wait "$peer"
        ;;
    tessal-to-tessal-mtu1500)
        start_tessal_recv
        # shellcheck disable=SC2086
        "$tools/tessal-send" --format "$codec" --file "$source_clip" --rate 50 --quiet $send_mtu \
            127.0.0.1 "$port" >"$run/send.log" 2>&1 || { cat "$run/send.log"; kill "$peer"; exit 1; }
        wait "$peer"
        ;;
    tessal-to-ffmpeg | tessal-to-ffmpeg-mtu1500)
        cat > "$run/stream.sdp" <<SDP
v=0
o=- 0 0 IN IP4 127.0.0.1
s=tessal
c=IN IP4 127.0.0.1
t=0 0
m=video $port RTP/AVP $pt
a=rtpmap:$pt $enc_name/90000
a=fmtp:$pt packetization-mode=1
SDP
        ffmpeg -hide_banner -loglevel error -protocol_whitelist file,udp,rtp \
            -buffer_size 8388608 -i "$run/stream.sdp" -c copy -f "$raw" -y "$received" \
            >"$run/ffmpeg.log" 2>&1 &
        peer=$!
        wait_for_port "$port" 20 || { kill "$peer"; exit 1; }
        # shellcheck disable=SC2086
        "$tools/tessal-send" --format "$codec" --file "$source_clip" --rate 50 --quiet $send_mtu \
            127.0.0.1 "$port" >"$run/send.log" 2>&1 || { cat "$run/send.log"; kill "$peer"; exit 1; }
        # FFmpeg keeps probing a short stream and writes only when it stops:
        # give the last packets time to arrive, then stop it.
        sleep 2
        kill -INT "$peer"
        wait "$peer"
        ;;
    *)
        echo "unknown direction $direction" >&2
        exit 2
        ;;
esac

hashes "$received" > "$run/actual"
if cmp -s "$run/expected" "$run/actual"; then
    echo "OK: $codec $clip $direction: $frames decoded frames identical"
    exit 0
fi
echo "FAIL: $codec $clip $direction: decoded frames differ" >&2
echo "expected $(wc -l < "$run/expected") frames, got $(wc -l < "$run/actual")" >&2
diff "$run/expected" "$run/actual" | head -n 10 >&2
for log in "$run"/*.log; do
    echo "--- $log" >&2
    tail -n 20 "$log" >&2
done
exit 1
