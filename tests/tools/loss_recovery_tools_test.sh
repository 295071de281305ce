#!/bin/sh
# The tools recover lost packets through tessal-impair at 5% loss: tessal-recv
# --nack asks, tessal-send --nack (or --rtx PT) answers, and every test frame
# arrives intact; without --nack frames are lost. Their summaries count it.
#
#   loss_recovery_tools_test.sh TOOLS_DIR
set -u
tools="$1"
fail() { echo "FAIL: $*" >&2; exit 1; }

"$tools/tessal-send" --rtx 95 127.0.0.1 5004 >/dev/null 2>&1
[ $? -eq 2 ] || fail "--rtx 95 must be refused"
"$tools/tessal-recv" --nack 5004 >/dev/null 2>&1
[ $? -eq 2 ] || fail "--nack without --peer must be refused"

port_in_use() {
    hex=$(printf '%04X' "$1")
    awk '{print $2}' /proc/net/udp /proc/net/udp6 2>/dev/null | grep -qi ":$hex\$"
}
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
run() {  # MODE: nack | rtx | none
    n=0
    while :; do
        base=$(( 20000 + ($$ * 13 + n * 7919) % 40000 ))
        base=$(( base - base % 8 ))
        busy=0
        for p in 0 1 2 3 4 5 6 7; do port_in_use $((base + p)) && busy=1; done
        [ "$busy" = 0 ] && break
        n=$((n + 1))
        [ "$n" -lt 50 ] || fail "no free ports"
    done
    relay_a=$base; sender=$((base + 2)); receiver=$((base + 4)); relay_b=$((base + 6))
    case "$1" in
        nack) send_opt="--nack"; recv_opt="--nack" ;;
        rtx) send_opt="--rtx 97"; recv_opt="--rtx 97" ;;
        none) send_opt=""; recv_opt="" ;;
    esac
    # shellcheck disable=SC2086
    "$tools/tessal-recv" --fragment --count 200 --timeout 4 --quiet $recv_opt \
        --peer 127.0.0.1 "$relay_b" "$receiver" >"$work/recv-$1.log" 2>&1 &
    recv_pid=$!
    "$tools/tessal-impair" --port-a "$relay_a" --to-b "$receiver" --port-b "$relay_b" \
        --to-a "$sender" --rtcp-pair --seed 11 --dir ab --loss 5% --delay 10 --dir ba --delay 10 \
        >"$work/relay-$1.log" 2>&1 &
    relay_pid=$!
    # RFC 4585: the receiver may send one early NACK before its first regular
    # report; the media that matters starts once RTCP runs.
    sleep 2.5
    # shellcheck disable=SC2086
    "$tools/tessal-send" --fragment --count 200 --size 20000 --rate 50 --quiet $send_opt \
        --src-port "$sender" 127.0.0.1 "$relay_a" >"$work/send-$1.log" 2>&1 || fail "tessal-send ($1)"
    wait "$recv_pid"
    status=$?
    kill -INT "$relay_pid"
    wait "$relay_pid"
    grep -q "lost-random [1-9]" "$work/relay-$1.log" || fail "the relay lost nothing ($1)"
    return $status
}

run nack || { cat "$work/recv-nack.log"; fail "frames lost with --nack"; }
grep -q "test frames intact 200, lost 0, corrupt 0" "$work/recv-nack.log" ||
    fail "not every frame intact: $(cat "$work/recv-nack.log")"
grep -q "recovered in time [1-9]" "$work/recv-nack.log" || fail "tessal-recv recovered nothing"
grep -q "packets resent [1-9]" "$work/send-nack.log" || fail "tessal-send resent nothing"

run rtx || { cat "$work/recv-rtx.log"; fail "frames lost with --rtx"; }
grep -q "retransmissions received [1-9]" "$work/recv-rtx.log" || fail "no RTX received"

if run none; then
    fail "without --nack nothing was lost: the test cannot bite"
fi
grep -q "lost [1-9]" "$work/recv-none.log" || fail "without --nack no frame shows as lost"
echo "loss recovery tools: ok"
