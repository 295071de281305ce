#!/bin/sh
# RTCP interoperability with GStreamer's rtpbin over 127.0.0.1, RTP on port
# P and RTCP on P + 1 at both ends.
#
#   rtcp_interop.sh TOOLS_DIR WORK_DIR DIRECTION
#
#   tessal-to-gst  tessal-send --rtcp sends PCMU to an rtpbin receiver; the
#                  receiver's reports must reach tessal-send (report blocks
#                  about its SSRC, a round-trip time), and tshark must dissect
#                  every RTCP packet of both sides without a malformed flag.
#   gst-to-tessal  rtpbin sends PCMU with its SRs to tessal-recv --rtcp; the
#                  SRs must come from the RTP stream's SSRC with a plausible
#                  NTP/RTP mapping, and tessal-recv reports its own reception.
#
# Exit status 0 on success, 1 on failure, 77 (skip) when a peer or a capture
# on the loopback interface is not available.
set -u
tools="$1"
work="$2"
direction="$3"

for tool in gst-launch-1.0 gst-inspect-1.0 tshark; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool is not installed (scripts/deps.sh --test installs it)"
        exit 77
    fi
done
for element in rtpbin rtppcmupay rtppcmudepay mulawenc audiotestsrc udpsrc udpsink; do
    if ! gst-inspect-1.0 "$element" >/dev/null 2>&1; then
        echo "SKIP: GStreamer element $element is not installed"
        exit 77
    fi
done

run="$work/rtcp-$direction"
rm -rf "$run"
mkdir -p "$run"
# Whatever runs in the background goes with the script, on every exit.
capture=""
gst=""
recv=""
trap 'for p in $capture $gst $recv; do kill "$p" 2>/dev/null; done' EXIT
fail() {
    echo "FAIL: $*" >&2
    for f in "$run"/*.log; do
        [ -f "$f" ] && { echo "--- $f" >&2; tail -n 40 "$f" >&2; }
    done
    exit 1
}

port_in_use() {  # whether some UDP socket is bound to port $1
    hex=$(printf '%04X' "$1")
    awk '{print $2}' /proc/net/udp /proc/net/udp6 2>/dev/null | grep -qi ":$hex\$"
}
pick_pair() {  # an even port with it and the next one unbound; echoes it
    seed=$(( $$ * 17 + $(date +%N | cut -c1-4 | sed 's/^0*//;s/^$/0/') + ${1:-0} * 4099 ))
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
gst_port=$(pick_pair 1) || fail "no free port"
tessal_port=$(pick_pair 2) || fail "no free port"
[ "$gst_port" = "$tessal_port" ] && tessal_port=$((tessal_port + 2))

# Capture both RTCP ports for tshark.
pcap="$run/rtcp.pcap"
tshark -q -i lo -f "udp port $((gst_port + 1)) or udp port $((tessal_port + 1)) or udp port $gst_port or udp port $tessal_port" \
    -w "$pcap" >"$run/capture.log" 2>&1 &
capture=$!
i=0
while [ "$i" -lt 50 ] && ! grep -q "Capturing on" "$run/capture.log" 2>/dev/null; do
    if ! kill -0 "$capture" 2>/dev/null; then
        echo "SKIP: cannot capture on the loopback interface: $(cat "$run/capture.log")"
        exit 77
    fi
    sleep 0.1
    i=$((i + 1))
done

seconds=14
caps="application/x-rtp,media=audio,clock-rate=8000,encoding-name=PCMU"
case "$direction" in
    tessal-to-gst)
        # rtpbin receives RTP on gst_port and RTCP on gst_port + 1, and sends its
        # reports to tessal-send's RTCP port.
        timeout $((seconds + 10)) gst-launch-1.0 -q rtpbin name=rb \
            udpsrc port="$gst_port" caps="$caps,payload=0" ! rb.recv_rtp_sink_0 \
            rb. ! rtppcmudepay ! fakesink \
            udpsrc port=$((gst_port + 1)) ! rb.recv_rtcp_sink_0 \
            rb.send_rtcp_src_0 ! udpsink host=127.0.0.1 port=$((tessal_port + 1)) sync=false async=false \
            >"$run/gst.log" 2>&1 &
        gst=$!
        sleep 1
        # 20 ms of PCMU per frame.
        "$tools/tessal-send" --rtcp --format pcmu --size 160 --count $((seconds * 50)) --rate 50 \
            --quiet --src-port "$tessal_port" 127.0.0.1 "$gst_port" >"$run/tessal.log" 2>&1 ||
            fail "tessal-send failed"
        sleep 1
        kill "$gst" 2>/dev/null
        wait "$gst" 2>/dev/null
        grep -q "rtcp: RR from" "$run/tessal.log" || fail "no receiver report reached tessal-send"
        rtt=$(sed -n 's/.*rtcp: round-trip time to [0-9a-f]*: \([0-9.]*\) ms.*/\1/p' \
            "$run/tessal.log" | head -n 1)
        [ -n "$rtt" ] || fail "no round-trip time computed"
        awk -v r="$rtt" 'BEGIN { exit !(r >= 0 && r < 1000) }' || fail "implausible RTT $rtt ms"
        # No loss on loopback (a duplicate-free count may read -1 at start).
        grep "rtcp: RR from" "$run/tessal.log" | grep -Eq "fraction lost 0.0%, cumulative lost (0|-1)," ||
            fail "GStreamer reported loss"
        grep "rtcp: RR from" "$run/tessal.log" | grep -vq "LSR 00000000" ||
            fail "GStreamer's reports never carried the LSR of our SR"
        # DLSR: how long GStreamer held our SR before reporting, under an interval.
        grep "rtcp: RR from" "$run/tessal.log" | grep -v "LSR 00000000" |
            sed -n 's/.*DLSR \([0-9.]*\) s.*/\1/p' |
            awk '{ if ($1 <= 0 || $1 > 10) bad = 1 } END { exit bad }' ||
            fail "implausible DLSR"
        ;;
    gst-to-tessal)
        "$tools/tessal-recv" --rtcp --peer 127.0.0.1 "$gst_port" --format pcmu \
            --timeout $((seconds + 10)) --count $((seconds * 50 - 5)) --quiet "$tessal_port" \
            >"$run/tessal.log" 2>&1 &
        recv=$!
        sleep 1
        timeout $((seconds + 10)) gst-launch-1.0 -q rtpbin name=rb \
            audiotestsrc is-live=true num-buffers=$((seconds * 50)) samplesperbuffer=160 ! \
            audio/x-raw,rate=8000,channels=1 ! mulawenc ! rtppcmupay ! rb.send_rtp_sink_0 \
            rb.send_rtp_src_0 ! udpsink host=127.0.0.1 port="$tessal_port" bind-port="$gst_port" \
            rb.send_rtcp_src_0 ! udpsink host=127.0.0.1 port=$((tessal_port + 1)) \
                bind-port=$((gst_port + 1)) sync=false async=false \
            >"$run/gst.log" 2>&1 &
        gst=$!
        # tessal-recv ends at its frame count (or its time-out). gst-launch
        # does not always end after rtpbin's last buffer (now and then it
        # waits at the end of the stream until killed), so the sender is
        # judged by what it sent: a sender still running then is stopped, one
        # that ended must have ended well.
        wait "$recv" 2>/dev/null
        if kill -0 "$gst" 2>/dev/null; then
            sleep 1  # the reports of the last second
            kill "$gst" 2>/dev/null
            wait "$gst" 2>/dev/null
        else
            wait "$gst" || fail "the GStreamer sender failed"
        fi
        ;;
    *) echo "unknown direction $direction" >&2; exit 2 ;;
esac
sleep 0.5
kill "$capture" 2>/dev/null
wait "$capture" 2>/dev/null

# tshark dissects every RTCP packet, of both sides, without a malformed flag.
fields="$run/rtcp.fields"
tshark -r "$pcap" -d udp.port==$((gst_port + 1)),rtcp -d udp.port==$((tessal_port + 1)),rtcp \
    -d udp.port==$gst_port,rtp -d udp.port==$tessal_port,rtp \
    -Y rtcp -T fields -e udp.dstport -e rtcp.pt -e rtcp.senderssrc -e _ws.malformed \
    >"$fields" 2>"$run/tshark.log" || fail "tshark could not read the capture"
[ -s "$fields" ] || fail "no RTCP packet captured"
if awk -F'\t' '$4 != "" { bad = 1 } END { exit !bad }' "$fields"; then
    fail "tshark flags malformed RTCP: $(awk -F'\t' '$4 != ""' "$fields" | head -n 3)"
fi
# Told apart by where they go: GStreamer may send from any port.
from_tessal=$(awk -F'\t' -v p=$((gst_port + 1)) '$1 == p' "$fields" | wc -l)
from_gst=$(awk -F'\t' -v p=$((tessal_port + 1)) '$1 == p' "$fields" | wc -l)
[ "$from_tessal" -gt 0 ] || fail "no RTCP from Tessal captured"
[ "$from_gst" -gt 0 ] || fail "no RTCP from GStreamer captured"

if [ "$direction" = gst-to-tessal ]; then
    # The SRs come from the RTP stream's SSRC.
    ssrc=$(tshark -r "$pcap" -d udp.port==$tessal_port,rtp -Y "rtp && udp.dstport == $tessal_port" \
        -T fields -e rtp.ssrc 2>/dev/null | head -n 1 | sed 's/^0x//')
    [ -n "$ssrc" ] || fail "no RTP captured"
    grep -qi "rtcp: SR from $ssrc" "$run/tessal.log" ||
        fail "no SR from the RTP stream's SSRC $ssrc reached tessal-recv"
    # A plausible NTP/RTP mapping: NTP near now, and between the first and
    # the last SR the RTP clock advanced at about 8 kHz.
    now_ntp=$(( $(date +%s) + 2208988800 ))
    grep -i "rtcp: SR from $ssrc" "$run/tessal.log" |
        sed -n 's/.*NTP \([0-9]*\)\.\([0-9]*\), RTP timestamp \([0-9]*\).*/\1 \2 \3/p' >"$run/srs"
    [ "$(wc -l < "$run/srs")" -ge 2 ] || fail "fewer than two SRs received"
    awk -v now="$now_ntp" '
        NR == 1 { s0 = $1 + $2 / 1e9; r0 = $3 }
        { s = $1 + $2 / 1e9; r = $3; if (s < now - 120 || s > now + 120) bad = "NTP far from now" }
        END {
            if (bad != "") { print bad; exit 1 }
            dt = s - s0; dr = r - r0; if (dr < 0) dr += 4294967296
            if (dt < 1) { print "SRs too close"; exit 1 }
            rate = dr / dt
            if (rate < 8000 * 0.8 || rate > 8000 * 1.2) { print "RTP clock " rate " Hz"; exit 1 }
        }' "$run/srs" || fail "implausible NTP/RTP mapping"
    grep -q "rtcp: reception from" "$run/tessal.log" || fail "tessal-recv printed no reception statistics"
fi
echo "rtcp interop $direction: ok ($from_tessal RTCP packets from Tessal, $from_gst from GStreamer)"
exit 0
