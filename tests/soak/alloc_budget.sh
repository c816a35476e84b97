#!/usr/bin/env bash
# Allocation budget of the whole program: with a counting allocator preloaded, every loop turn
# of the monitor against 127.0.0.1 (inside a private namespace, no delay) allocates at most
# BUDGET blocks once warmed up: the answered line's text, nothing for the exchange itself.
# Usage: alloc_budget.sh TARVEX_BINARY ALLOC_COUNT_LIBRARY [TURNS (default 2000)] [BUDGET (1)]
set -uo pipefail
source "$(dirname "$0")/common.sh"

binary=${1:?usage: alloc_budget.sh TARVEX_BINARY ALLOC_COUNT_LIBRARY [TURNS] [BUDGET]}
library=${2:?usage: alloc_budget.sh TARVEX_BINARY ALLOC_COUNT_LIBRARY [TURNS] [BUDGET]}
turns=${3:-2000}
budget=${4:-1}
warmUp=20
require_root_and_tools
[[ -x $binary ]] || fail "no binary at $binary"
[[ -f $library ]] || fail "no counting allocator at $library"

new_namespace ns alloc
log=$work_dir/allocations
exec 9>"$log"
TARVEX_ALLOC_LOG_FD=9 LD_PRELOAD=$library ip netns exec "$ns" "$binary" 127.0.0.1 500 0 \
    </dev/null >"$work_dir/out" 2>"$work_dir/err" &
pid=$!
started_pids+=("$pid")
exec 9>&-
deadline=$((SECONDS + 30))
while (($(wc -l <"$log") < warmUp + turns + 1)); do
    ((SECONDS < deadline)) || fail "fewer than $((warmUp + turns + 1)) loop turns in 30 s; stderr: $(head -c 1000 "$work_dir/err")"
    kill -0 "$pid" 2>/dev/null || fail "the program ended; stderr: $(head -c 1000 "$work_dir/err")"
    sleep 0.1
done
kill -KILL "$pid"
wait "$pid" 2>/dev/null

# Line k holds the count when the k-th "Ping " was written: turn k runs from line k to k+1.
awk -v first="$warmUp" -v turns="$turns" -v budget="$budget" '
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
        printf "allocation budget: %d loop turns, %.3f allocations per turn (budget %d); turns by count:", turns, total / turns, budget
        for (k in histogram) printf " %d:%d", k, histogram[k]
        printf "\n"
        exit over > 0
    }' "$log" || fail "loop turns allocated more than $budget block(s) each"
echo "allocation budget: passed"
