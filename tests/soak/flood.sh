#!/usr/bin/env bash
# Flood: the program pings a peer namespace over a veth pair while a third address behind the
# peer sends it a stream of ICMP datagrams that answer none of its requests (echo replies and
# requests with a foreign identifier, unreachable and time-exceeded messages quoting foreign
# requests). Every answered line still names the peer, most exchanges are answered, and a
# Control-C still starts the alarm at once and a second one ends the program.
# Usage: flood.sh TARVEX_BINARY FLOODER [SECONDS (default 6)] [PACKETS_PER_SECOND (20000)]
set -uo pipefail
source "$(dirname "$0")/common.sh"

binary=${1:?usage: flood.sh TARVEX_BINARY FLOODER [SECONDS] [RATE]}
flooder=${2:?usage: flood.sh TARVEX_BINARY FLOODER [SECONDS] [RATE]}
seconds=${3:-6}
rate=${4:-20000}
require_root_and_tools
[[ -x $binary ]] || fail "no binary at $binary"
[[ -x $flooder ]] || fail "no flooder at $flooder"

new_namespace monitor flm
new_namespace peer flp
link=tvf$$
ip link add "${link}a" netns "$monitor" type veth peer name "${link}b" netns "$peer" ||
    fail "cannot make the veth pair"
ip -n "$monitor" addr add 10.77.0.1/24 dev "${link}a"
ip -n "$peer" addr add 10.77.0.2/24 dev "${link}b"
ip -n "$peer" addr add 10.77.0.3/24 dev "${link}b"
ip -n "$monitor" link set "${link}a" up
ip -n "$peer" link set "${link}b" up

out=$work_dir/out
err=$work_dir/err
run_in "$monitor" "$out" "$err" "$binary" 10.77.0.2 1000 0
pid=$started_pid
wait_for_text "$out" "Ping answered! 10.77.0.2" 10 ||
    fail "the peer was not answered within 10 s: $(head -c 800 "$out") $(head -c 500 "$err")"

before=$(wc -l <"$out")
identifier=$(((pid & 0xFFFF) ^ 0x5A5A))
ip netns exec "$peer" "$flooder" 10.77.0.3 10.77.0.1 "$identifier" "$((seconds + 5))" "$rate" \
    2>"$work_dir/flooder" &
started_pids+=($!)
sleep "$seconds"
kill -0 "$pid" 2>/dev/null || fail "the program ended during the flood; stderr: $(head -c 2000 "$err")"

# Control-C while the flood goes on.
interrupt_twice "$pid" "$out" "$err"
during=$(tail -n +"$((before + 1))" "$out" | grep '^Ping ')
answered=$(grep -c '^Ping answered! 10\.77\.0\.2 \[[0-9]\+ms\]$' <<<"$during")
lost=$(grep -cx 'Ping lost?' <<<"$during")
total=$(grep -c . <<<"$during")
echo "flood: ${seconds} s at $rate datagrams/s: $total exchanges, $answered answered, $lost lost"
((total == answered + lost)) || fail "malformed or foreign lines during the flood: $(grep -v -e '^Ping answered! 10\.77\.0\.2 \[[0-9]\+ms\]$' -e '^Ping lost?$' <<<"$during" | head -3)"
((answered >= 10)) || fail "only $answered exchanges answered during the flood"
((answered * 2 >= total)) || fail "fewer than half the exchanges answered during the flood ($answered of $total)"
echo "flood: passed"
