#!/bin/sh
# Sends generated, self-checking frames from tessal-send to tessal-recv over
# 127.0.0.1 and prints both summaries. Exit status 0 when every frame arrived
# intact.
#
#   scripts/loopback_demo.sh TOOLS_DIR [FRAMES] [FRAME_BYTES] [EXTRA_SEND_OPTIONS...]
set -u
tools="$1"
frames="${2:-20000}"
size="${3:-8000}"
if [ $# -ge 3 ]; then shift 3; else shift $#; fi

# SRTP keys and the format go to both ends; every other extra option to the
# sender only.
recv_extra=""
prev=""
for arg in "$@"; do
    case "$prev" in
        --srtp|--srtp-key|--srtp-salt|--format) recv_extra="$recv_extra $prev $arg" ;;
    esac
    prev="$arg"
done

out="$(mktemp)"
err="$(mktemp)"
trap 'rm -f "$out" "$err"' EXIT

port_in_use() {  # whether some UDP socket is bound to port $1
    hex=$(printf '%04X' "$1")
    awk '{print $2}' /proc/net/udp /proc/net/udp6 2>/dev/null | grep -qi ":$hex\$"
}

# Find a free port: tessal-recv exits at once when it cannot bind. RTCP runs
# on the RTP ports plus one at both ends: the sender's port is sport.
pid=""
for attempt in 1 2 3 4 5 6 7 8 9 10; do
    port=$(( 20000 + ($$ * 7 + attempt * 7919) % 40000 ))
    port=$(( port - port % 2 ))
    sport=$(( port + 2 ))
    if port_in_use "$port" || port_in_use $((port + 1)) || port_in_use "$sport" ||
        port_in_use $((sport + 1)); then
        continue
    fi
    # shellcheck disable=SC2086 # hex keys: no spaces
    "$tools/tessal-recv" --count "$frames" --fragment --timeout 10 --quiet --rtcp \
        --peer 127.0.0.1 "$sport" $recv_extra "$port" >"$out" 2>"$err" &
    pid=$!
    sleep 0.3
    if kill -0 "$pid" 2>/dev/null; then
        break
    fi
    wait "$pid" 2>/dev/null
    pid=""
done
if [ -z "$pid" ]; then
    echo "loopback demo: could not find a free port" >&2
    exit 1
fi

echo "Sending $frames frames of $size bytes over 127.0.0.1 port $port ..."
send_err="$(mktemp)"
"$tools/tessal-send" --count "$frames" --size "$size" --fragment --quiet --rtcp --src-port "$sport" \
    "$@" 127.0.0.1 "$port" 2>"$send_err"
send_status=$?
wait "$pid"
recv_status=$?
cat "$out"
if [ "$send_status" -ne 0 ] || [ "$recv_status" -ne 0 ]; then
    echo "loopback demo: FAILED (send $send_status, receive $recv_status)" >&2
    cat "$send_err" "$err" >&2
    rm -f "$send_err"
    exit 1
fi
rm -f "$send_err"
echo "loopback demo: every frame arrived intact"
