#!/bin/sh
# tessal-impair: bad options are clear errors; between tessal-send and
# tessal-recv it loses what it says it lost, and prints its counts.
set -u
tools="$1"
fail() { echo "FAIL: $*" >&2; exit 1; }

out="$("$tools/tessal-impair" --loss 2 --to-b 5004 2>&1)"
[ $? -eq 2 ] || fail "bad fraction: exit status"
echo "$out" | grep -q "bad value 2" || fail "bad fraction: message: $out"
out="$("$tools/tessal-impair" --dir up 2>&1)"
[ $? -eq 2 ] || fail "bad direction: exit status"

port_in_use() {  # whether some UDP socket is bound to port $1
    hex=$(printf '%04X' "$1")
    awk '{print $2}' /proc/net/udp /proc/net/udp6 2>/dev/null | grep -qi ":$hex\$"
}
log="$(mktemp)"
recv_out="$(mktemp)"
trap 'rm -f "$log" "$recv_out"' EXIT
for attempt in 1 2 3 4 5 6 7 8 9 10; do
    relay=$(( 20000 + ($$ * 13 + attempt * 7919) % 40000 ))
    recv=$(( relay + 2 ))
    port_in_use "$relay" || port_in_use "$recv" || break
done
"$tools/tessal-recv" --count 1000 --timeout 5 --quiet "$recv" >"$recv_out" 2>&1 &
recv_pid=$!
"$tools/tessal-impair" --port-a "$relay" --to-b "$recv" --seed 7 --dir ab --loss 10% \
    --duration 8 >"$log" 2>&1 &
relay_pid=$!
sleep 0.5
"$tools/tessal-send" --count 1000 --size 200 --rate 500 --quiet 127.0.0.1 "$relay" ||
    fail "tessal-send"
wait "$recv_pid"
kill "$relay_pid" 2>/dev/null
wait "$relay_pid"
cat "$log"
line="$(grep '^A->B rtp' "$log")" || fail "no A->B line"
received=$(echo "$line" | sed 's/.* received \([0-9]*\) .*/\1/')
lost=$(echo "$line" | sed 's/.* lost-random \([0-9]*\) .*/\1/')
[ "$received" -eq 1000 ] || fail "the relay received $received of 1000"
[ "$lost" -gt 50 ] && [ "$lost" -lt 150 ] || fail "lost $lost at 10%"
grep -q "^B->A rtp : received 0 " "$log" || fail "B->A should be idle"
echo "impair tool test: ok"
