#!/bin/sh
# tessal-send/tessal-recv --set: unknown keys and refused values are clear
# errors; accepted ones take effect (the two-process tests send with them).
set -u
tools="$1"
fail() { echo "FAIL: $*" >&2; exit 1; }

out="$("$tools/tessal-send" --set nonsense=1 127.0.0.1 5004 2>&1)"
[ $? -eq 2 ] || fail "unknown key: exit status"
echo "$out" | grep -q "unknown configuration key nonsense" || fail "unknown key: message: $out"

out="$("$tools/tessal-recv" --set PATH_MTU=abc 5004 2>&1)"
[ $? -eq 2 ] || fail "bad number: exit status"
echo "$out" | grep -q '"abc" is not a number' || fail "bad number: message: $out"

out="$("$tools/tessal-send" --count 1 --quiet --set path_mtu=50 127.0.0.1 5004 2>&1)"
[ $? -ne 0 ] || fail "refused value: exit status"
echo "$out" | grep -q "the stream refused --set path_mtu=50" || fail "refused value: message: $out"

out="$("$tools/tessal-send" --count 1 --quiet --set Rcc_Dynamic_Pt=100 --set path_mtu=1200 127.0.0.1 5004 2>&1)"
[ $? -eq 0 ] || fail "accepted values: $out"
echo "set option test: ok"
