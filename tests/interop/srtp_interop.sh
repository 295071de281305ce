#!/bin/sh
# Standard SRTP (RFC 3711, RFC 7714) with GStreamer's srtpenc/srtpdec (libsrtp)
# over 127.0.0.1: H.264/H.265 encrypted by one side is decrypted by the other,
# and the decoded frames must hash (ffmpeg framemd5) exactly like those of the
# original clip.
#
#   srtp_interop.sh TOOLS_DIR WORK_DIR CODEC PROFILE DIRECTION [rtcp]
#
#   CODEC      h264 | h265
#   PROFILE    AES_CM_128_HMAC_SHA1_80 | AES_CM_128_HMAC_SHA1_32 |
#              AES_256_CM_HMAC_SHA1_80 | AEAD_AES_128_GCM | AEAD_AES_256_GCM
#   DIRECTION  tessal-to-gst   tessal-send --srtp -> udpsrc ! srtpdec ! rtpXdepay
#              gst-to-tessal   rtpXpay ! srtpenc ! udpsink -> tessal-recv --srtp
#   rtcp       RTCP on both sides, SRTCP both ways, paced over about 10 s:
#              tessal-to-gst: rtpbin behind srtpdec must decrypt Tessal's SRs
#              (its receiver reports then carry their LSR) and tessal-send must
#              decrypt those reports, which srtpenc protects;
#              gst-to-tessal: tessal-recv must decrypt rtpbin's SRs of the RTP
#              stream's SSRC, which srtpenc protects.
#
# One random master key per run, given to Tessal as PROFILE:inline:BASE64 and
# to GStreamer as its hex bytes; tessal-send must print the same GStreamer
# caps as those used here. Exit status 0 on success, 1 on a mismatch or
# failure, 77 (skip) when a peer is not installed.
set -u
tools="$1"
work="$2"
codec="$3"
profile="$4"
direction="$5"
with_rtcp="${6:-}"

for tool in ffmpeg gst-launch-1.0 gst-inspect-1.0 base64 od; do
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
# The profile's master key || salt length and GStreamer's names for it.
case "$profile" in
    AES_CM_128_HMAC_SHA1_80) bytes=30; cipher=aes-128-icm; auth=hmac-sha1-80; rtcp_auth=$auth ;;
    AES_CM_128_HMAC_SHA1_32) bytes=30; cipher=aes-128-icm; auth=hmac-sha1-32; rtcp_auth=hmac-sha1-80 ;;
    AES_256_CM_HMAC_SHA1_80) bytes=46; cipher=aes-256-icm; auth=hmac-sha1-80; rtcp_auth=$auth ;;
    AEAD_AES_128_GCM) bytes=28; cipher=aes-128-gcm; auth=null; rtcp_auth=null ;;
    AEAD_AES_256_GCM) bytes=44; cipher=aes-256-gcm; auth=null; rtcp_auth=null ;;
    *) echo "unknown profile $profile" >&2; exit 2 ;;
esac
for element in srtpenc srtpdec rtpbin rtp${codec}pay rtp${codec}depay ${codec}parse udpsrc \
    udpsink; do
    if ! gst-inspect-1.0 "$element" >/dev/null 2>&1; then
        echo "SKIP: GStreamer element $element is not installed (gstreamer1.0-plugins-bad has srtp)"
        exit 77
    fi
done
if ! gst-inspect-1.0 srtpenc | grep -q "$cipher"; then
    echo "SKIP: this srtpenc has no $cipher cipher"
    exit 77
fi
if ! ffmpeg -hide_banner -encoders 2>/dev/null | grep -q " $encoder "; then
    echo "SKIP: ffmpeg has no $encoder encoder"
    exit 77
fi

mkdir -p "$work"
run="$work/srtp-$codec-$profile-$direction${with_rtcp:+-rtcp}"
rm -rf "$run"
mkdir -p "$run"
peer=""
trap 'for p in $peer; do kill "$p" 2>/dev/null; done' EXIT
fail() {
    echo "FAIL: $codec $profile $direction${with_rtcp:+ rtcp}: $*" >&2
    for log in "$run"/*.log; do
        [ -f "$log" ] && { echo "--- $log" >&2; tail -n 20 "$log" >&2; }
    done
    exit 1
}

# --- the clip and its reference hashes -----------------------------------------
# 30 pictures at 25 frames a second (the clip of h26x_interop.sh); with RTCP
# at 3 a second, also in MPEG-TS, whose presentation times pace GStreamer's
# sender over 10 s while reports flow.
if [ "$codec" = h264 ]; then
    extra="-x264-params keyint=15 -bf 0"
else
    extra="-x265-params log-level=error:keyint=15 -bf 0"
fi
if [ -n "$with_rtcp" ]; then
    if ! gst-inspect-1.0 tsdemux >/dev/null 2>&1; then
        echo "SKIP: GStreamer element tsdemux is not installed"
        exit 77
    fi
    source_clip="$work/$codec-paced.$codec"
    source_ts="$work/$codec-paced.ts"
    if [ ! -s "$source_clip" ] || [ ! -s "$source_ts" ]; then
        # shellcheck disable=SC2086
        ffmpeg -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=320x240:rate=3" \
            -frames:v 30 -pix_fmt yuv420p -c:v "$encoder" $extra -f mpegts "$source_ts.tmp" &&
            ffmpeg -hide_banner -loglevel error -y -i "$source_ts.tmp" -c copy -f "$raw" \
                "$source_clip.tmp" &&
            mv "$source_ts.tmp" "$source_ts" && mv "$source_clip.tmp" "$source_clip" || exit 1
    fi
else
    source_clip="$work/$codec-basic.$codec"
    if [ ! -s "$source_clip" ]; then
        # shellcheck disable=SC2086
        ffmpeg -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=320x240:rate=25" \
            -frames:v 30 -pix_fmt yuv420p -c:v "$encoder" $extra -f "$raw" "$source_clip.tmp" &&
            mv "$source_clip.tmp" "$source_clip" || exit 1
    fi
fi
hashes() {  # decoded-frame md5s of an Annex-B file, one per line
    ffmpeg -hide_banner -loglevel error -f "$raw" -i "$1" -f framemd5 - 2>/dev/null |
        grep -v '^#' | awk -F, '{print $NF}'
}
hashes "$source_clip" > "$run/expected"
frames=$(wc -l < "$run/expected")
[ "$frames" -ge 10 ] || fail "the reference clip decodes to only $frames frames"

# --- key and ports -------------------------------------------------------------
head -c "$bytes" /dev/urandom > "$run/master.bin"
key_b64=$(base64 -w0 "$run/master.bin")
key_hex=$(od -An -tx1 -v "$run/master.bin" | tr -d ' \n')
srtp_fields="srtp-key=(buffer)$key_hex,srtp-cipher=(string)$cipher,srtp-auth=(string)$auth"
srtp_fields="$srtp_fields,srtcp-cipher=(string)$cipher,srtcp-auth=(string)$rtcp_auth"
enc_props="key=$key_hex rtp-cipher=$cipher rtp-auth=$auth rtcp-cipher=$cipher rtcp-auth=$rtcp_auth"
ssrc=$(( ($$ * 7919 + 12345) % 2000000000 + 1000 ))

port_in_use() {  # whether some UDP socket is bound to port $1
    hex=$(printf '%04X' "$1")
    awk '{print $2}' /proc/net/udp /proc/net/udp6 2>/dev/null | grep -qi ":$hex\$"
}
pick_pair() {  # an even port with it and the next one unbound; echoes it
    seed=$(( $$ * 13 + $(date +%N | cut -c1-4 | sed 's/^0*//;s/^$/0/') + ${1:-0} * 4099 ))
    n=0
    while [ "$n" -lt 50 ]; do
        p=$(( 20000 + (seed + n * 7919) % 40000 ))
        p=$(( p - p % 2 ))
        if ! port_in_use "$p" && ! port_in_use $((p + 1)); then
            echo "$p"
            return 0
        fi
        n=$((n + 1))
    done
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
wait_bound() {  # waits (at most 20 s) until process $1 has bound port $2; false if it exits
    i=0
    while [ "$i" -lt 200 ] && kill -0 "$1" 2>/dev/null; do
        bound_by "$1" "$2" && return 0
        sleep 0.1
        i=$((i + 1))
    done
    kill "$1" 2>/dev/null
    wait "$1" 2>/dev/null
    return 1
}
stop_peer() {  # ends process $1 with SIGINT (GStreamer then finishes its files), at most 10 s
    kill -INT "$1" 2>/dev/null
    i=0
    while [ "$i" -lt 100 ] && kill -0 "$1" 2>/dev/null; do
        sleep 0.1
        i=$((i + 1))
    done
    kill -KILL "$1" 2>/dev/null
    wait "$1" 2>/dev/null
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
gst_port=$(pick_pair 1) || fail "no free port"
tessal_port=$(pick_pair 2) || fail "no free port"
[ "$gst_port" = "$tessal_port" ] && tessal_port=$((tessal_port + 2))

caps="application/x-rtp,media=video,clock-rate=90000,encoding-name=$enc_name,payload=$pt"
received="$run/received.$codec"
rate=50
[ -n "$with_rtcp" ] && rate=3

case "$direction" in
    tessal-to-gst)
        # srtpdec takes the key from its sink caps, for the SSRC they name. The
        # sockets do not share their port (reuse=false): a port some other
        # process took meanwhile makes GStreamer fail, and another is tried.
        attempt=0
        while :; do
            if [ -n "$with_rtcp" ]; then
                gst-launch-1.0 -q -e rtpbin name=rb \
                    udpsrc port="$gst_port" address=127.0.0.1 reuse=false buffer-size=8388608 \
                        caps="application/x-srtp,${caps#application/x-rtp,},ssrc=(uint)$ssrc,$srtp_fields" \
                        ! d.rtp_sink \
                    udpsrc port=$((gst_port + 1)) address=127.0.0.1 reuse=false \
                        caps="application/x-srtcp,ssrc=(uint)$ssrc,$srtp_fields" ! d.rtcp_sink \
                    srtpdec name=d d.rtp_src ! rb.recv_rtp_sink_0 d.rtcp_src ! rb.recv_rtcp_sink_0 \
                    rb. ! rtp${codec}depay ! ${codec}parse ! "video/x-$codec,stream-format=byte-stream" \
                        ! filesink location="$received" buffer-mode=unbuffered \
                    rb.send_rtcp_src_0 ! e.rtcp_sink_0 srtpenc name=e $enc_props \
                    e.rtcp_src_0 ! udpsink host=127.0.0.1 port=$((tessal_port + 1)) sync=false \
                        async=false \
                    >"$run/gst.log" 2>&1 &
            else
                gst-launch-1.0 -q -e udpsrc port="$gst_port" address=127.0.0.1 reuse=false \
                    buffer-size=8388608 \
                    caps="application/x-srtp,${caps#application/x-rtp,},ssrc=(uint)$ssrc,$srtp_fields" \
                    ! srtpdec ! rtp${codec}depay ! ${codec}parse \
                    ! "video/x-$codec,stream-format=byte-stream" \
                    ! filesink location="$received" buffer-mode=unbuffered >"$run/gst.log" 2>&1 &
            fi
            peer=$!
            wait_bound "$peer" "$gst_port" && break
            attempt=$((attempt + 1))
            [ "$attempt" -lt 5 ] || fail "GStreamer could not listen on a free port"
            gst_port=$(pick_pair $((attempt + 2))) || fail "no free port"
        done
        # shellcheck disable=SC2086
        "$tools/tessal-send" --format "$codec" --file "$source_clip" --rate "$rate" --quiet \
            --set local_ssrc=$ssrc --srtp "$profile:inline:$key_b64" \
            ${with_rtcp:+--rtcp --src-port $tessal_port} 127.0.0.1 "$gst_port" \
            >"$run/send.log" 2>&1 || fail "tessal-send failed"
        [ -n "$with_rtcp" ] && sleep 2  # the last reports
        wait_for_file_quiet "$received" 15
        stop_peer "$peer"
        peer=""
        grep -qF "srtp: gstreamer caps: $srtp_fields" "$run/send.log" ||
            fail "tessal-send did not print the GStreamer caps of its key"
        grep -qF "srtp: sdp: a=crypto:1 $profile inline:$key_b64" "$run/send.log" ||
            fail "tessal-send did not print the SDP crypto attribute of its key"
        if [ -n "$with_rtcp" ]; then
            grep -q "rtcp: RR from" "$run/send.log" ||
                fail "no receiver report from GStreamer passed SRTCP at tessal-send"
            grep "rtcp: RR from" "$run/send.log" | grep -vq "LSR 00000000" ||
                fail "GStreamer's reports never carried the LSR of an SR: it did not decrypt our SRTCP"
        fi
        ;;
    gst-to-tessal)
        tessal_rtcp=""
        if [ -n "$with_rtcp" ]; then
            tessal_rtcp="--rtcp --peer 127.0.0.1 $gst_port"
        fi
        # tessal-recv exits at once when it cannot bind: then another port.
        attempt=0
        while :; do
            # shellcheck disable=SC2086
            "$tools/tessal-recv" --format "$codec" --output "$received" --timeout 4 --quiet \
                --srtp "$profile:inline:$key_b64" $tessal_rtcp "$tessal_port" \
                >"$run/recv.log" 2>&1 &
            peer=$!
            wait_bound "$peer" "$tessal_port" && break
            attempt=$((attempt + 1))
            [ "$attempt" -lt 5 ] || fail "tessal-recv could not listen on a free port"
            tessal_port=$(pick_pair $((attempt + 2))) || fail "no free port"
        done
        payloader="rtp${codec}pay config-interval=0 aggregate-mode=none mtu=1400 pt=$pt ssrc=$ssrc"
        if [ -n "$with_rtcp" ]; then
            # rtpbin keeps its RTCP going after the end of the stream: it runs
            # until tessal-recv has seen the last frame.
            # shellcheck disable=SC2086
            timeout 60 gst-launch-1.0 -q rtpbin name=rb \
                filesrc location="$source_ts" ! tsdemux ! ${codec}parse \
                ! $payloader ! rb.send_rtp_sink_0 \
                rb.send_rtp_src_0 ! e.rtp_sink_0 rb.send_rtcp_src_0 ! e.rtcp_sink_0 \
                srtpenc name=e $enc_props \
                e.rtp_src_0 ! udpsink host=127.0.0.1 port="$tessal_port" bind-port="$gst_port" \
                    sync=true \
                e.rtcp_src_0 ! udpsink host=127.0.0.1 port=$((tessal_port + 1)) \
                    bind-port=$((gst_port + 1)) sync=false async=false \
                >"$run/gst.log" 2>&1 &
            gst=$!
            wait "$peer"
            peer=$gst
            kill "$gst" 2>/dev/null
        else
            # shellcheck disable=SC2086
            timeout 60 gst-launch-1.0 -q filesrc location="$source_clip" ! ${codec}parse \
                ! $payloader ! e.rtp_sink_0 srtpenc name=e $enc_props \
                e.rtp_src_0 ! udpsink host=127.0.0.1 port="$tessal_port" sync=false \
                >"$run/gst.log" 2>&1 || fail "the GStreamer sender failed"
        fi
        wait "$peer" 2>/dev/null
        peer=""
        if [ -n "$with_rtcp" ]; then
            ssrc_hex=$(printf '%08x' "$ssrc")
            grep -qi "rtcp: SR from $ssrc_hex" "$run/recv.log" ||
                fail "no SR of SSRC $ssrc_hex from GStreamer passed SRTCP at tessal-recv"
        fi
        ;;
    *)
        echo "unknown direction $direction" >&2
        exit 2
        ;;
esac

hashes "$received" > "$run/actual"
cmp -s "$run/expected" "$run/actual" ||
    fail "decoded frames differ (expected $frames, got $(wc -l < "$run/actual"))"
echo "OK: $codec $profile $direction${with_rtcp:+ with SRTCP}: $frames decoded frames identical"
exit 0
