#!/usr/bin/env bash
# Runs every built fuzz target for a bounded time each. A crash, a hang (one input running past
# the per-input time-out), a leak or a sanitizer report fails the run; the input that caused it
# is left in BUILD_DIR/artifacts/.
# Usage: fuzz/run.sh [SECONDS_EACH] [BUILD_DIR]   (defaults: 30 s, build-fuzz; builds if needed)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-30}
build=${2:-$here/../build-fuzz}
mkdir -p "$build"
if ! "$here/build.sh" "$build" >"$build/build.log" 2>&1; then
    grep -E -m 20 "error|did not build" "$build/build.log" >&2
fi
mkdir -p "$build/artifacts"
mapfile -t targets < <(sed -n 's/^tarvex_fuzz_target(\([A-Za-z]*\) .*/\1/p' "$here/CMakeLists.txt")
failed=0
for target in "${targets[@]}"; do
    binary=$build/$target
    if [[ ! -x $binary ]]; then
        echo "fuzz: $target: not built" >&2
        failed=1
        continue
    fi
    corpus=$build/corpus/$target
    mkdir -p "$corpus"
    seeds=()
    [[ -d $here/corpus/$target ]] && seeds=("$here/corpus/$target")
    options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
             -artifact_prefix="$build/artifacts/$target-")
    [[ -f $here/$target.dict ]] && options+=(-dict="$here/$target.dict")
    [[ -f $here/$target.options ]] && mapfile -t -O ${#options[@]} options < "$here/$target.options"
    echo "fuzz: $target for ${seconds} s"
    if "$binary" "${options[@]}" "$corpus" "${seeds[@]}" >"$build/$target.log" 2>&1; then
        grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units)' "$build/$target.log" | tail -1
    else
        failed=1
        echo "fuzz: $target FAILED; last lines of $build/$target.log:" >&2
        tail -40 "$build/$target.log" >&2
    fi
done
exit $failed
