#!/usr/bin/env bash
# System-call budget: traced against 127.0.0.1 inside a private namespace (where the first
# datagram an exchange reads is its own request, which it accepts), every exchange after the
# first few makes exactly these calls and no others: no locale, time-zone, clock, allocation or
# resolver call per exchange.
# Usage: syscall_budget.sh TARVEX_BINARY [EXCHANGES (default 200)]
set -uo pipefail
source "$(dirname "$0")/common.sh"

binary=${1:?usage: syscall_budget.sh TARVEX_BINARY [EXCHANGES]}
exchanges=${2:-200}
require_root_and_tools strace
[[ -x $binary ]] || fail "no binary at $binary"

# One answered exchange with the socket handle taken four times (send, readiness wait,
# receive, close), each access writing the time-to-live; the readiness wait and the zero
# delay are one pselect6 each, the receive one recvfrom, the line two writes.
expected="close 1
pselect6 2
recvfrom 1
sendto 1
setsockopt 4
shutdown 1
socket 1
write 2"

ns=$(new_namespace calls)
trace=$work_dir/trace
run_in "$ns" "$work_dir/out" "$work_dir/err" strace -f -qq -o "$trace" "$binary" 127.0.0.1 500 0
deadline=$((SECONDS + 30))
while (($(grep -c 'socket(AF_INET' "$trace" 2>/dev/null || echo 0) < exchanges + 5)); do
    ((SECONDS < deadline)) || fail "fewer than $((exchanges + 5)) exchanges traced in 30 s; stderr: $(head -c 1000 "$work_dir/err")"
    sleep 0.1
done
for pid in $(ip netns pids "$ns"); do kill -KILL "$pid" 2>/dev/null; done
wait "$started_pid" 2>/dev/null

# Cut the trace at each socket(): the calls from one socket() to the next are one exchange
# with the sleep after it. The first three (lazy start-up work) and the unfinished last are
# left out.
awk -v first=4 -v count="$exchanges" -v dir="$work_dir" '
    { sub(/^[0-9]+ +/, "") }
    /^<\.\.\./ || /^\+\+\+/ || /^---/ { next }
    match($0, /^[a-z_0-9]+\(/) {
        name = substr($0, 1, RLENGTH - 1)
        if (name == "socket") ++exchange
        if (exchange >= first && exchange < first + count) {
            file = sprintf("%s/exchange.%05d", dir, exchange)
            print name >> file
            close(file)
        }
    }' "$trace"

total=0
deviating=0
for file in "$work_dir"/exchange.*; do
    total=$((total + 1))
    got=$(sort "$file" | uniq -c | awk '{ print $2, $1 }')
    if [[ $got != "$expected" ]]; then
        deviating=$((deviating + 1))
        if ((deviating <= 3)); then
            echo "exchange ${file##*.} made:" >&2
            diff <(echo "$expected") <(echo "$got") | sed -n 's/^> /  made: /p; s/^< /  budget: /p' >&2
        fi
    fi
done
((total == exchanges)) || fail "only $total complete exchanges in the trace (want $exchanges)"
echo "syscall budget: $total exchanges traced; per exchange:"
cat "$work_dir"/exchange.* | sort | uniq -c | awk -v n="$total" '{ printf "  %-14s %.2f\n", $2, $1 / n }'
((deviating == 0)) || fail "$deviating of $total exchanges left the budget (above: the first few differences)"
echo "syscall budget: passed"
