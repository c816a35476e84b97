#!/usr/bin/env bash
# Allocation budget of the whole program: with a counting allocator preloaded, no loop turn of
# the monitor against 127.0.0.1 (inside a private namespace, no delay) allocates anything once
# warmed up, neither for the exchange nor for the answered line, and neither does a turn whose
# request goes unanswered (a peer that ignores echo requests).
# Usage: alloc_budget.sh TARVEX_BINARY ALLOC_COUNT_LIBRARY [TURNS (default 2000)]
set -uo pipefail
source "$(dirname "$0")/common.sh"

binary=${1:?usage: alloc_budget.sh TARVEX_BINARY ALLOC_COUNT_LIBRARY [TURNS]}
library=${2:?usage: alloc_budget.sh TARVEX_BINARY ALLOC_COUNT_LIBRARY [TURNS]}
turns=${3:-2000}
warmUp=20
require_root_and_tools
[[ -x $binary ]] || fail "no binary at $binary"
[[ -f $library ]] || fail "no counting allocator at $library"

# measure WHAT BUDGET ARGUMENTS...: runs the monitor with the arguments in its own namespace
# until WARM_UP + TURNS + 1 lines start with "Ping ", then checks that no turn after the warm-up
# allocated more than BUDGET blocks.
measure() {
    local what=$1 budget=$2 ns log pid deadline
    shift 2
    new_namespace ns alloc
    if [[ $what == lost ]]; then
        # A peer over a veth pair that ignores echo requests: nothing answers, not even the
        # request itself, which a raw socket on loopback would see and take.
        local peer
        new_namespace peer allocpeer
        { ip -n "$ns" link add tvxa type veth peer name tvxb netns "$peer" &&
            ip -n "$ns" addr add 10.77.0.1/24 dev tvxa && ip -n "$ns" link set tvxa up &&
            ip -n "$peer" addr add 10.77.0.2/24 dev tvxb && ip -n "$peer" link set tvxb up &&
            ip netns exec "$peer" sysctl -qw net.ipv4.icmp_echo_ignore_all=1; } ||
            fail "cannot make a silent peer for $ns"
    fi
    log=$work_dir/allocations-$what
    exec 9>"$log"
    TARVEX_ALLOC_LOG_FD=9 LD_PRELOAD=$library ip netns exec "$ns" "$binary" "$@" \
        </dev/null >"$work_dir/out" 2>"$work_dir/err" &
    pid=$!
    started_pids+=("$pid")
    exec 9>&-
    deadline=$((SECONDS + 30))
    while (($(wc -l <"$log") < warmUp + turns + 1)); do
        ((SECONDS < deadline)) || fail "$what: fewer than $((warmUp + turns + 1)) loop turns in 30 s; stderr: $(head -c 1000 "$work_dir/err")"
        kill -0 "$pid" 2>/dev/null || fail "$what: the program ended; stderr: $(head -c 1000 "$work_dir/err")"
        sleep 0.1
    done
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null
    if [[ $what == lost ]] && grep -q "answered" "$work_dir/out"; then
        fail "lost: an exchange was answered"
    fi

    # Line k holds the count when the k-th "Ping " was written: turn k runs from line k to k+1.
    awk -v what="$what" -v first="$warmUp" -v turns="$turns" -v budget="$budget" '
        NR > first && NR <= first + turns + 1 {
            if (NR > first + 1) {
                spent = $1 - previous
                ++histogram[spent]
                total += spent
                if (spent > budget) ++over
            }
            previous = $1
        }
        END {
            printf "allocation budget, %s: %d loop turns, %.3f allocations per turn (budget %d); turns by count:", what, turns, total / turns, budget
            for (k in histogram) printf " %d:%d", k, histogram[k]
            printf "\n"
            exit over > 0
        }' "$log" || fail "$what: loop turns allocated more than $budget block(s) each"
}

measure answered 0 127.0.0.1 500 0
# Every request goes unanswered and times out after its millisecond.
measure lost 0 10.77.0.2 1 0
echo "allocation budget: passed"
