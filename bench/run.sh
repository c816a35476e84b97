#!/usr/bin/env bash
# Whole-program benchmark: tarvex against 127.0.0.1 inside a private network namespace with a
# zero delay, next to iputils ping -f and a C loop that makes only the system calls of one
# exchange (the floor). Prints exchanges per second, CPU microseconds per exchange, system calls
# per exchange, peak resident set, private memory and start-up time, with the ratios. With
# valgrind installed it also counts the user-space instructions of one exchange, a figure the
# machine's load does not move.
#
# Usage: bench/run.sh [-t SECONDS] [-r STARTUP_RUNS] [TARVEX_BINARY]
#   -t  how long tarvex runs in all, over three rounds (default 10 s); the floor loop makes as
#       many exchanges after each round, ping as many as tarvex made
#   -r  runs for the start-up timing (default 300)
# Needs root (raw sockets, namespaces), ip, cc; strace, ping, hyperfine and valgrind are used when
# present.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
seconds=10
startupRuns=300
while getopts "t:r:h" option; do
    case $option in
        t) seconds=$OPTARG ;;
        r) startupRuns=$OPTARG ;;
        *) sed -n '2,10p' "$0"; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
tarvex=${1:-${TARVEX_BINARY:-$here/../build/tarvex}}

die() { echo "bench: $*" >&2; exit 1; }
[[ $(id -u) == 0 ]] || die "needs root (raw sockets and network namespaces)"
[[ -x $tarvex ]] || die "no tarvex binary at $tarvex (give its path as the argument)"
tarvex=$(realpath "$tarvex")
command -v ip >/dev/null || die "needs ip (iproute2)"
command -v cc >/dev/null || die "needs a C compiler (cc)"
havePing=0; command -v ping >/dev/null && ping -V 2>/dev/null | grep -q iputils && havePing=1
haveStrace=0; command -v strace >/dev/null && haveStrace=1
haveValgrind=0; command -v valgrind >/dev/null && haveValgrind=1

work=$(mktemp -d /tmp/tarvex-bench.XXXXXX)
ns=tvxbench$$
cleanup() {
    local pid
    for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null || true; done
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
ip netns add "$ns"
ip -n "$ns" link set lo up
inNs() { ip netns exec "$ns" "$@"; }

cc -O2 -o "$work/measure" "$here/measure.c"
cc -O2 -o "$work/floor_loop" "$here/floor_loop.c"

# Reads "key=value ..." from measure into variables prefixed with $1.
readMeasure() {
    local prefix=$1 line=$2 pair
    for pair in $line; do
        printf -v "${prefix}_${pair%%=*}" '%s' "${pair#*=}"
    done
}
calc() { awk "BEGIN { printf \"%.${2:-2}f\", $1 }"; }

# System calls per exchange from a full trace: the calls from the first sendto up to the last,
# divided by the exchanges between them, so start-up and shut-down do not count. The breakdown
# by name goes to $2.
syscallsPerExchange() {
    local trace=$1 breakdown=$2
    awk '
        { sub(/^[0-9]+ +/, "") }
        /^<\.\.\./ || /^\+\+\+/ || /^---/ { next }
        match($0, /^[a-z_0-9]+\(/) {
            name = substr($0, 1, RLENGTH - 1)
            calls[++n] = name
            if (name == "sendto") { if (!first) first = n; last = n; ++sends }
        }
        END {
            if (sends < 2) { print "0"; exit }
            for (i = first; i < last; ++i) { ++byName[calls[i]]; ++total }
            exchanges = sends - 1
            for (k in byName) printf "%s %.2f\n", k, byName[k] / exchanges > "'"$breakdown"'"
            printf "%.2f\n", total / exchanges
        }' "$trace"
}

echo "tarvex benchmark: $tarvex"
echo "kernel $(uname -r), $(nproc) CPUs, ${seconds} s run against 127.0.0.1 in namespace $ns"
echo

# --- tarvex and the floor loop, in alternating rounds ---------------------------------------------
# Each round runs tarvex for a third of the time, then the floor loop for as many exchanges; both
# write their lines to a file, so output costs the same on both sides. Rounds taken side by side
# see the same load, and their median ratio is the one compared with the goal.
rounds=3
maxCount=200000  # exchanges of the floor loop per round, and of ping
roundSeconds=$(calc "$seconds / $rounds" 3)
tvLines=0; count=0; ratios=()
tv_user_us=0; tv_system_us=0; tv_wall_us=0; tv_maxrss_kib=0
fl_user_us=0; fl_system_us=0; fl_wall_us=0; fl_maxrss_kib=0
for ((round = 1; round <= rounds; ++round)); do
    readMeasure tr "$(inNs "$work/measure" "$roundSeconds" "$work/tarvex.out" "$tarvex" 127.0.0.1 500 0)"
    lines=$(grep -c '^Ping answered! 127\.0\.0\.1 \[[0-9]*ms\]$' "$work/tarvex.out" || true)
    [[ $lines -gt 0 ]] || die "tarvex printed no answered line: $(head -c 300 "$work/tarvex.out")"
    n=$((lines > maxCount ? maxCount : lines))
    readMeasure fr "$(inNs "$work/measure" 0 "$work/floor.out" "$work/floor_loop" "$n" 127.0.0.1 2>/dev/null)"
    ratios+=("$(calc "(($tr_user_us + $tr_system_us) / $lines) / (($fr_user_us + $fr_system_us) / $n)")")
    tvLines=$((tvLines + lines)); count=$((count + n))
    for key in user_us system_us wall_us; do
        declare "tv_$key=$((tv_$key + tr_$key))" "fl_$key=$((fl_$key + fr_$key))"
    done
    tv_maxrss_kib=$((tr_maxrss_kib > tv_maxrss_kib ? tr_maxrss_kib : tv_maxrss_kib))
    fl_maxrss_kib=$((fr_maxrss_kib > fl_maxrss_kib ? fr_maxrss_kib : fl_maxrss_kib))
done
tvCpu=$(calc "($tv_user_us + $tv_system_us) / $tvLines")
tvRate=$(calc "$tvLines / ($tv_wall_us / 1e6)" 0)
flCpu=$(calc "($fl_user_us + $fl_system_us) / $count")
flRate=$(calc "$count / ($fl_wall_us / 1e6)" 0)
medianRatio=$(printf '%s\n' "${ratios[@]}" | sort -n | sed -n "$(((rounds + 1) / 2))p")
pingCount=$((tvLines > maxCount ? maxCount : tvLines))

# --- iputils ping -f, same number of exchanges -------------------------------------------------
if ((havePing)); then
    readMeasure pg "$(inNs "$work/measure" 0 "$work/ping.out" ping -q -f -c "$pingCount" 127.0.0.1)"
    pgCpu=$(calc "($pg_user_us + $pg_system_us) / $pingCount")
    pgRate=$(calc "$pingCount / ($pg_wall_us / 1e6)" 0)
fi

# --- system calls per exchange (separate short traced runs) ------------------------------------
tvCalls=n/a; flCalls=n/a; pgCalls=n/a
if ((haveStrace)); then
    # tarvex never ends by itself: trace it until 1000 exchanges are in, then end it.
    inNs strace -f -qq -o "$work/tarvex.trace" "$tarvex" 127.0.0.1 500 0 >/dev/null 2>&1 &
    tracer=$!
    for ((i = 0; i < 300; ++i)); do
        sends=$(grep -c '^[0-9]* *sendto(' "$work/tarvex.trace" 2>/dev/null || true)
        ((${sends:-0} > 1000)) && break
        sleep 0.1
    done
    for pid in $(ip netns pids "$ns"); do kill -KILL "$pid" 2>/dev/null || true; done
    wait "$tracer" 2>/dev/null || true
    tvCalls=$(syscallsPerExchange "$work/tarvex.trace" "$work/tarvex.calls")
    inNs strace -f -qq -o "$work/floor.trace" "$work/floor_loop" 1000 127.0.0.1 >/dev/null 2>&1
    flCalls=$(syscallsPerExchange "$work/floor.trace" "$work/floor.calls")
    if ((havePing)); then
        inNs strace -f -qq -o "$work/ping.trace" ping -q -f -c 1000 127.0.0.1 >/dev/null
        pgCalls=$(syscallsPerExchange "$work/ping.trace" "$work/ping.calls")
    fi
fi

# --- user-space instructions per exchange (callgrind) ------------------------------------------
# Counted, not timed, so load on the machine does not move them. Start-up and shut-down cancel
# in the difference of two runs: tarvex for 5 s and 8 s, the floor loop for 2000 and 5000
# exchanges.
callgrindTotal() { sed -n 's/^summary: //p' "$1"; }
tarvexInstructions() {
    local locale=$1 seconds lines=() totals=()
    for seconds in 5 8; do
        LC_ALL=$locale inNs "$work/measure" "$seconds" "$work/cg.out" valgrind --tool=callgrind \
            --callgrind-out-file="$work/cg.$seconds" "$tarvex" 127.0.0.1 500 0 >/dev/null 2>&1
        lines+=("$(grep -c '^Ping ' "$work/cg.out" || true)")
        totals+=("$(callgrindTotal "$work/cg.$seconds")")
    done
    ((lines[1] > lines[0])) || die "callgrind: tarvex made no exchanges under valgrind"
    calc "(${totals[1]} - ${totals[0]}) / (${lines[1]} - ${lines[0]})" 0
}
tvInsUtf8=n/a; tvInsC=n/a; flIns=n/a
if ((haveValgrind)); then
    tvInsUtf8=$(tarvexInstructions C.UTF-8)
    tvInsC=$(tarvexInstructions C)
    for n in 2000 5000; do
        inNs valgrind --tool=callgrind --callgrind-out-file="$work/floor.cg.$n" \
            "$work/floor_loop" "$n" 127.0.0.1 >/dev/null 2>&1
    done
    flIns=$(calc "($(callgrindTotal "$work/floor.cg.5000") - $(callgrindTotal "$work/floor.cg.2000")) / 3000" 0)
fi

# --- start-up to the usage line ----------------------------------------------------------------
# hyperfine when present (mean of many runs without a shell in between), else a timed loop.
startupUs() {
    if command -v hyperfine >/dev/null; then
        hyperfine -N --warmup 20 --runs "$startupRuns" --export-csv "$work/startup.csv" \
            "$*" >/dev/null 2>&1 &&
            awk -F, 'NR == 2 { printf "%.0f", $2 * 1e6 }' "$work/startup.csv" && return
    fi
    local start end i
    start=$(date +%s%N)
    for ((i = 0; i < startupRuns; ++i)); do "$@" >/dev/null 2>&1 || true; done
    end=$(date +%s%N)
    calc "($end - $start) / 1000 / $startupRuns" 0
}
"$tarvex" >/dev/null 2>&1 || true   # warm the page cache
tvStart=$(startupUs "$tarvex")
if ((havePing)); then pgStart=$(startupUs ping -V); fi
readMeasure tu "$("$work/measure" 0 /dev/null "$tarvex")"
if ((havePing)); then readMeasure pu "$("$work/measure" 0 /dev/null ping -V)"; fi

# --- private memory while running --------------------------------------------------------------
# Private_Dirty counts only the pages the process alone has written: a shared C++ runtime or C
# library adds to the resident set of every program but not to this.
privateDirtyKib() {
    local pid kib
    inNs "$@" >/dev/null 2>&1 &
    pid=$!
    sleep 1
    kib=$(awk '/^Private_Dirty:/ { print $2 }' "/proc/$pid/smaps_rollup" 2>/dev/null || true)
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    echo "${kib:-n/a}"
}
tvPrivate=$(privateDirtyKib "$tarvex" -b 127.0.0.1 500 100)
if ((havePing)); then pgPrivate=$(privateDirtyKib ping -q -i 0.1 127.0.0.1); fi

# --- report ------------------------------------------------------------------------------------
row() { printf '%-28s %14s %14s %14s\n' "$@"; }
row "" "tarvex" "floor loop" "ping -f"
row "exchanges" "$tvLines" "$count" "$( ((havePing)) && echo "$pingCount" || echo n/a)"
row "exchanges per second" "$tvRate" "$flRate" "${pgRate:-n/a}"
row "CPU us per exchange" "$tvCpu" "$flCpu" "${pgCpu:-n/a}"
row "  of which user" "$(calc "$tv_user_us / $tvLines")" "$(calc "$fl_user_us / $count")" \
    "$( ((havePing)) && calc "$pg_user_us / $pingCount" || echo n/a)"
row "  of which system" "$(calc "$tv_system_us / $tvLines")" "$(calc "$fl_system_us / $count")" \
    "$( ((havePing)) && calc "$pg_system_us / $pingCount" || echo n/a)"
row "syscalls per exchange" "$tvCalls" "$flCalls" "$pgCalls"
row "instructions per exchange" "$tvInsUtf8" "$flIns" "n/a"
row "  same in the C locale" "$tvInsC" "" ""
row "peak RSS KiB (exchanges)" "$tv_maxrss_kib" "$fl_maxrss_kib" "${pg_maxrss_kib:-n/a}"
row "start-up us (usage/-V)" "$tvStart" "" "${pgStart:-n/a}"
row "peak RSS KiB (usage/-V)" "$tu_maxrss_kib" "" "${pu_maxrss_kib:-n/a}"
row "private dirty KiB (running)" "$tvPrivate" "" "${pgPrivate:-n/a}"
echo
if [[ -f $work/tarvex.calls ]]; then
    echo "tarvex system calls per exchange: $(sort "$work/tarvex.calls" | tr '\n' ',' | sed 's/,$//; s/,/, /g')"
    echo
fi

verdict() { awk "BEGIN { exit !($1) }" && echo "met" || echo "NOT met"; }
if ((haveValgrind)); then
    echo "user-space instructions per exchange: C.UTF-8 $tvInsUtf8, C $tvInsC, floor $flIns (goal <= 3000: $(verdict "$tvInsUtf8 <= 3000 && $tvInsC <= 3000"))"
fi
echo "CPU per exchange: tarvex/floor = $medianRatio, the median of $rounds rounds (${ratios[*]}) (goal <= 1.25: $(verdict "$medianRatio <= 1.25"))"
if ((havePing)); then
    echo "CPU per exchange: tarvex/ping = $(calc "$tvCpu / $pgCpu")"
    echo "peak RSS: tarvex/ping = $(calc "$tv_maxrss_kib / $pg_maxrss_kib") ($tv_maxrss_kib vs $pg_maxrss_kib KiB)"
    echo "private memory: tarvex/ping = $(calc "$tvPrivate / $pgPrivate") ($tvPrivate vs $pgPrivate KiB Private_Dirty; goal <= 1: $(verdict "$tvPrivate <= $pgPrivate"))"
    echo "start-up: tarvex/ping -V = $(calc "$tvStart / $pgStart") (goal <= 1.5: $(verdict "$tvStart <= 1.5 * $pgStart"))"
fi
