#!/bin/sh
# tessal-send --zrtp to tessal-recv --zrtp over 127.0.0.1: both ends agree
# their keys by ZRTP and print the same short authentication string, and
# the frames arrive.
#
#   tests/tools/zrtp_sas_test.sh TOOLS_DIR
set -u
tools="$1"
fail() { echo "FAIL: $*" >&2; exit 1; }

port_in_use() {  # whether some UDP socket is bound to port $1
    hex=$(printf '%04X' "$1")
    awk '{print $2}' /proc/net/udp /proc/net/udp6 2>/dev/null | grep -qi ":$hex\$"
}

recv_out="$(mktemp)"
send_out="$(mktemp)"
trap 'rm -f "$recv_out" "$send_out"' EXIT

pid=""
for attempt in 1 2 3 4 5 6 7 8 9 10; do
    port=$(( 20000 + ($$ * 11 + attempt * 7919) % 40000 ))
    port=$(( port - port % 2 ))
    sport=$(( port + 2 ))
    if port_in_use "$port" || port_in_use "$sport"; then
        continue
    fi
    "$tools/tessal-recv" --zrtp --count 50 --timeout 10 --quiet \
        --peer 127.0.0.1 "$sport" "$port" >"$recv_out" 2>&1 &
    pid=$!
    sleep 0.3
    if kill -0 "$pid" 2>/dev/null; then
        break
    fi
    wait "$pid" 2>/dev/null
    pid=""
done
[ -n "$pid" ] || fail "could not find a free port"

"$tools/tessal-send" --zrtp --count 50 --size 500 --quiet --src-port "$sport" \
    127.0.0.1 "$port" >"$send_out" 2>&1
send_status=$?
wait "$pid"
recv_status=$?

sas_send="$(sed -n 's/^zrtp: sas \([A-Z2-9]\{4\}\) .*/\1/p' "$send_out")"
sas_recv="$(sed -n 's/^zrtp: sas \([A-Z2-9]\{4\}\) .*/\1/p' "$recv_out")"
[ "$send_status" -eq 0 ] || fail "tessal-send exited $send_status: $(cat "$send_out")"
[ "$recv_status" -eq 0 ] || fail "tessal-recv exited $recv_status: $(cat "$recv_out")"
[ -n "$sas_send" ] || fail "tessal-send printed no SAS: $(cat "$send_out")"
[ -n "$sas_recv" ] || fail "tessal-recv printed no SAS: $(cat "$recv_out")"
[ "$sas_send" = "$sas_recv" ] || fail "the SAS differ: $sas_send and $sas_recv"
echo "zrtp sas test: both ends show $sas_send"
