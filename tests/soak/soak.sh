#!/usr/bin/env bash
# Soak: the program pings 127.0.0.1 inside a private namespace with no delay for a while. Its
# descriptors never grow past stdin, stdout, stderr, the signal pipe and the one raw socket of
# an exchange, its resident set does not grow after warm-up, and every line it prints is well
# formed. Two Control-Cs end it as the alarm rules say.
# Usage: soak.sh TARVEX_BINARY [SECONDS (default 20)] [RSS_SLACK_KIB (default 64)]
set -uo pipefail
source "$(dirname "$0")/common.sh"

binary=${1:?usage: soak.sh TARVEX_BINARY [SECONDS] [RSS_SLACK_KIB]}
seconds=${2:-20}
rssSlack=${3:-64}
warmUp=3
require_root_and_tools
[[ -x $binary ]] || fail "no binary at $binary"
# Under AddressSanitizer freed blocks wait in a quarantine that grows the resident set by
# design; without it the resident set is the program's own. The leak check at exit stays.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=0:thread_local_quarantine_size_kb=0"

new_namespace ns soak
out=$work_dir/out
err=$work_dir/err
run_in "$ns" "$out" "$err" "$binary" 127.0.0.1 500 0
pid=$started_pid
wait_for_text "$out" "Ping " 5 || fail "no exchange within 5 s; output: $(head -c 500 "$out") $(head -c 500 "$err")"

maxDescriptors=0
baseRss=0
maxRss=0
samples=0
start=$SECONDS
while ((SECONDS - start < seconds)); do
    kill -0 "$pid" 2>/dev/null || fail "the program ended by itself; stderr: $(head -c 2000 "$err")"
    descriptors=$(descriptor_count "$pid")
    ((descriptors > maxDescriptors)) && maxDescriptors=$descriptors
    rss=$(status_kib "$pid" VmRSS)
    if ((SECONDS - start >= warmUp)); then
        ((baseRss == 0)) && baseRss=$rss
        ((rss > maxRss)) && maxRss=$rss
    fi
    samples=$((samples + 1))
    sleep 0.1
done
hwm=$(status_kib "$pid" VmHWM)
interrupt_twice "$pid" "$out" "$err"

answered=$(grep -c '^Ping answered! 127\.0\.0\.1 \[[0-9]\+ms\]$' "$out")
echo "soak: ${seconds} s, $answered exchanges, $samples samples, at most $maxDescriptors descriptors, VmRSS $baseRss KiB after warm-up, at most $maxRss KiB, VmHWM $hwm KiB"

((maxDescriptors <= 6)) || fail "$maxDescriptors descriptors open at once (at most 6: stdin, stdout, stderr, the two ends of the signal pipe, the raw socket)"
((maxRss - baseRss <= rssSlack)) || fail "resident set grew from $baseRss to $maxRss KiB after warm-up (slack $rssSlack KiB)"
((answered >= 100)) || fail "only $answered answered exchanges in ${seconds} s"

# The whole output: banner, settings, then answered lines only, then the alarm's two lines.
lines=$(wc -l <"$out")
head -n 5 "$out" >"$work_dir/head"
tail -n +6 "$out" | head -n "$((lines - 7))" >"$work_dir/body"
tail -n 2 "$out" >"$work_dir/tail"
bad=$(grep -vc '^Ping answered! 127\.0\.0\.1 \[[0-9]\+ms\]$' "$work_dir/body")
((bad == 0)) || fail "$bad malformed exchange lines, first: $(grep -vm1 '^Ping answered! 127\.0\.0\.1 \[[0-9]\+ms\]$' "$work_dir/body" | od -c | head -5)"
[[ $(sed -n 4p "$work_dir/head") == *127.0.0.1* ]] || fail "no settings line naming 127.0.0.1: $(cat "$work_dir/head")"
[[ $(sed -n 1p "$work_dir/tail") == "" ]] || fail "the alarm's first line is not empty: $(od -c "$work_dir/tail" | head -3)"
grep -qx 'Error occured \[.*\]' <(sed -n 2p "$work_dir/tail") || fail "no failure line: $(cat "$work_dir/tail")"
[[ -z $(tail -c 1 "$out" | tr -d '\n') ]] || fail "the output does not end with a line feed"
echo "soak: passed"
