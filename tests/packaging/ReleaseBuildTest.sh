#!/usr/bin/env bash
# Checks what a default (release) build gives out.
#
#   ReleaseBuildTest.sh hardened <tarvex binary>
#       hardening-check finds every protection Debian gives its privileged programs.
#   ReleaseBuildTest.sh reproducible <source dir>
#       Two builds of the source in two folders of different names give the same tarvex and
#       the same Debian package, byte for byte.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/TestSupport.sh"

Mode=${1:?mode: hardened or reproducible}
Target=${2:?tarvex binary or source directory}

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
    RequireTool cmake "builds the project"
    RequireTool cpack "builds the package (cmake)"
    RequireTool dpkg-shlibdeps "computes the library dependencies (dpkg-dev)"
    RequireTool sha256sum "compares the results (coreutils)"
    [[ -f "$Target/CMakeLists.txt" ]] || Fail "no source tree at $Target"

    Work=$(mktemp -d)
    trap 'rm -rf "$Work"' EXIT
    local folder
    for folder in one second-build; do
        local build="$Work/$folder"
        # SOURCE_DATE_EPOCH left to its default, the last commit's time.
        if ! (env -u SOURCE_DATE_EPOCH cmake -S "$Target" -B "$build" -DTARVEX_BUILD_TESTS=OFF \
            -DTARVEX_BUILD_BENCHMARKS=OFF &&
            env -u SOURCE_DATE_EPOCH cmake --build "$build" -j2 &&
            cd "$build" && env -u SOURCE_DATE_EPOCH cpack -G DEB) >"$Work/$folder.log" 2>&1; then
            cat "$Work/$folder.log" >&2
            Fail "building or packaging in $build failed"
        fi
    done

    local file first second
    for file in tarvex "tarvex_0.1~b-1_$(dpkg --print-architecture).deb"; do
        first=$(sha256sum <"$Work/one/$file") || Fail "no $file in the first build"
        second=$(sha256sum <"$Work/second-build/$file") || Fail "no $file in the second build"
        echo "$file: ${first%% *} ${second%% *}"
        [[ "$first" == "$second" ]] || Fail "$file differs between two builds of the same source"
    done
}

case "$Mode" in
hardened) CheckHardened ;;
reproducible) CheckReproducible ;;
*) Fail "unknown mode $Mode" ;;
esac
echo "PASS: $Mode"
