#!/usr/bin/env bash
# Checks what a default (release) build gives out.
#
#   ReleaseBuildTest.sh hardened <tarvex binary>
#       hardening-check finds every protection Debian gives its privileged programs.
#   ReleaseBuildTest.sh reproducible <tarvex binary> <source dir> <cmake option>...
#       The source built once more, with the same options, in a folder of another name gives
#       the same tarvex, byte for byte.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/TestSupport.sh"

Mode=${1:?mode: hardened or reproducible}
Target=${2:?tarvex binary}

CheckHardened() {
    RequireTool hardening-check "reports the binary's hardening (devscripts)"
    [[ -x "$Target" ]] || Fail "no tarvex at $Target: build it first"
    local report status=0
    # Control-flow protection cannot be had: Debian 12's C start-up files lack its marking, so
    # the linker drops it from every program.
    report=$(hardening-check --nocfprotection "$Target") || status=$?
    echo "$report"
    [[ "$status" -eq 0 ]] || Fail "hardening-check reports a missing protection"
    local feature
    for feature in "Position Independent Executable" "Stack protected" \
        "Fortify Source functions" "Read-only relocations" "Immediate binding"; do
        grep -qE "^ $feature: yes" <<<"$report" || Fail "$feature is not 'yes'"
    done
}

CheckReproducible() {
    local source=${1:?source directory}
    shift
    RequireTool cmake "builds the project"
    RequireTool sha256sum "compares the results (coreutils)"
    [[ -x "$Target" ]] || Fail "no tarvex at $Target: build it first"
    [[ -f "$source/CMakeLists.txt" ]] || Fail "no source tree at $source"

    Work=$(mktemp -d)
    trap 'rm -rf "$Work"' EXIT
    local build="$Work/second-build-elsewhere"
    if ! (cmake -S "$source" -B "$build" -DTARVEX_BUILD_TESTS=OFF -DTARVEX_BUILD_BENCHMARKS=OFF \
        -DTARVEX_SYSTEM_TESTS=OFF "$@" && cmake --build "$build" -j2 --target tarvex) \
        >"$Work/build.log" 2>&1; then
        cat "$Work/build.log" >&2
        Fail "building in $build failed"
    fi

    local first second
    first=$(sha256sum <"$Target")
    second=$(sha256sum <"$build/tarvex") || Fail "no tarvex in the second build"
    echo "tarvex: ${first%% *} ${second%% *}"
    [[ "$first" == "$second" ]] || Fail "tarvex differs between two builds of the same source"
}

case "$Mode" in
hardened) CheckHardened ;;
reproducible) CheckReproducible "${@:3}" ;;
*) Fail "unknown mode $Mode" ;;
esac
echo "PASS: $Mode"
