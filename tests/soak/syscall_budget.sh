#!/usr/bin/env bash
# System-call budget: traced inside private namespaces, every exchange after the first few
# makes exactly the calls listed below and no others: no locale, time-zone, clock, allocation
# or resolver call per exchange. Two cases: answered, against 127.0.0.1 (the socket's filter
# keeps the request itself out, so the one datagram read is the kernel's reply), and lost,
# against a silent peer over a veth pair with a 1 ms reply timeout.
# Usage: syscall_budget.sh TARVEX_BINARY [EXCHANGES (default 200)]
set -uo pipefail
source "$(dirname "$0")/common.sh"

binary=${1:?usage: syscall_budget.sh TARVEX_BINARY [EXCHANGES]}
exchanges=${2:-200}
require_root_and_tools strace
[[ -x $binary ]] || fail "no binary at $binary"

# Answered: a new socket gets its filter, is read empty of what came before the filter (one
# recvfrom that finds nothing) and gets receive time stamps; the socket handle is taken four times (send, readiness wait, receive, close),
# each access writing the time-to-live; the readiness wait and the zero delay are one ppoll
# each, the receive one recvmsg, the line two writes.
answeredBudget="close 1
ppoll 2
recvfrom 1
recvmsg 1
sendto 1
setsockopt 6
shutdown 1
socket 1
write 2"
# Lost: three accesses (no receive), one readiness wait that times out, no delay; the bell
# (on by default) asks whether standard error and then standard output is a terminal.
lostBudget="close 1
ioctl 2
ppoll 1
recvfrom 1
sendto 1
setsockopt 5
shutdown 1
socket 1
write 2"

failures=0

# check_budget CASE NAMESPACE BUDGET ARGUMENT...: traces the program with the arguments in the
# namespace and compares each exchange with the budget.
check_budget() {
    local name=$1 ns=$2 budget=$3
    shift 3
    local dir=$work_dir/$name
    mkdir -p "$dir"
    local trace=$dir/trace
    run_in "$ns" "$dir/out" "$dir/err" strace -f -qq -o "$trace" "$binary" "$@"
    local deadline=$((SECONDS + 30)) opened
    while :; do
        opened=$(grep -c 'socket(AF_INET' "$trace" 2>/dev/null)
        ((${opened:-0} >= exchanges + 5)) && break
        ((SECONDS < deadline)) || fail "$name: fewer than $((exchanges + 5)) exchanges traced in 30 s; stderr: $(head -c 1000 "$dir/err")"
        sleep 0.1
    done
    for pid in $(ip netns pids "$ns"); do kill -KILL "$pid" 2>/dev/null; done
    wait "$started_pid" 2>/dev/null

    # Cut the trace at each socket(): the calls from one socket() to the next are one
    # exchange with what the loop does after it. The first three (lazy start-up work) and the
    # unfinished last are left out.
    awk -v first=4 -v count="$exchanges" -v dir="$dir" '
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

    local total=0 deviating=0 file got
    for file in "$dir"/exchange.*; do
        total=$((total + 1))
        got=$(sort "$file" | uniq -c | awk '{ print $2, $1 }')
        if [[ $got != "$budget" ]]; then
            deviating=$((deviating + 1))
            if ((deviating <= 2)); then
                echo "$name: exchange ${file##*.} (calls: made, budget):" >&2
                diff <(echo "$budget") <(echo "$got") | sed -n 's/^> /  made:   /p; s/^< /  budget: /p' >&2
            fi
        fi
    done
    ((total == exchanges)) || fail "$name: only $total complete exchanges in the trace (want $exchanges)"
    echo "$name: $total exchanges traced; calls per exchange:"
    cat "$dir"/exchange.* | sort | uniq -c | awk -v n="$total" '{ printf "  %-14s %.2f\n", $2, $1 / n }'
    if ((deviating > 0)); then
        echo "$name: $deviating of $total exchanges left the budget" >&2
        failures=$((failures + 1))
    fi
}

new_namespace loopback calls
check_budget answered "$loopback" "$answeredBudget" 127.0.0.1 500 0

new_namespace monitor callm
new_namespace peer callp
link=tvc$$
ip link add "${link}a" netns "$monitor" type veth peer name "${link}b" netns "$peer" ||
    fail "cannot make the veth pair"
ip -n "$monitor" addr add 10.77.0.1/24 dev "${link}a"
ip -n "$peer" addr add 10.77.0.2/24 dev "${link}b"
ip -n "$monitor" link set "${link}a" up
ip -n "$peer" link set "${link}b" up
ip netns exec "$peer" sysctl -qw net.ipv4.icmp_echo_ignore_all=1 || fail "cannot silence the peer"
check_budget lost "$monitor" "$lostBudget" 10.77.0.2 1 0

((failures == 0)) || fail "$failures case(s) left the system-call budget"
echo "syscall budget: passed"
